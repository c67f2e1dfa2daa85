#include "platform/process.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <iostream>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

extern char** environ;

namespace vaskel::platform {

std::error_code writeSummary(NativeStringView text) {
    std::cout.write(text.data(), static_cast<std::streamsize>(text.size()));
    std::cout.flush();
    return std::cout ? std::error_code() : std::make_error_code(std::errc::io_error);
}

bool standardErrorIsTerminal() {
    return ::isatty(STDERR_FILENO) == 1;
}

std::uint32_t currentProcessId() {
    return static_cast<std::uint32_t>(::getpid());
}

std::filesystem::path currentExecutablePath() {
    std::error_code error;
    std::filesystem::path path = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::path() : path;
}

namespace {

// The file to run: a name with a slash as it is; a bare name from the first absolute directory
// of PATH that holds a program of that name (the system's default path when PATH is unset). An
// empty or relative entry is skipped: it names whatever directory this process happens to run
// in, where anyone may have put a program of that name. Empty when there is none.
std::string programToRun(const std::filesystem::path& program) {
    const std::string name = program.string();
    if (name.find('/') != std::string::npos) {
        return name;
    }
    const char* variable = std::getenv("PATH");
    const std::string path = variable != nullptr ? variable : "/usr/local/bin:/usr/bin:/bin";
    std::size_t from = 0;
    while (from <= path.size() && !name.empty()) {
        const std::size_t colon = std::min(path.find(':', from), path.size());
        const std::string directory = path.substr(from, colon - from);
        from = colon + 1;
        if (directory.empty() || directory.front() != '/') {
            continue;
        }
        const std::string candidate = directory + "/" + name;
        struct stat status {};
        if (::stat(candidate.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
            ::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return {};
}

// Closes every descriptor from `low` up, the one that reports a failed start excepted.
void closeDescriptorsFrom(int low, int keep) {
    constexpr unsigned kAll = ~0u;
    bool closed = keep <= low || ::close_range(static_cast<unsigned>(low),
                                               static_cast<unsigned>(keep - 1), 0) == 0;
    closed = closed && ::close_range(static_cast<unsigned>(keep + 1), kAll, 0) == 0;
    if (!closed) {
        // A kernel without close_range (before 5.9): one by one, up to the limit.
        const long limit = ::sysconf(_SC_OPEN_MAX);
        for (int fd = low; fd < (limit > 0 ? limit : 65536); ++fd) {
            if (fd != keep) {
                ::close(fd);
            }
        }
    }
}

// The child could not become the program: its errno to the parent, and the end.
[[noreturn]] void failChild(int report) {
    const int error = errno;
    (void)!::write(report, &error, sizeof error);
    ::_exit(127);
}

// In the child between fork and exec: only calls that are safe there. A failure is reported
// as its errno through `report` and ends the child.
[[noreturn]] void becomeChild(const char* program, char* const* argv, const char* stdoutFile,
                              const char* stderrFile, ChildInterrupts interrupts, pid_t parent,
                              int report) {
    if (interrupts == ChildInterrupts::Separate) {
        // A group of the child's own, which the terminal's signals skip.
        ::setpgid(0, 0);
    }
#ifdef __linux__
    // A child does not outlive its owner, even one killed outright: SIGTERM, which a program
    // of ours takes as a request to stop and leave its files as they are.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) {
        ::_exit(127); // the parent died before the line above
    }
#else
    (void)parent;
#endif
    // O_EXCL: created here and now, never a file or link someone put there.
    constexpr int kCreateNew = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW;
    const int in = ::open("/dev/null", O_RDONLY);
    if (in < 0 || ::dup2(in, 0) < 0) {
        failChild(report);
    }
    const int out = ::open(stdoutFile, kCreateNew, 0600);
    if (out < 0 || ::dup2(out, 1) < 0) {
        failChild(report);
    }
    const int err = ::open(stderrFile, kCreateNew, 0600);
    if (err < 0 || ::dup2(err, 2) < 0) {
        failChild(report);
    }
    // Nothing else this process holds (a JACK client's sockets, a region, other files) is the
    // child's to keep.
    closeDescriptorsFrom(3, report);
    ::execve(program, argv, environ);
    failChild(report);
}

int spawnChild(pid_t& pid, const std::filesystem::path& program,
               const std::vector<NativeString>& arguments, const std::filesystem::path& stdoutFile,
               const std::filesystem::path& stderrFile, ChildInterrupts interrupts) {
    // Everything the child needs is made before the fork: after it, only the calls above.
    const std::string file = programToRun(program);
    if (file.empty()) {
        return ENOENT;
    }
    std::vector<std::string> words;
    words.push_back(program.string());
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    const std::string outPath = stdoutFile.string();
    const std::string errPath = stderrFile.string();

    // The child's errno when it cannot run the program; closed by a successful exec.
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        return errno;
    }
    const pid_t parent = ::getpid();
    pid = ::fork();
    if (pid == 0) {
        ::close(report[0]);
        becomeChild(file.c_str(), argv.data(), outPath.c_str(), errPath.c_str(), interrupts, parent,
                    report[1]);
    }
    const int forkError = errno;
    ::close(report[1]);
    if (pid < 0) {
        ::close(report[0]);
        return forkError;
    }
    int childError = 0;
    ssize_t got = 0;
    do {
        got = ::read(report[0], &childError, sizeof childError);
    } while (got < 0 && errno == EINTR);
    ::close(report[0]);
    if (got == static_cast<ssize_t>(sizeof childError)) {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        return childError != 0 ? childError : ENOEXEC;
    }
    return 0;
}

int exitCodeOf(pid_t result, int status) {
    return result > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Waits for the child, through interruptions; WNOHANG among `options` returns 0 while it runs.
pid_t waitFor(pid_t pid, int& status, int options) {
    pid_t result = 0;
    do {
        result = ::waitpid(pid, &status, options);
    } while (result < 0 && errno == EINTR);
    return result;
}

} // namespace

ErrorOr<ChildProcess> ChildProcess::start(const std::filesystem::path& program,
                                          const std::vector<NativeString>& arguments,
                                          const std::filesystem::path& stdoutFile,
                                          const std::filesystem::path& stderrFile,
                                          ChildInterrupts interrupts) {
    pid_t pid = 0;
    if (const int status = spawnChild(pid, program, arguments, stdoutFile, stderrFile, interrupts);
        status != 0) {
        return std::error_code(status, std::generic_category());
    }
    ChildProcess child;
    child.process_.reset(static_cast<NativeHandle>(pid));
    return child;
}

std::optional<int> ChildProcess::collect(bool block) {
    int status = 0;
    const pid_t result = waitFor(static_cast<pid_t>(process_.get()), status, block ? 0 : WNOHANG);
    if (result == 0) {
        return std::nullopt;
    }
    static_cast<void>(process_.release());
    return exitCodeOf(result, status);
}

void ChildProcess::kill() {
    if (process_) {
        ::kill(static_cast<pid_t>(process_.get()), SIGKILL);
    }
}

void ChildProcess::killAndWait(const NativeHandle& process) noexcept {
    ::kill(static_cast<pid_t>(process), SIGKILL);
    int status = 0;
    waitFor(static_cast<pid_t>(process), status, 0);
}

namespace {
void (*interruptHandler)() = nullptr;
extern "C" void onSignal(int) {
    if (interruptHandler != nullptr) {
        interruptHandler();
    }
}
} // namespace

void onInterrupt(void (*handler)()) {
    interruptHandler = handler;
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        // A signal the parent chose to ignore (nohup, a background job) stays ignored.
        struct sigaction inherited {};
        if (::sigaction(signal, nullptr, &inherited) == 0 && inherited.sa_handler == SIG_IGN) {
            continue;
        }
        ::sigaction(signal, &action, nullptr);
    }
}

void prepareProcess() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            // open returns the lowest free number, which is `fd` itself; nothing else to do
            // when even the null device cannot be opened.
            const int opened = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
            if (opened >= 0 && opened != fd) {
                ::close(opened);
            }
        }
    }
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGPIPE, &ignore, nullptr);
}

} // namespace vaskel::platform
