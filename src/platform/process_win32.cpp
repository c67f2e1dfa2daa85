#include "platform/process.h"
#include "platform/win32_api.h"

#include <algorithm>
#include <cwchar>

namespace vaskel::platform {

namespace {

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

bool writeSummaryLines(HANDLE out, const std::wstring& lines) {
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

} // namespace

std::error_code writeSummary(NativeStringView text) {
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
        return std::make_error_code(std::errc::bad_file_descriptor);
    }
    return systemResult(writeSummaryLines(out, lines));
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

ErrorOr<ChildProcess> ChildProcess::start(const std::filesystem::path& program,
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
    std::wstring application;
    HANDLE input = openInheritable(L"NUL", GENERIC_READ, OPEN_EXISTING);
    // CREATE_NEW: created here and now, never a file or link someone put there.
    HANDLE output = openInheritable(stdoutFile, GENERIC_WRITE, CREATE_NEW);
    HANDLE error = openInheritable(stderrFile, GENERIC_WRITE, CREATE_NEW);
    HANDLE process = nullptr;
    if (input != INVALID_HANDLE_VALUE && output != INVALID_HANDLE_VALUE &&
        error != INVALID_HANDLE_VALUE && resolveProgram(program, application)) {
        process = createChild(application, std::move(line), input, output, error, interrupts);
    }
    const std::error_code failure = process == nullptr ? lastSystemError() : std::error_code();
    for (HANDLE handle : {input, output, error}) {
        if (handle != INVALID_HANDLE_VALUE) {
            ::CloseHandle(handle);
        }
    }
    if (failure) {
        return failure;
    }
    ChildProcess child;
    child.process_.reset(reinterpret_cast<NativeHandle>(process));
    return child;
}

std::optional<int> ChildProcess::collect(bool block) {
    HANDLE process = reinterpret_cast<HANDLE>(process_.get());
    if (::WaitForSingleObject(process, block ? INFINITE : 0) == WAIT_TIMEOUT) {
        return std::nullopt;
    }
    static_cast<void>(process_.release());
    return exitCodeOf(process);
}

void ChildProcess::kill() {
    if (process_) {
        ::TerminateProcess(reinterpret_cast<HANDLE>(process_.get()), 137);
    }
}

void ChildProcess::killAndWait(const NativeHandle& process) noexcept {
    const HANDLE handle = reinterpret_cast<HANDLE>(process);
    ::TerminateProcess(handle, 137);
    ::WaitForSingleObject(handle, INFINITE);
    ::CloseHandle(handle);
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

} // namespace vaskel::platform
