#include "platform/platform.h"

#include <iostream>

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <immintrin.h>
#include <windows.h>

namespace vaskel::platform {

namespace {

HANDLE handleOf(RegionHandle handle) {
    return reinterpret_cast<HANDLE>(handle.raw);
}

constexpr DWORD kAllAccess = 0xF001F; // FILE_MAP_ALL_ACCESS

// Quotes one argument so that CommandLineToArgvW gives it back unchanged.
void appendQuoted(std::wstring& line, const std::wstring& word) {
    if (!word.empty() && word.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        line += word;
        return;
    }
    line += L'"';
    for (auto it = word.begin();; ++it) {
        std::size_t backslashes = 0;
        while (it != word.end() && *it == L'\\') {
            ++it;
            ++backslashes;
        }
        if (it == word.end()) {
            line.append(backslashes * 2, L'\\');
            break;
        }
        if (*it == L'"') {
            line.append(backslashes * 2 + 1, L'\\');
        } else {
            line.append(backslashes, L'\\');
        }
        line += *it;
    }
    line += L'"';
}

HANDLE openInheritable(const std::filesystem::path& path, DWORD access, DWORD disposition) {
    SECURITY_ATTRIBUTES security{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    return ::CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &security,
                         disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

} // namespace

NativeString nativeFromAscii(std::string_view ascii) {
    return NativeString(ascii.begin(), ascii.end());
}

bool nativeFromUtf8(std::string_view utf8, NativeString& out) {
    if (utf8.empty()) {
        out.clear();
        return true;
    }
    const int length = static_cast<int>(utf8.size());
    const int wide =
        ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), length, nullptr, 0);
    if (wide <= 0) {
        return false;
    }
    NativeString converted(static_cast<std::size_t>(wide), L'\0');
    if (::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), length, converted.data(),
                              wide) != wide) {
        return false;
    }
    out = std::move(converted);
    return true;
}

RegionHandle openRegion(const NativeString& name) {
    HANDLE handle = ::OpenFileMappingW(kAllAccess, FALSE, name.c_str());
    return RegionHandle{reinterpret_cast<std::intptr_t>(handle)};
}

void* mapRegion(RegionHandle handle, std::uint64_t bytes) {
    if (!handle || bytes == 0) {
        return nullptr;
    }
    // Windows refuses a view longer than the section by itself.
    return ::MapViewOfFile(handleOf(handle), kAllAccess, 0, 0, static_cast<SIZE_T>(bytes));
}

void unmapRegion(void* view, std::uint64_t) {
    if (view != nullptr) {
        ::UnmapViewOfFile(view);
    }
}

void closeRegion(RegionHandle handle) {
    if (handle) {
        ::CloseHandle(handleOf(handle));
    }
}

RegionHandle createRegion(const NativeString& name, std::uint64_t bytes, bool* nameTaken) {
    HANDLE handle = ::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE,
                                         static_cast<DWORD>(bytes >> 32),
                                         static_cast<DWORD>(bytes & 0xFFFFFFFFu), name.c_str());
    // A mapping of that name already existed (ERROR_ALREADY_EXISTS with its handle), or another
    // kind of object holds the name (ERROR_INVALID_HANDLE): either way someone else's.
    const DWORD error = ::GetLastError();
    const bool taken =
        handle == nullptr ? error == ERROR_INVALID_HANDLE : error == ERROR_ALREADY_EXISTS;
    if (nameTaken != nullptr) {
        *nameTaken = taken;
    }
    if (handle == nullptr) {
        return {};
    }
    if (taken) {
        ::CloseHandle(handle);
        return {};
    }
    return RegionHandle{reinterpret_cast<std::intptr_t>(handle)};
}

void removeRegionName(const NativeString&) {}

bool resizeRegion(RegionHandle, std::uint64_t) {
    return false;
}

std::int64_t performanceCounter() {
    LARGE_INTEGER counter{};
    ::QueryPerformanceCounter(&counter);
    return counter.QuadPart;
}

std::int64_t performanceFrequency() {
    LARGE_INTEGER frequency{};
    ::QueryPerformanceFrequency(&frequency);
    return frequency.QuadPart;
}

void sleepMilliseconds(std::uint32_t milliseconds) {
    ::Sleep(milliseconds);
}

void yieldThread() {
    ::SwitchToThread();
}

void spinPause() {
    _mm_pause();
}

bool replaceFileWriteThrough(const std::filesystem::path& from, const std::filesystem::path& to) {
    return ::MoveFileExW(from.c_str(), to.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

std::basic_ostream<NativeChar>& summaryOut() {
    return std::wcout;
}

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

std::uint32_t currentProcessId() {
    return static_cast<std::uint32_t>(::GetCurrentProcessId());
}

ChildProcess startProcess(const std::filesystem::path& program,
                          const std::vector<NativeString>& arguments,
                          const std::filesystem::path& stdoutFile,
                          const std::filesystem::path& stderrFile) {
    std::wstring line;
    appendQuoted(line, program.wstring());
    for (const std::wstring& word : arguments) {
        line += L' ';
        appendQuoted(line, word);
    }

    HANDLE input = openInheritable(L"NUL", GENERIC_READ, OPEN_EXISTING);
    HANDLE output = openInheritable(stdoutFile, GENERIC_WRITE, CREATE_ALWAYS);
    HANDLE error = openInheritable(stderrFile, GENERIC_WRITE, CREATE_ALWAYS);
    ChildProcess child;
    if (input != INVALID_HANDLE_VALUE && output != INVALID_HANDLE_VALUE &&
        error != INVALID_HANDLE_VALUE) {
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = input;
        startup.hStdOutput = output;
        startup.hStdError = error;
        PROCESS_INFORMATION info{};
        if (::CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                             nullptr, &startup, &info)) {
            ::CloseHandle(info.hThread);
            child.raw = reinterpret_cast<std::intptr_t>(info.hProcess);
        }
    }
    for (HANDLE handle : {input, output, error}) {
        if (handle != INVALID_HANDLE_VALUE) {
            ::CloseHandle(handle);
        }
    }
    return child;
}

int waitProcess(ChildProcess& child) {
    if (!child) {
        return -1;
    }
    HANDLE process = reinterpret_cast<HANDLE>(child.raw);
    ::WaitForSingleObject(process, INFINITE);
    DWORD code = 0;
    const bool known = ::GetExitCodeProcess(process, &code) != 0;
    ::CloseHandle(process);
    child.raw = 0;
    return known ? static_cast<int>(code) : -1;
}

bool pollProcess(ChildProcess& child, int& exitCode) {
    if (!child) {
        exitCode = -1;
        return true;
    }
    HANDLE process = reinterpret_cast<HANDLE>(child.raw);
    if (::WaitForSingleObject(process, 0) == WAIT_TIMEOUT) {
        return false;
    }
    DWORD code = 0;
    const bool known = ::GetExitCodeProcess(process, &code) != 0;
    ::CloseHandle(process);
    child.raw = 0;
    exitCode = known ? static_cast<int>(code) : -1;
    return true;
}

void killProcess(const ChildProcess& child) {
    if (child) {
        ::TerminateProcess(reinterpret_cast<HANDLE>(child.raw), 137);
    }
}

namespace {
void (*interruptHandler)() = nullptr;
BOOL WINAPI onConsoleEvent(DWORD) {
    if (interruptHandler != nullptr) {
        interruptHandler();
    }
    return TRUE;
}
} // namespace

void onInterrupt(void (*handler)()) {
    interruptHandler = handler;
    ::SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

} // namespace vaskel::platform
