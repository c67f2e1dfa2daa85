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

bool limitFileSize(std::optional<std::uint64_t>) {
    return false;
}

bool exchangeNames(const std::filesystem::path&, const std::filesystem::path&) {
    return false;
}

bool canActAsOtherUser() {
    return false;
}

bool giveToOtherUser(const std::filesystem::path&) {
    return false;
}

bool makeFifo(const std::filesystem::path&) {
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
