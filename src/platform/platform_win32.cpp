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

Region Region::open(const NativeString& name) {
    Region region;
    region.raw_ =
        reinterpret_cast<std::intptr_t>(::OpenFileMappingW(kAllAccess, FALSE, name.c_str()));
    return region;
}

Region Region::create(const NativeString& name, std::uint64_t bytes, bool* nameTaken) {
    Region region;
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
    if (handle != nullptr && taken) {
        ::CloseHandle(handle);
    } else if (handle != nullptr) {
        region.raw_ = reinterpret_cast<std::intptr_t>(handle);
        region.createdName_ = name;
    }
    return region;
}

bool Region::map(std::uint64_t bytes) {
    unmap();
    if (raw_ == 0 || bytes == 0) {
        return false;
    }
    // Windows refuses a view longer than the section by itself.
    void* view = ::MapViewOfFile(reinterpret_cast<HANDLE>(raw_), kAllAccess, 0, 0,
                                 static_cast<SIZE_T>(bytes));
    if (view == nullptr) {
        return false;
    }
    view_ = static_cast<std::byte*>(view);
    size_ = bytes;
    return true;
}

void Region::unmapView(std::byte* view, std::uint64_t) {
    ::UnmapViewOfFile(view);
}

// The name of a mapping goes with its last handle; there is nothing to remove.
void Region::close() {
    if (raw_ != 0) {
        ::CloseHandle(reinterpret_cast<HANDLE>(raw_));
    }
    raw_ = 0;
    createdName_.clear();
}

std::intptr_t Region::native() const {
    return raw_;
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

bool standardErrorIsTerminal() {
    DWORD mode = 0;
    return ::GetConsoleMode(::GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

std::uint32_t currentProcessId() {
    return static_cast<std::uint32_t>(::GetCurrentProcessId());
}

std::filesystem::path currentExecutablePath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) {
            return {};
        }
        // A name that filled the buffer may have been cut short: try again with more room.
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        if (path.size() >= 32768) {
            return {};
        }
        path.resize(path.size() * 2);
    }
}

namespace {

// The system's words for a Win32 error, in UTF-8, without the trailing line end.
std::string systemMessage(DWORD error) {
    wchar_t* text = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring wide(text != nullptr ? text : L"", length);
    ::LocalFree(text);
    while (!wide.empty() && (wide.back() == L'\r' || wide.back() == L'\n' || wide.back() == L' ')) {
        wide.pop_back();
    }
    if (wide.empty()) {
        return "error " + std::to_string(error);
    }
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(std::max(size, 0)), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(), size,
                          nullptr, nullptr);
    return utf8;
}

// A bare name is looked up in PATH with ".exe" added when it has none, as a shell does; a name
// with a directory part is used as it is. False, with the error set, when the search fails.
bool resolveProgram(const std::filesystem::path& program, std::wstring& resolved) {
    if (program.has_parent_path() || program.has_root_name()) {
        resolved = program.wstring();
        return true;
    }
    const DWORD pathLength = ::GetEnvironmentVariableW(L"PATH", nullptr, 0);
    std::wstring path(pathLength, L'\0');
    ::GetEnvironmentVariableW(L"PATH", path.data(), pathLength);
    path.resize(std::wcslen(path.c_str()));
    if (path.empty()) {
        ::SetLastError(ERROR_FILE_NOT_FOUND);
        return false;
    }
    std::wstring found(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::SearchPathW(path.c_str(), program.c_str(), L".exe",
                                           static_cast<DWORD>(found.size()), found.data(), nullptr);
        if (length == 0) {
            return false;
        }
        if (length < found.size()) {
            found.resize(length);
            resolved = std::move(found);
            return true;
        }
        found.resize(length);
    }
}

HANDLE createChild(const std::wstring& application, std::wstring line, HANDLE input, HANDLE output,
                   HANDLE error, ChildInterrupts interrupts) {
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = output;
    startup.hStdError = error;
    PROCESS_INFORMATION info{};
    // A new process group does not receive the console's Ctrl-C.
    const DWORD flags = interrupts == ChildInterrupts::Separate ? CREATE_NEW_PROCESS_GROUP : 0;
    if (!::CreateProcessW(application.c_str(), line.data(), nullptr, nullptr, TRUE, flags, nullptr,
                          nullptr, &startup, &info)) {
        return nullptr;
    }
    ::CloseHandle(info.hThread);
    return info.hProcess;
}

int exitCodeOf(HANDLE process) {
    DWORD code = 0;
    const bool known = ::GetExitCodeProcess(process, &code) != 0;
    ::CloseHandle(process);
    return known ? static_cast<int>(code) : -1;
}

} // namespace

ChildProcess ChildProcess::start(const std::filesystem::path& program,
                                 const std::vector<NativeString>& arguments,
                                 const std::filesystem::path& stdoutFile,
                                 const std::filesystem::path& stderrFile,
                                 ChildInterrupts interrupts) {
    std::wstring line;
    appendQuoted(line, program.wstring());
    for (const std::wstring& word : arguments) {
        line += L' ';
        appendQuoted(line, word);
    }
    ChildProcess child;
    std::wstring application;
    HANDLE input = openInheritable(L"NUL", GENERIC_READ, OPEN_EXISTING);
    HANDLE output = openInheritable(stdoutFile, GENERIC_WRITE, CREATE_ALWAYS);
    HANDLE error = openInheritable(stderrFile, GENERIC_WRITE, CREATE_ALWAYS);
    HANDLE process = nullptr;
    if (input != INVALID_HANDLE_VALUE && output != INVALID_HANDLE_VALUE &&
        error != INVALID_HANDLE_VALUE && resolveProgram(program, application)) {
        process = createChild(application, std::move(line), input, output, error, interrupts);
    }
    if (process == nullptr) {
        child.failure_ = systemMessage(::GetLastError());
    }
    for (HANDLE handle : {input, output, error}) {
        if (handle != INVALID_HANDLE_VALUE) {
            ::CloseHandle(handle);
        }
    }
    child.raw_ = reinterpret_cast<std::intptr_t>(process);
    return child;
}

int ChildProcess::wait() {
    if (raw_ == 0) {
        return -1;
    }
    HANDLE process = reinterpret_cast<HANDLE>(std::exchange(raw_, 0));
    ::WaitForSingleObject(process, INFINITE);
    return exitCodeOf(process);
}

bool ChildProcess::poll(int& exitCode) {
    if (raw_ == 0) {
        exitCode = -1;
        return true;
    }
    HANDLE process = reinterpret_cast<HANDLE>(raw_);
    if (::WaitForSingleObject(process, 0) == WAIT_TIMEOUT) {
        return false;
    }
    raw_ = 0;
    exitCode = exitCodeOf(process);
    return true;
}

void ChildProcess::kill() {
    if (raw_ != 0) {
        ::TerminateProcess(reinterpret_cast<HANDLE>(raw_), 137);
    }
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

void prepareProcess() {
    // Nothing to do: the C runtime keeps its descriptors 0-2 reserved even when the process got
    // no standard handle (marked open on an invalid handle, so writes to them fail and are
    // reported), and regions are kernel handles, never C runtime descriptors. There is no SIGPIPE:
    // a write to a pipe without a reader fails with ERROR_NO_DATA.
}

bool flushDirectoryToDisk(const std::filesystem::path&) {
    // No directory flush for an ordinary user here; NTFS logs directory changes in its journal,
    // which the write-through move of the complete snapshot that follows commits.
    return true;
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
    // The writer's lock may write, which FlushFileBuffers needs.
    const DWORD access = create ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ;
    const HANDLE file = ::CreateFileW(
        path.c_str(), access, kShareAll, nullptr, create ? OPEN_ALWAYS : OPEN_EXISTING,
        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return FileLockStatus::Failed;
    }
    OVERLAPPED at{};
    at.OffsetHigh = kLockOffsetHigh;
    if (::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at) ==
        0) {
        if (::GetLastError() == ERROR_LOCK_VIOLATION) {
            ::CloseHandle(file);
            return FileLockStatus::Busy;
        }
        raw_ = reinterpret_cast<std::intptr_t>(file);
        return FileLockStatus::Unlocked;
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

bool FileLock::syncFile() const {
    return raw_ != 0 && ::FlushFileBuffers(reinterpret_cast<HANDLE>(raw_)) != 0;
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

namespace {

bool setModifiedTime(HANDLE file, const FileAttributes& attributes) {
    const auto ticks = static_cast<std::uint64_t>(attributes.modified);
    FILETIME modified{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    return ::SetFileTime(file, nullptr, nullptr, &modified) != 0;
}

HANDLE newFileHandle(std::intptr_t raw) {
    return reinterpret_cast<HANDLE>(raw);
}

bool moveFilePointer(HANDLE file, std::uint64_t distance, DWORD from) {
    LARGE_INTEGER move{};
    move.QuadPart = static_cast<LONGLONG>(distance);
    return ::SetFilePointerEx(file, move, nullptr, from) != 0;
}

} // namespace

bool applyFileAttributes(const std::filesystem::path& path, const FileAttributes& attributes) {
    // Owner and mode are the directory's inheritance on Windows; only the time is set.
    const HANDLE file =
        ::CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    const bool set = setModifiedTime(file, attributes);
    return ::CloseHandle(file) != 0 && set;
}

// Who may read it follows the directory's inherited access list, as for any other new file.
std::error_code NewFile::create(const std::filesystem::path& path, Readers) {
    if (!close()) {
        return {static_cast<int>(ERROR_WRITE_FAULT), std::system_category()};
    }
    // Shared with no one while it is written; CREATE_NEW fails on any existing name.
    const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return {static_cast<int>(::GetLastError()), std::system_category()};
    }
    raw_ = reinterpret_cast<std::intptr_t>(file);
    return {};
}

bool NewFile::write(const void* data, std::size_t bytes) {
    const auto* next = static_cast<const char*>(data);
    while (bytes > 0 && raw_ != 0) {
        // Whole buffers at once: the console's piece limit does not apply to a file.
        const auto piece = static_cast<DWORD>(std::min<std::size_t>(bytes, 1U << 30));
        DWORD written = 0;
        if (::WriteFile(newFileHandle(raw_), next, piece, &written, nullptr) == 0 || written == 0) {
            return false;
        }
        next += written;
        bytes -= written;
    }
    return bytes == 0;
}

bool NewFile::skip(std::uint64_t bytes) {
    return raw_ != 0 && moveFilePointer(newFileHandle(raw_), bytes, FILE_CURRENT);
}

bool NewFile::setSize(std::uint64_t bytes) {
    return raw_ != 0 && moveFilePointer(newFileHandle(raw_), bytes, FILE_BEGIN) &&
           ::SetEndOfFile(newFileHandle(raw_)) != 0;
}

bool NewFile::applyAttributes(const FileAttributes& attributes) {
    // Owner and mode are the directory's inheritance on Windows; only the time is set.
    return raw_ != 0 && setModifiedTime(newFileHandle(raw_), attributes);
}

bool NewFile::sync() {
    return raw_ != 0 && ::FlushFileBuffers(newFileHandle(raw_)) != 0;
}

bool NewFile::close() {
    if (raw_ == 0) {
        return true;
    }
    return ::CloseHandle(newFileHandle(std::exchange(raw_, 0))) != 0;
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
