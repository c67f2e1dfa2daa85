// The few operating-system primitives the renderer, its producer library and its tools need.
// Everything that differs between Windows and POSIX lives behind this header; the two
// implementations, platform_win32.cpp and platform_posix.cpp, define these functions in this order.
#pragma once

#include <cstdint>
#include <filesystem>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#ifdef _WIN32
// The renderer takes wide arguments on Windows (linked with -municode).
#define VASKEL_MAIN wmain
#else
#define VASKEL_MAIN main
#endif

namespace vaskel::platform {

#ifdef _WIN32
using NativeChar = wchar_t;
#else
// On POSIX the command line is bytes; names and paths are used and echoed as given.
using NativeChar = char;
#endif
using NativeString = std::basic_string<NativeChar>;
using NativeStringView = std::basic_string_view<NativeChar>;

// Widens plain ASCII text (names this program makes itself) to the native form.
NativeString nativeFromAscii(std::string_view ascii);

// Converts UTF-8 text that the caller has checked to be well formed to the native form
// (Windows: UTF-16; POSIX: the bytes unchanged). False, with `out` untouched, when the system
// refuses the conversion.
bool nativeFromUtf8(std::string_view utf8, NativeString& out);

// An open shared-memory region. Zero means none; the meaning of other values is private to the
// implementation (a HANDLE on Windows, a descriptor plus one on POSIX).
struct RegionHandle {
    std::intptr_t raw = 0;
    explicit operator bool() const { return raw != 0; }
};

// --- shared-memory regions -------------------------------------------------------------------

// Opens an existing region by name for reading and writing; empty on any failure.
// POSIX: the shared-memory object "/" + name.
RegionHandle openRegion(const NativeString& name);

// Maps the first `bytes` bytes of the region for reading and writing; null on failure. A view
// larger than the region fails here on every platform (POSIX checks the object's size first, so
// a short region can never fault on first touch).
void* mapRegion(RegionHandle handle, std::uint64_t bytes);

// Unmaps a view returned by mapRegion with the same byte count. Null is ignored.
void unmapRegion(void* view, std::uint64_t bytes);

// Closes a handle returned by openRegion or createRegion. An empty handle is ignored.
void closeRegion(RegionHandle handle);

// Producer side: creates a new region of `bytes` bytes (zero-filled) that must not exist yet;
// empty on failure, and then *nameTaken (when given) tells whether a region of that name exists
// already. Windows: a page-file backed named mapping. POSIX: shm_open with O_CREAT | O_EXCL,
// mode 0600, then ftruncate.
RegionHandle createRegion(const NativeString& name, std::uint64_t bytes, bool* nameTaken = nullptr);

// Producer side: removes the region's name so no new process can open it (POSIX unlink; on
// Windows the name disappears with the last handle, so this does nothing).
void removeRegionName(const NativeString& name);

// Changes the size of a region created here. Only POSIX can do this; returns false elsewhere.
// Used to prove that a shrinking region cannot make the renderer fault.
bool resizeRegion(RegionHandle handle, std::uint64_t bytes);

// --- time ------------------------------------------------------------------------------------

// The performance counter and its frequency in counts per second (POSIX: CLOCK_MONOTONIC in
// nanoseconds, frequency 1000000000).
std::int64_t performanceCounter();
std::int64_t performanceFrequency();

// Sleeps for at least `milliseconds`.
void sleepMilliseconds(std::uint32_t milliseconds);

// Gives up the rest of the time slice.
void yieldThread();

// The processor's spin-wait hint (PAUSE on x86-64).
void spinPause();

// --- files -----------------------------------------------------------------------------------

// Moves `from` over `to`, replacing it, and returns only when the move has reached the disk.
// Windows: MoveFileExW with MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH. POSIX: rename,
// then fsync of the target's directory.
bool replaceFileWriteThrough(const std::filesystem::path& from, const std::filesystem::path& to);

// --- process ---------------------------------------------------------------------------------

// The stream that carries the run summary: wide standard output on Windows, standard output on
// POSIX, so a mapping name is echoed in the form it was given.
std::basic_ostream<NativeChar>& summaryOut();

// Full path of the running executable.
std::filesystem::path currentExecutablePath();

// Identifier of this process, used to make names unique.
std::uint32_t currentProcessId();

// A child process started by startProcess.
struct ChildProcess {
    std::intptr_t raw = 0;
    explicit operator bool() const { return raw != 0; }
};

// Starts `program` with `arguments` (not including the program name), standard input from the
// null device, standard output and standard error into the given files (created or truncated).
// Empty on failure.
ChildProcess startProcess(const std::filesystem::path& program,
                          const std::vector<NativeString>& arguments,
                          const std::filesystem::path& stdoutFile,
                          const std::filesystem::path& stderrFile);

// Waits for the child to end and returns its exit code; -1 when it did not end normally
// (killed by a signal on POSIX). The handle is released.
int waitProcess(ChildProcess& child);

// Returns true, with the exit code as waitProcess gives it and the handle released, when the
// child has ended; false at once while it still runs. Lets a parent watch a child between other
// work.
bool pollProcess(ChildProcess& child, int& exitCode);

// Ends the child at once (SIGKILL / TerminateProcess); it must still be waited for.
void killProcess(const ChildProcess& child);

// Runs `handler` once when the user interrupts the process (Ctrl-C, SIGINT, SIGTERM). The handler
// may run on another thread (Windows) or in a signal context (POSIX): it should only set a flag.
void onInterrupt(void (*handler)());

} // namespace vaskel::platform
