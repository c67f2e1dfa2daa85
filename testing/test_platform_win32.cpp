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

bool interruptProcess(const platform::ChildProcess&, bool) {
    return false;
}

bool resizeRegion(const platform::Region&, std::uint64_t) {
    return false;
}

void removeRegionName(const platform::NativeString&) {}

bool makeFullDevice(const std::filesystem::path&) {
    return false;
}

NativeTestFile::NativeTestFile(const std::filesystem::path& path)
    : raw_(reinterpret_cast<std::intptr_t>(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr,
                                                         CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                                         nullptr))) {}

NativeTestFile::~NativeTestFile() {
    if (raw_ != -1) {
        ::CloseHandle(reinterpret_cast<HANDLE>(raw_));
    }
}

bool NativeTestFile::write(const void* data, std::size_t bytes) {
    DWORD written = 0;
    return raw_ != -1 &&
           ::WriteFile(reinterpret_cast<HANDLE>(raw_), data, static_cast<DWORD>(bytes), &written,
                       nullptr) != 0 &&
           written == bytes;
}

std::optional<std::uint64_t> pageCachedBytes(const std::filesystem::path&) {
    return std::nullopt;
}

} // namespace vaskel::testing
