#include "platform/error.h"
#include "platform/win32_api.h"

#include <algorithm>

namespace vaskel::platform {

std::error_code lastSystemError() noexcept {
    // A failure must never read as success, even from a call that left no error code.
    const DWORD error = ::GetLastError();
    return {static_cast<int>(error != 0 ? error : ERROR_GEN_FAILURE), std::system_category()};
}

std::string errorMessage(const std::error_code& error) {
    if (error.category() != std::system_category()) {
        return error.message();
    }
    // The system's words for a Win32 error, in UTF-8, without the trailing line end.
    const auto code = static_cast<DWORD>(error.value());
    wchar_t* text = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring wide(text != nullptr ? text : L"", length);
    ::LocalFree(text);
    while (!wide.empty() && (wide.back() == L'\r' || wide.back() == L'\n' || wide.back() == L' ')) {
        wide.pop_back();
    }
    if (wide.empty()) {
        return "error " + std::to_string(code);
    }
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(std::max(size, 0)), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(), size,
                          nullptr, nullptr);
    return utf8;
}

} // namespace vaskel::platform
