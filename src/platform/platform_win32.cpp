#include "platform/platform.h"

#include <algorithm>
#include <cwchar>

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <immintrin.h>
#include <windows.h>
// timeBeginPeriod; after windows.h, which it needs.
#include <mmsystem.h>

namespace vaskel::platform {

namespace {

HANDLE handleOf(RegionHandle handle) {
    return reinterpret_cast<HANDLE>(handle.raw);
}

constexpr DWORD kAllAccess = 0xF001F; // FILE_MAP_ALL_ACCESS

// CREATE_WAITABLE_TIMER_HIGH_RESOLUTION (Windows 10 1803 and later); older systems refuse it.
constexpr DWORD kHighResolutionTimer = 0x00000002;

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

// Writes `count` units through `write`, a Win32 call that may write fewer; false when it fails.
// Pieces of 8192 units stay below the console's old 64 KiB limit on one WriteConsoleW.
template <typename Unit, typename Write>
bool writeWhole(const Unit* data, std::size_t count, Write write) {
    while (count > 0) {
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(count, 8192));
        if (!write(data, chunk, &written) || written == 0) {
            return false;
        }
        data += written;
        count -= written;
    }
    return true;
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

std::string asciiNumberWord(const NativeString& word) {
    // wcstoul itself decides, one character at a time, which characters are digits and white
    // space; the arithmetic stays with the caller, because the C libraries disagree on a negative
    // word beyond 32 bits: Wine's negates the saturated value ("-99999999999" gives 1) where the
    // rule gives 4294967295.
    std::string ascii;
    ascii.reserve(word.size());
    for (const wchar_t c : word) {
        if (c < 0x80) {
            ascii += static_cast<char>(c);
            continue;
        }
        wchar_t* end = nullptr;
        const wchar_t alone[] = {c, L'\0'};
        const unsigned long digit = std::wcstoul(alone, &end, 10);
        if (end == alone + 1) {
            ascii += static_cast<char>('0' + digit);
            continue;
        }
        const wchar_t beforeOne[] = {c, L'1', L'\0'};
        std::wcstoul(beforeOne, &end, 10);
        ascii += end == beforeOne + 2 ? ' ' : '?'; // skipped as white space, or not a number
    }
    return ascii;
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

FineSleep openFineSleep() {
    FineSleep sleep;
    HANDLE timer =
        ::CreateWaitableTimerExW(nullptr, nullptr, kHighResolutionTimer, TIMER_ALL_ACCESS);
    if (timer == nullptr) {
        // Older systems: a plain timer follows the system timer resolution, so raise that to
        // its finest, 1 ms, for as long as the sleep is held.
        sleep.raisedTimerResolution = ::timeBeginPeriod(1) == TIMERR_NOERROR;
        timer = ::CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
    }
    sleep.raw = reinterpret_cast<std::intptr_t>(timer);
    return sleep;
}

void fineSleep(const FineSleep& sleep, std::int64_t nanoseconds) {
    if (nanoseconds <= 0) {
        return;
    }
    HANDLE timer = reinterpret_cast<HANDLE>(sleep.raw);
    // A negative due time is relative, in 100 ns units; a started unit counts whole.
    LARGE_INTEGER due{};
    due.QuadPart = -((nanoseconds + 99) / 100);
    if (timer != nullptr && ::SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE) &&
        ::WaitForSingleObject(timer, INFINITE) == WAIT_OBJECT_0) {
        return;
    }
    ::Sleep(static_cast<DWORD>((nanoseconds + 999999) / 1000000));
}

void closeFineSleep(FineSleep& sleep) {
    if (sleep.raw != 0) {
        ::CloseHandle(reinterpret_cast<HANDLE>(sleep.raw));
    }
    if (sleep.raisedTimerResolution) {
        ::timeEndPeriod(1);
    }
    sleep = {};
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

bool writeSummary(NativeStringView text) {
    std::wstring lines; // text mode's line ends, as the program's other output has them
    lines.reserve(text.size() + text.size() / 16);
    for (const wchar_t c : text) {
        if (c == L'\n') {
            lines += L'\r';
        }
        lines += c;
    }
    HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == nullptr || out == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD mode = 0;
    if (::GetConsoleMode(out, &mode)) {
        // A console shows every character of the name, whatever its code page.
        return writeWhole(lines.data(), lines.size(),
                          [out](const wchar_t* data, DWORD count, DWORD* written) {
                              return ::WriteConsoleW(out, data, count, written, nullptr);
                          });
    }
    // A file or a pipe gets UTF-8, which is what a caller parsing the summary expects. An unpaired
    // surrogate in the name, which has no UTF-8 form, becomes U+FFFD.
    if (lines.empty()) {
        return true;
    }
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, lines.data(), static_cast<int>(lines.size()),
                                           nullptr, 0, nullptr, nullptr);
    if (size <= 0) {
        return false;
    }
    std::string bytes(static_cast<std::size_t>(size), '\0');
    if (::WideCharToMultiByte(CP_UTF8, 0, lines.data(), static_cast<int>(lines.size()),
                              bytes.data(), size, nullptr, nullptr) != size) {
        return false;
    }
    return writeWhole(bytes.data(), bytes.size(),
                      [out](const char* data, DWORD count, DWORD* written) {
                          return ::WriteFile(out, data, count, written, nullptr);
                      });
}

bool flushFileToDisk(const std::filesystem::path& path) {
    const HANDLE file =
        ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    const bool flushed = ::FlushFileBuffers(file) != 0;
    return ::CloseHandle(file) != 0 && flushed;
}

bool standardErrorIsTerminal() {
    DWORD mode = 0;
    return ::GetConsoleMode(::GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
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

bool interruptProcess(const ChildProcess&, bool) {
    return false;
}

void setEnvironmentVariable(const std::string& name, const std::string& value) {
    ::SetEnvironmentVariableA(name.c_str(), value.empty() ? nullptr : value.c_str());
}

namespace {
void (*interruptHandler)() = nullptr;
BOOL WINAPI onConsoleEvent(DWORD event) {
    if (interruptHandler != nullptr) {
        interruptHandler();
    }
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
        ::Sleep(INFINITE); // the main thread's exit ends the process
    }
    return TRUE;
}
} // namespace

void onInterrupt(void (*handler)()) {
    interruptHandler = handler;
    ::SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

// --- stream file locks and careful file access -----------------------------------------------

namespace {

// The locked byte: far beyond any stream file, below what every file system accepts.
constexpr DWORD kLockOffsetHigh = 0x40000000;

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

} // namespace

FileLockStatus FileLock::acquire(const std::filesystem::path& path, bool create) {
    release();
    // Shared every way, so the writer's own handle, a reader and a rename over the file all work.
    const HANDLE file = ::CreateFileW(
        path.c_str(), GENERIC_READ, kShareAll, nullptr, create ? OPEN_ALWAYS : OPEN_EXISTING,
        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return FileLockStatus::Failed;
    }
    OVERLAPPED at{};
    at.OffsetHigh = kLockOffsetHigh;
    if (::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at) ==
        0) {
        const bool busy = ::GetLastError() == ERROR_LOCK_VIOLATION;
        ::CloseHandle(file);
        return busy ? FileLockStatus::Busy : FileLockStatus::Failed;
    }
    raw_ = reinterpret_cast<std::intptr_t>(file);
    return FileLockStatus::Held;
}

void FileLock::release() {
    if (raw_ != 0) {
        const HANDLE file = reinterpret_cast<HANDLE>(raw_);
        OVERLAPPED at{};
        at.OffsetHigh = kLockOffsetHigh;
        ::UnlockFileEx(file, 0, 1, 0, &at);
        ::CloseHandle(file);
        raw_ = 0;
    }
}

std::error_code createNewFile(const std::filesystem::path& path) {
    const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return {static_cast<int>(::GetLastError()), std::system_category()};
    }
    ::CloseHandle(file);
    return {};
}

bool readFileAttributes(const std::filesystem::path& path, FileAttributes& out) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) == 0) {
        return false;
    }
    out.modified =
        static_cast<std::int64_t>((std::uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32) |
                                  data.ftLastWriteTime.dwLowDateTime);
    return true;
}

bool applyFileAttributes(const std::filesystem::path& path, const FileAttributes& attributes) {
    // Owner and mode are the directory's inheritance on Windows; only the time is set.
    const HANDLE file =
        ::CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    const auto ticks = static_cast<std::uint64_t>(attributes.modified);
    FILETIME modified{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    const bool set = ::SetFileTime(file, nullptr, nullptr, &modified) != 0;
    return ::CloseHandle(file) != 0 && set;
}

SmallFileRead readSmallRegularFile(const std::filesystem::path& path, std::size_t maxBytes,
                                   std::string& out) {
    const HANDLE file =
        ::CreateFileW(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                   ? SmallFileRead::Missing
                   : SmallFileRead::Failed;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    SmallFileRead result = SmallFileRead::Read;
    if (::GetFileInformationByHandle(file, &info) == 0) {
        result = SmallFileRead::Failed;
    } else if (::GetFileType(file) != FILE_TYPE_DISK ||
               (info.dwFileAttributes &
                (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
        result = SmallFileRead::NotRegular;
    } else if (info.nFileSizeHigh != 0 || info.nFileSizeLow > maxBytes) {
        result = SmallFileRead::TooLarge;
    }
    out.clear();
    char buffer[4096];
    while (result == SmallFileRead::Read) {
        DWORD got = 0;
        if (::ReadFile(file, buffer, sizeof buffer, &got, nullptr) == 0) {
            result = SmallFileRead::Failed;
            break;
        }
        if (got == 0) {
            break;
        }
        out.append(buffer, got);
        result = out.size() > maxBytes ? SmallFileRead::TooLarge : SmallFileRead::Read;
    }
    ::CloseHandle(file);
    return result;
}

} // namespace vaskel::platform
