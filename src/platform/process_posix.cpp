#include "platform/process.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <iostream>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

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

// posix_spawnp searches PATH only for a name without a slash, as a shell does.
int spawnChild(pid_t& pid, const std::filesystem::path& program,
               const std::vector<NativeString>& arguments, const std::filesystem::path& stdoutFile,
               const std::filesystem::path& stderrFile, ChildInterrupts interrupts) {
    std::vector<std::string> words;
    words.push_back(program.string());
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    if (const int status = ::posix_spawn_file_actions_init(&actions); status != 0) {
        return status;
    }
    ::posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    // O_EXCL: created here and now, never a file or link someone put there.
    constexpr int kCreateNew = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW;
    ::posix_spawn_file_actions_addopen(&actions, 1, stdoutFile.c_str(), kCreateNew, 0600);
    ::posix_spawn_file_actions_addopen(&actions, 2, stderrFile.c_str(), kCreateNew, 0600);
    posix_spawnattr_t attributes;
    if (const int status = ::posix_spawnattr_init(&attributes); status != 0) {
        ::posix_spawn_file_actions_destroy(&actions);
        return status;
    }
    if (interrupts == ChildInterrupts::Separate) {
        // Process group 0: a group of the child's own, which the terminal's signals skip.
        ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
        ::posix_spawnattr_setpgroup(&attributes, 0);
    }
    const int status =
        ::posix_spawnp(&pid, program.c_str(), &actions, &attributes, argv.data(), environ);
    ::posix_spawnattr_destroy(&attributes);
    ::posix_spawn_file_actions_destroy(&actions);
    return status;
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
