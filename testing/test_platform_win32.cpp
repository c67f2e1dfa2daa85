#include "test_platform.h"

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace vaskel::testing {

void setEnvironmentVariable(const std::string& name, const std::string& value) {
    ::SetEnvironmentVariableA(name.c_str(), value.empty() ? nullptr : value.c_str());
}

bool interruptProcess(const platform::ChildProcess&, StopSignal) {
    return false;
}

bool resizeRegion(const platform::Region&, std::uint64_t) {
    return false;
}

void removeRegionName(const platform::NativeString&) {}

std::uint32_t setCreationMask(std::uint32_t) {
    return 0;
}

bool makeFullDevice(const std::filesystem::path&) {
    return false;
}

} // namespace vaskel::testing
