#include "test_platform.h"

#include <csignal>
#include <cstdlib>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

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

bool makeFullDevice(const std::filesystem::path& path) {
    return ::mknod(path.c_str(), S_IFCHR | 0666, makedev(1, 7)) == 0; // Linux's /dev/full
}

} // namespace vaskel::testing
