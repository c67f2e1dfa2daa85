#include "test_platform.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>
#include <vector>

namespace vaskel::testing {

void setEnvironmentVariable(const std::string& name, const std::string& value) {
    if (value.empty()) {
        ::unsetenv(name.c_str());
    } else {
        ::setenv(name.c_str(), value.c_str(), 1);
    }
}

bool interruptProcess(const platform::ChildProcess& child, StopSignal signal) {
    const int number = signal == StopSignal::Terminate ? SIGTERM
                       : signal == StopSignal::HangUp  ? SIGHUP
                                                       : SIGINT;
    return child && ::kill(static_cast<pid_t>(child.native()), number) == 0;
}

bool resizeRegion(const platform::Region& region, std::uint64_t bytes) {
    return region && ::ftruncate(static_cast<int>(region.native()), static_cast<off_t>(bytes)) == 0;
}

void removeRegionName(const platform::NativeString& name) {
    ::shm_unlink(("/" + name).c_str());
}

std::uint32_t setCreationMask(std::uint32_t mask) {
    return ::umask(static_cast<mode_t>(mask));
}

bool limitFileSize(std::optional<std::uint64_t> bytes) {
    // Ignored, not handled, so a child started meanwhile ignores it too.
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    if (::getrlimit(RLIMIT_FSIZE, &limit) != 0) {
        return false;
    }
    limit.rlim_cur = bytes ? static_cast<rlim_t>(*bytes) : limit.rlim_max;
    return ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
}

bool exchangeNames(const std::filesystem::path& first, const std::filesystem::path& second) {
    return ::renameat2(AT_FDCWD, first.c_str(), AT_FDCWD, second.c_str(), RENAME_EXCHANGE) == 0;
}

bool canActAsOtherUser() {
    return ::geteuid() == 0;
}

bool giveToOtherUser(const std::filesystem::path& path) {
    return ::geteuid() == 0 && ::lchown(path.c_str(), kOtherUser, kOtherUser) == 0;
}

bool makeFifo(const std::filesystem::path& path) {
    return ::mkfifo(path.c_str(), 0666) == 0;
}

NativeTestFile::NativeTestFile(const std::filesystem::path& path)
    : raw_(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)) {}

NativeTestFile::~NativeTestFile() {
    if (raw_ >= 0) {
        ::close(static_cast<int>(raw_));
    }
}

bool NativeTestFile::write(const void* data, std::size_t bytes) {
    return raw_ >= 0 && ::write(static_cast<int>(raw_), data, bytes) == static_cast<ssize_t>(bytes);
}

std::optional<std::uint64_t> pageCachedBytes(const std::filesystem::path& path) {
    struct statfs where {};
    if (::statfs(path.c_str(), &where) != 0 || where.f_type == TMPFS_MAGIC ||
        where.f_type == RAMFS_MAGIC) {
        return std::nullopt;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info {};
    if (fd < 0 || ::fstat(fd, &info) != 0 || info.st_size == 0) {
        if (fd >= 0) {
            ::close(fd);
        }
        return fd < 0 ? std::nullopt : std::optional<std::uint64_t>(0);
    }
    const auto size = static_cast<std::size_t>(info.st_size);
    void* view = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    ::close(fd);
    if (view == MAP_FAILED) {
        return std::nullopt;
    }
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    std::vector<unsigned char> resident((size + page - 1) / page);
    std::optional<std::uint64_t> cached;
    if (::mincore(view, size, resident.data()) == 0) {
        cached = 0;
        for (unsigned char flags : resident) {
            *cached += (flags & 1) != 0 ? page : 0;
        }
    }
    ::munmap(view, size);
    return cached;
}

} // namespace vaskel::testing
