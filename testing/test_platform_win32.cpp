#include "test_platform.h"

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace vaskel::testing {

std::filesystem::path currentExecutablePath() {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) {
            return {};
        }
        if (length < buffer.size()) {
            buffer.resize(length);
            return buffer;
        }
        buffer.resize(buffer.size() * 2);
    }
}

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

bool limitFileSize(std::optional<std::uint64_t>) {
    return false;
}

bool exchangeNames(const std::filesystem::path&, const std::filesystem::path&) {
    return false;
}

bool makeFifo(const std::filesystem::path&) {
    return false;
}

} // namespace vaskel::testing
