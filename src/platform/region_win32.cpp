#include "platform/region.h"
#include "platform/win32_api.h"

namespace vaskel::platform {

namespace {

constexpr DWORD kAllAccess = 0xF001F; // FILE_MAP_ALL_ACCESS

} // namespace

ErrorOr<Region> Region::open(const NativeString& name) {
    HANDLE handle = ::OpenFileMappingW(kAllAccess, FALSE, name.c_str());
    if (handle == nullptr) {
        return lastSystemError();
    }
    Region region;
    region.handle_.reset(reinterpret_cast<NativeHandle>(handle));
    return region;
}

// The name of a mapping goes with its last handle: this side keeps no name to remove.
ErrorOr<Region> Region::create(const NativeString& name, std::uint64_t bytes) {
    HANDLE handle = ::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE,
                                         static_cast<DWORD>(bytes >> 32),
                                         static_cast<DWORD>(bytes & 0xFFFFFFFFu), name.c_str());
    // A mapping of that name already existed (ERROR_ALREADY_EXISTS with its handle), or another
    // kind of object holds the name (ERROR_INVALID_HANDLE): either way someone else's.
    const DWORD error = ::GetLastError();
    const bool taken =
        handle == nullptr ? error == ERROR_INVALID_HANDLE : error == ERROR_ALREADY_EXISTS;
    if (handle != nullptr && taken) {
        ::CloseHandle(handle);
    }
    if (taken) {
        return std::make_error_code(std::errc::file_exists);
    }
    if (handle == nullptr) {
        return lastSystemError();
    }
    Region region;
    region.handle_.reset(reinterpret_cast<NativeHandle>(handle));
    return region;
}

std::error_code Region::map(std::uint64_t bytes) {
    unmap();
    if (!handle_ || bytes == 0) {
        return std::make_error_code(std::errc::invalid_argument);
    }
    // Windows refuses a view longer than the section by itself.
    void* view = ::MapViewOfFile(reinterpret_cast<HANDLE>(native()), kAllAccess, 0, 0,
                                 static_cast<SIZE_T>(bytes));
    if (view == nullptr) {
        return lastSystemError();
    }
    view_.reset({static_cast<std::byte*>(view), bytes});
    return {};
}

void Region::Mapped::close(const View& view) noexcept {
    ::UnmapViewOfFile(view.data);
}

void Region::CreatedName::close(const NativeString&) noexcept {}

std::error_code removeRegionName(const NativeString&) {
    return {};
}

} // namespace vaskel::platform
