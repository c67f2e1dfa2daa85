// The few operating-system primitives the renderer, its producer library and its tools need.
// Everything that differs between Windows and POSIX lives behind this header; the two
// implementations, platform_win32.cpp and platform_posix.cpp, define these functions in this order.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
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

// A command-line number word in ASCII, for one reading of numbers on every platform: the other
// decimal digits and white space that this platform's C library takes in a number become their
// ASCII forms, any other character outside ASCII a '?'. Windows: the characters Windows' wcstoul
// takes ("５０" reads 50). POSIX: arguments are bytes, returned as they are.
std::string asciiNumberWord(const NativeString& word);

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

// A sleep fine enough for waits well below a millisecond, held open while it is used (a
// capture). POSIX holds nothing: clock_nanosleep on CLOCK_MONOTONIC. Windows: a high-resolution
// waitable timer where the system has one; otherwise a plain waitable timer with the system
// timer resolution raised to 1 ms (timeBeginPeriod), which closing restores.
struct FineSleep {
    std::intptr_t raw = 0;
    bool raisedTimerResolution = false;
};

FineSleep openFineSleep();

// Sleeps for at least `nanoseconds`; however short the request, the platform's resolution at
// least. A non-positive request returns at once.
void fineSleep(const FineSleep& sleep, std::int64_t nanoseconds);

// Releases what openFineSleep took. Safe on an empty FineSleep.
void closeFineSleep(FineSleep& sleep);

// Gives up the rest of the time slice.
void yieldThread();

// The processor's spin-wait hint (PAUSE on x86-64).
void spinPause();

// --- files -----------------------------------------------------------------------------------

// Moves `from` over `to`, replacing it, and returns only when the move has reached the disk.
// Windows: MoveFileExW with MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH. POSIX: rename,
// then fsync of the target's directory.
bool replaceFileWriteThrough(const std::filesystem::path& from, const std::filesystem::path& to);

// Returns only when the file's contents have reached the disk (fsync / FlushFileBuffers), so a
// rename that follows cannot expose a file whose data a crash lost.
bool flushFileToDisk(const std::filesystem::path& path);

// --- process ---------------------------------------------------------------------------------

// Writes the finished run summary whole to standard output and returns false when it could not.
// Windows: on a console as UTF-16 through WriteConsoleW, to a file or a pipe as UTF-8, with
// "\r\n" line ends either way. POSIX: the bytes unchanged, flushed.
bool writeSummary(NativeStringView text);

// True when standard error is a terminal (a console on Windows), where a progress bar may be drawn.
bool standardErrorIsTerminal();

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

// Asks the child to stop as a user would: SIGINT, or SIGTERM when `terminate`. False where the
// platform cannot address one child (Windows delivers console events to a whole console).
bool interruptProcess(const ChildProcess& child, bool terminate);

// Sets (or, with an empty value, removes) a variable of this process's environment, which the
// children it starts inherit.
void setEnvironmentVariable(const std::string& name, const std::string& value);

// Runs `handler` each time the process is asked to stop: SIGINT, SIGTERM and SIGHUP on POSIX;
// Ctrl-C, Ctrl-Break and the console closing on Windows. The handler may run on another thread
// (Windows) or in a signal context (POSIX): it should only set a flag (or end the process).
// Windows ends a process whose console closes as soon as the handler returns, so there the
// handler's thread then waits, giving the main thread the few seconds the system allows to
// finish and exit.
void onInterrupt(void (*handler)());

// --- stream file locks and careful file access -----------------------------------------------

enum class FileLockStatus { Held, Busy, Failed };

// An exclusive lock that marks a file as being written. Advisory: only those who ask see it. The
// system drops it when the process ends, however it ends. POSIX: flock on a descriptor of its
// own. Windows: LockFileEx on one byte far beyond any data, so that writes through other handles
// of the file are never blocked by it.
class FileLock {
public:
    FileLock() = default;
    ~FileLock() { release(); }
    FileLock(FileLock&& other) noexcept : raw_(std::exchange(other.raw_, 0)) {}
    FileLock& operator=(FileLock&& other) noexcept {
        if (this != &other) {
            release();
            raw_ = std::exchange(other.raw_, 0);
        }
        return *this;
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    // Takes the lock without waiting: Busy while another holder has it. With `create` a missing
    // file is created empty; a link in the file's place is never followed (Failed).
    [[nodiscard]] FileLockStatus acquire(const std::filesystem::path& path, bool create);
    void release();
    bool held() const { return raw_ != 0; }

private:
    std::intptr_t raw_ = 0;
};

// Creates `path` as a new empty file that only its owner may read and write. An existing file or
// link of that name is an error and is never followed. The error carries the system's reason.
[[nodiscard]] std::error_code createNewFile(const std::filesystem::path& path);

// What a file rewritten by a tool keeps of the one it replaces. The time is in the platform's
// own units, to its full resolution; owner, group and mode are POSIX only.
struct FileAttributes {
    std::int64_t modified = 0;
    std::uint32_t owner = 0;
    std::uint32_t group = 0;
    std::uint32_t mode = 0;
};

// The attributes of `path` itself (a link is not followed).
[[nodiscard]] bool readFileAttributes(const std::filesystem::path& path, FileAttributes& out);

// Gives `path` the owner, group and mode (POSIX), then the modification time.
[[nodiscard]] bool applyFileAttributes(const std::filesystem::path& path,
                                       const FileAttributes& attributes);

enum class SmallFileRead { Read, Missing, NotRegular, TooLarge, Failed };

// Reads a regular file of at most `maxBytes` whole into `out`. Never follows a link, never waits
// on a FIFO or a device, never reads more than `maxBytes` + 1 bytes.
[[nodiscard]] SmallFileRead readSmallRegularFile(const std::filesystem::path& path,
                                                 std::size_t maxBytes, std::string& out);

} // namespace vaskel::platform
