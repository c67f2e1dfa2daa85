#include "platform/platform.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <iostream>
#include <sched.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace vaskel::platform {

namespace {

int descriptorOf(RegionHandle handle) {
    return static_cast<int>(handle.raw - 1);
}

std::string objectName(const NativeString& name) {
    return "/" + name;
}

} // namespace

NativeString nativeFromAscii(std::string_view ascii) {
    return NativeString(ascii);
}

bool nativeFromUtf8(std::string_view utf8, NativeString& out) {
    out.assign(utf8);
    return true;
}

RegionHandle openRegion(const NativeString& name) {
    const int fd = ::shm_open(objectName(name).c_str(), O_RDWR, 0);
    if (fd < 0) {
        return {};
    }
    return RegionHandle{static_cast<std::intptr_t>(fd) + 1};
}

void* mapRegion(RegionHandle handle, std::uint64_t bytes) {
    if (!handle || bytes == 0) {
        return nullptr;
    }
    // mmap would accept a view longer than the object and the first touch past its end would
    // raise SIGBUS; refuse such a view up front, as Windows does.
    struct stat info {};
    if (::fstat(descriptorOf(handle), &info) != 0 || info.st_size < 0 ||
        static_cast<std::uint64_t>(info.st_size) < bytes) {
        return nullptr;
    }
    void* view = ::mmap(nullptr, static_cast<std::size_t>(bytes), PROT_READ | PROT_WRITE,
                        MAP_SHARED, descriptorOf(handle), 0);
    return view == MAP_FAILED ? nullptr : view;
}

void unmapRegion(void* view, std::uint64_t bytes) {
    if (view != nullptr) {
        ::munmap(view, static_cast<std::size_t>(bytes));
    }
}

void closeRegion(RegionHandle handle) {
    if (handle) {
        ::close(descriptorOf(handle));
    }
}

RegionHandle createRegion(const NativeString& name, std::uint64_t bytes, bool* nameTaken) {
    const int fd = ::shm_open(objectName(name).c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    if (nameTaken != nullptr) {
        *nameTaken = fd < 0 && errno == EEXIST;
    }
    if (fd < 0) {
        return {};
    }
    if (::ftruncate(fd, static_cast<off_t>(bytes)) != 0) {
        ::close(fd);
        ::shm_unlink(objectName(name).c_str());
        return {};
    }
    return RegionHandle{static_cast<std::intptr_t>(fd) + 1};
}

void removeRegionName(const NativeString& name) {
    ::shm_unlink(objectName(name).c_str());
}

bool resizeRegion(RegionHandle handle, std::uint64_t bytes) {
    return handle && ::ftruncate(descriptorOf(handle), static_cast<off_t>(bytes)) == 0;
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

std::basic_ostream<NativeChar>& summaryOut() {
    return std::cout;
}

std::filesystem::path currentExecutablePath() {
    std::error_code error;
    return std::filesystem::read_symlink("/proc/self/exe", error);
}

std::uint32_t currentProcessId() {
    return static_cast<std::uint32_t>(::getpid());
}

ChildProcess startProcess(const std::filesystem::path& program,
                          const std::vector<NativeString>& arguments,
                          const std::filesystem::path& stdoutFile,
                          const std::filesystem::path& stderrFile) {
    std::vector<std::string> words;
    words.push_back(program.string());
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    if (::posix_spawn_file_actions_init(&actions) != 0) {
        return {};
    }
    ::posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    ::posix_spawn_file_actions_addopen(&actions, 1, stdoutFile.c_str(),
                                       O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::posix_spawn_file_actions_addopen(&actions, 2, stderrFile.c_str(),
                                       O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    const int status =
        ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    if (status != 0) {
        return {};
    }
    return ChildProcess{static_cast<std::intptr_t>(pid)};
}

int waitProcess(ChildProcess& child) {
    if (!child) {
        return -1;
    }
    int status = 0;
    pid_t result = 0;
    do {
        result = ::waitpid(static_cast<pid_t>(child.raw), &status, 0);
    } while (result < 0 && errno == EINTR);
    child.raw = 0;
    if (result < 0 || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

bool pollProcess(ChildProcess& child, int& exitCode) {
    if (!child) {
        exitCode = -1;
        return true;
    }
    int status = 0;
    pid_t result = 0;
    do {
        result = ::waitpid(static_cast<pid_t>(child.raw), &status, WNOHANG);
    } while (result < 0 && errno == EINTR);
    if (result == 0) {
        return false;
    }
    child.raw = 0;
    exitCode = result > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return true;
}

void killProcess(const ChildProcess& child) {
    if (child) {
        ::kill(static_cast<pid_t>(child.raw), SIGKILL);
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
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

} // namespace vaskel::platform
