#include "test_platform.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vaskel::testing {

std::filesystem::path currentExecutablePath() {
    std::error_code error;
    return std::filesystem::read_symlink("/proc/self/exe", error);
}

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

bool makeFifo(const std::filesystem::path& path) {
    return ::mkfifo(path.c_str(), 0666) == 0;
}

} // namespace vaskel::testing
