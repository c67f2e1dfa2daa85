#include "platform/platform.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <iostream>
#include <sched.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace vaskel::platform {

namespace {

std::string objectName(const NativeString& name) {
    return "/" + name;
}

// A region's descriptor moved above the standard streams (close-on-exec, as shm_open makes it):
// in a process started with one of 0-2 closed, a descriptor that took that number would
// receive whatever the program, or a library it calls, writes to the standard stream.
int aboveStandardStreams(int fd) {
    if (fd < 0 || fd > STDERR_FILENO) {
        return fd;
    }
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    ::close(fd);
    return moved;
}

} // namespace

NativeString nativeFromAscii(std::string_view ascii) {
    return NativeString(ascii);
}

bool nativeFromUtf8(std::string_view utf8, NativeString& out) {
    out.assign(utf8);
    return true;
}

std::string asciiNumberWord(const NativeString& word) {
    return word;
}

// A region holds its descriptor plus one, so that zero means none.
Region Region::open(const NativeString& name) {
    Region region;
    const int fd = aboveStandardStreams(::shm_open(objectName(name).c_str(), O_RDWR, 0));
    if (fd >= 0) {
        region.raw_ = static_cast<std::intptr_t>(fd) + 1;
    }
    return region;
}

Region Region::create(const NativeString& name, std::uint64_t bytes, bool* nameTaken) {
    Region region;
    const int created = ::shm_open(objectName(name).c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    if (nameTaken != nullptr) {
        *nameTaken = created < 0 && errno == EEXIST;
    }
    const int fd = aboveStandardStreams(created);
    if (fd < 0) {
        if (created >= 0) {
            ::shm_unlink(objectName(name).c_str());
        }
        return region;
    }
    region.raw_ = static_cast<std::intptr_t>(fd) + 1;
    region.createdName_ = name;
    if (::ftruncate(fd, static_cast<off_t>(bytes)) != 0) {
        region.reset();
    }
    return region;
}

bool Region::map(std::uint64_t bytes) {
    unmap();
    if (raw_ == 0 || bytes == 0) {
        return false;
    }
    // mmap would accept a view longer than the object and the first touch past its end would
    // raise SIGBUS; refuse such a view up front, as Windows does.
    struct stat info {};
    if (::fstat(static_cast<int>(native()), &info) != 0 || info.st_size < 0 ||
        static_cast<std::uint64_t>(info.st_size) < bytes) {
        return false;
    }
    void* view = ::mmap(nullptr, static_cast<std::size_t>(bytes), PROT_READ | PROT_WRITE,
                        MAP_SHARED, static_cast<int>(native()), 0);
    if (view == MAP_FAILED) {
        return false;
    }
    view_ = static_cast<std::byte*>(view);
    size_ = bytes;
    return true;
}

void Region::unmapView(std::byte* view, std::uint64_t bytes) {
    ::munmap(view, static_cast<std::size_t>(bytes));
}

void Region::close() {
    if (raw_ != 0) {
        ::close(static_cast<int>(native()));
    }
    if (!createdName_.empty()) {
        ::shm_unlink(objectName(createdName_).c_str());
    }
    raw_ = 0;
    createdName_.clear();
}

std::intptr_t Region::native() const {
    return raw_ - 1;
}

std::int64_t performanceCounter() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

std::int64_t performanceFrequency() {
    return 1000000000;
}

void sleepMilliseconds(std::uint32_t milliseconds) {
    timespec remaining{static_cast<time_t>(milliseconds / 1000),
                       static_cast<long>(milliseconds % 1000) * 1000000L};
    // A signal may cut the sleep short; sleep out the rest.
    while (::nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

FineSleep openFineSleep() {
    return {};
}

void fineSleep(const FineSleep&, std::int64_t nanoseconds) {
    if (nanoseconds <= 0) {
        return;
    }
    // An absolute deadline, so a signal that cuts the sleep short costs no extra time.
    timespec deadline{};
    ::clock_gettime(CLOCK_MONOTONIC, &deadline);
    const std::int64_t end = static_cast<std::int64_t>(deadline.tv_nsec) + nanoseconds;
    deadline.tv_sec += static_cast<time_t>(end / 1000000000);
    deadline.tv_nsec = static_cast<long>(end % 1000000000);
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

void closeFineSleep(FineSleep& sleep) {
    sleep = {};
}

void yieldThread() {
    ::sched_yield();
}

void spinPause() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

bool replaceFileWriteThrough(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (::rename(from.c_str(), to.c_str()) != 0) {
        return false;
    }
    // The rename is durable once the directory entry is.
    std::filesystem::path directory = to.parent_path();
    if (directory.empty()) {
        directory = ".";
    }
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0) {
        return false;
    }
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}

bool writeSummary(NativeStringView text) {
    std::cout.write(text.data(), static_cast<std::streamsize>(text.size()));
    std::cout.flush();
    return static_cast<bool>(std::cout);
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
    ::posix_spawn_file_actions_addopen(&actions, 1, stdoutFile.c_str(),
                                       O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::posix_spawn_file_actions_addopen(&actions, 2, stderrFile.c_str(),
                                       O_WRONLY | O_CREAT | O_TRUNC, 0644);
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

} // namespace

ChildProcess ChildProcess::start(const std::filesystem::path& program,
                                 const std::vector<NativeString>& arguments,
                                 const std::filesystem::path& stdoutFile,
                                 const std::filesystem::path& stderrFile,
                                 ChildInterrupts interrupts) {
    ChildProcess child;
    pid_t pid = 0;
    if (const int status = spawnChild(pid, program, arguments, stdoutFile, stderrFile, interrupts);
        status != 0) {
        child.failure_ = std::strerror(status);
        return child;
    }
    child.raw_ = static_cast<std::intptr_t>(pid);
    return child;
}

int ChildProcess::wait() {
    if (raw_ == 0) {
        return -1;
    }
    int status = 0;
    pid_t result = 0;
    do {
        result = ::waitpid(static_cast<pid_t>(raw_), &status, 0);
    } while (result < 0 && errno == EINTR);
    raw_ = 0;
    return exitCodeOf(result, status);
}

bool ChildProcess::poll(int& exitCode) {
    if (raw_ == 0) {
        exitCode = -1;
        return true;
    }
    int status = 0;
    pid_t result = 0;
    do {
        result = ::waitpid(static_cast<pid_t>(raw_), &status, WNOHANG);
    } while (result < 0 && errno == EINTR);
    if (result == 0) {
        return false;
    }
    raw_ = 0;
    exitCode = exitCodeOf(result, status);
    return true;
}

void ChildProcess::kill() {
    if (raw_ != 0) {
        ::kill(static_cast<pid_t>(raw_), SIGKILL);
    }
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

bool flushDirectoryToDisk(const std::filesystem::path& directory) {
    const int fd = ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0) {
        return false;
    }
    // Some file systems cannot sync a directory at all; nothing more can be done there.
    const bool synced = ::fsync(fd) == 0 || errno == EINVAL || errno == ENOTSUP;
    return ::close(fd) == 0 && synced;
}

// --- stream file locks and careful file access -----------------------------------------------

FileLockStatus FileLock::acquire(const std::filesystem::path& path, bool create) {
    release();
    // Non-blocking so that a FIFO in the file's place cannot hang the open.
    const int flags = O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | (create ? O_CREAT : 0);
    const int fd = ::open(path.c_str(), flags, 0666);
    if (fd < 0) {
        return FileLockStatus::Failed;
    }
    const bool locked = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    if (!locked && errno == EWOULDBLOCK) {
        ::close(fd);
        return FileLockStatus::Busy;
    }
    raw_ = fd + 1;
    return locked ? FileLockStatus::Held : FileLockStatus::Unlocked;
}

void FileLock::release() {
    if (raw_ != 0) {
        ::close(static_cast<int>(raw_ - 1)); // closing the last descriptor drops the lock
        raw_ = 0;
    }
}

bool FileLock::syncFile() const {
    // fsync needs no write access: the descriptor is the lock's read-only one.
    return raw_ != 0 && ::fsync(static_cast<int>(raw_ - 1)) == 0;
}

bool readFileAttributes(const std::filesystem::path& path, FileAttributes& out) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        return false;
    }
    out.modified = std::int64_t{info.st_mtim.tv_sec} * 1000000000 + info.st_mtim.tv_nsec;
    out.owner = info.st_uid;
    out.group = info.st_gid;
    out.mode = info.st_mode & 07777;
    return true;
}

namespace {

bool applyAttributesTo(int fd, const FileAttributes& attributes) {
    struct stat info {};
    bool applied = ::fstat(fd, &info) == 0;
    // Only a change of owner needs the privilege; the mode after it, as chown clears set-id bits.
    if (applied && (info.st_uid != attributes.owner || info.st_gid != attributes.group)) {
        applied = ::fchown(fd, attributes.owner, attributes.group) == 0;
    }
    applied = applied && ::fchmod(fd, static_cast<mode_t>(attributes.mode)) == 0;
    const timespec times[2] = {{0, UTIME_OMIT},
                               {static_cast<time_t>(attributes.modified / 1000000000),
                                static_cast<long>(attributes.modified % 1000000000)}};
    return applied && ::futimens(fd, times) == 0;
}

} // namespace

bool applyFileAttributes(const std::filesystem::path& path, const FileAttributes& attributes) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        return false;
    }
    const bool applied = applyAttributesTo(fd, attributes);
    return ::close(fd) == 0 && applied;
}

std::error_code NewFile::create(const std::filesystem::path& path, Readers readers) {
    if (!close()) {
        return {EIO, std::generic_category()};
    }
    const mode_t mode = readers == Readers::Anyone ? 0666 : 0600;
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0) {
        return {errno, std::generic_category()};
    }
    raw_ = fd + 1;
    return {};
}

bool NewFile::write(const void* data, std::size_t bytes) {
    const auto* next = static_cast<const char*>(data);
    while (bytes > 0 && raw_ != 0) {
        const ssize_t written = ::write(static_cast<int>(raw_ - 1), next, bytes);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        next += written;
        bytes -= static_cast<std::size_t>(written);
    }
    return bytes == 0;
}

bool NewFile::skip(std::uint64_t bytes) {
    return raw_ != 0 &&
           ::lseek(static_cast<int>(raw_ - 1), static_cast<off_t>(bytes), SEEK_CUR) >= 0;
}

bool NewFile::setSize(std::uint64_t bytes) {
    return raw_ != 0 && ::ftruncate(static_cast<int>(raw_ - 1), static_cast<off_t>(bytes)) == 0;
}

bool NewFile::applyAttributes(const FileAttributes& attributes) {
    return raw_ != 0 && applyAttributesTo(static_cast<int>(raw_ - 1), attributes);
}

bool NewFile::sync() {
    return raw_ != 0 && ::fsync(static_cast<int>(raw_ - 1)) == 0;
}

bool NewFile::close() {
    if (raw_ == 0) {
        return true;
    }
    const int fd = static_cast<int>(std::exchange(raw_, 0) - 1);
    return ::close(fd) == 0;
}

SmallFileRead readSmallRegularFile(const std::filesystem::path& path, std::size_t maxBytes,
                                   std::string& out) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        return errno == ENOENT  ? SmallFileRead::Missing
               : errno == ELOOP ? SmallFileRead::NotRegular
                                : SmallFileRead::Failed;
    }
    struct stat info {};
    SmallFileRead result = SmallFileRead::Read;
    if (::fstat(fd, &info) != 0) {
        result = SmallFileRead::Failed;
    } else if (!S_ISREG(info.st_mode)) {
        result = SmallFileRead::NotRegular;
    } else if (static_cast<std::uint64_t>(info.st_size) > maxBytes) {
        result = SmallFileRead::TooLarge;
    }
    out.clear();
    char buffer[4096];
    while (result == SmallFileRead::Read) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            result = got == 0 ? SmallFileRead::Read : SmallFileRead::Failed;
            break;
        }
        out.append(buffer, static_cast<std::size_t>(got));
        // The file may have grown since its size was read.
        result = out.size() > maxBytes ? SmallFileRead::TooLarge : SmallFileRead::Read;
    }
    ::close(fd);
    return result;
}

} // namespace vaskel::platform
