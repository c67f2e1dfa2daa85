// The few operating-system primitives the renderer, its producer library and its tools need.
// Everything that differs between Windows and POSIX lives behind this header; the two
// implementations, platform_win32.cpp and platform_posix.cpp, define these functions in this order.
#pragma once

#include <cstddef>
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

// --- shared-memory regions -------------------------------------------------------------------

// A named shared-memory region, opened or created here, with at most one mapped view. Move-only:
// the destructor unmaps the view, closes the region and, when this side created it, removes its
// name. A moved-from region is empty.
class Region {
public:
    Region() = default;
    ~Region() { reset(); }
    Region(Region&& other) noexcept { take(other); }
    Region& operator=(Region&& other) noexcept {
        if (this != &other) {
            reset();
            take(other);
        }
        return *this;
    }
    Region(const Region&) = delete;
    Region& operator=(const Region&) = delete;

    // Opens an existing region by name for reading and writing; empty on any failure. Its name
    // stays when this side lets go. POSIX: the shared-memory object "/" + name.
    [[nodiscard]] static Region open(const NativeString& name);

    // Creates a new region of `bytes` bytes (zero-filled) that must not exist yet; empty on
    // failure, and then *nameTaken (when given) tells whether a region of that name exists
    // already. Windows: a page-file backed named mapping (its name goes with the last handle).
    // POSIX: shm_open with O_CREAT | O_EXCL, mode 0600, then ftruncate.
    [[nodiscard]] static Region create(const NativeString& name, std::uint64_t bytes,
                                       bool* nameTaken = nullptr);

    // Maps the first `bytes` bytes for reading and writing, replacing any view held. False, with
    // no view, on failure. A view larger than the region fails here on every platform (POSIX
    // checks the object's size first, so a short region can never fault on first touch).
    [[nodiscard]] bool map(std::uint64_t bytes);

    // Unmaps the view, if any; the region stays open.
    void unmap() {
        if (view_ != nullptr) {
            unmapView(view_, size_);
        }
        view_ = nullptr;
        size_ = 0;
    }

    // Unmaps, closes and (on the creating side) removes the name: the region becomes empty.
    void reset() {
        unmap();
        close();
    }

    explicit operator bool() const { return raw_ != 0; }
    std::byte* data() const { return view_; }
    std::uint64_t size() const { return size_; }

    // The system's own handle: the descriptor on POSIX, the mapping HANDLE on Windows.
    std::intptr_t native() const;

private:
    static void unmapView(std::byte* view, std::uint64_t bytes);
    void close();
    void take(Region& other) noexcept {
        raw_ = std::exchange(other.raw_, 0);
        view_ = std::exchange(other.view_, nullptr);
        size_ = std::exchange(other.size_, 0);
        createdName_ = std::move(other.createdName_);
        other.createdName_.clear();
    }

    std::intptr_t raw_ = 0; // zero means none; private encoding of each implementation
    std::byte* view_ = nullptr;
    std::uint64_t size_ = 0;
    NativeString createdName_; // set only on the side that created the region
};

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

// --- process ---------------------------------------------------------------------------------

// Writes the finished run summary whole to standard output and returns false when it could not.
// Windows: on a console as UTF-16 through WriteConsoleW, to a file or a pipe as UTF-8, with
// "\r\n" line ends either way. POSIX: the bytes unchanged, flushed.
bool writeSummary(NativeStringView text);

// True when standard error is a terminal (a console on Windows), where a progress bar may be drawn.
bool standardErrorIsTerminal();

// Identifier of this process, used to make names unique.
std::uint32_t currentProcessId();

// The running program's own file (POSIX: /proc/self/exe; Windows: GetModuleFileNameW), so a
// program can find another installed beside it; empty when the system cannot say.
std::filesystem::path currentExecutablePath();

// Whether a child shares the parent's interrupts. Shared: a Ctrl-C at the terminal (or console)
// reaches the child as it reaches the parent. Separate: the child runs in a process group of its
// own (Windows: CREATE_NEW_PROCESS_GROUP), so the terminal's Ctrl-C and hang-up reach only the
// parent, which then ends the child's work in its own way.
enum class ChildInterrupts { Shared, Separate };

// A started child process, owned: move-only. The destructor of a child still running kills it
// and waits for it, so no child outlives its owner unseen. A moved-from child is empty.
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess() { end(); }
    ChildProcess(ChildProcess&& other) noexcept
        : raw_(std::exchange(other.raw_, 0)), failure_(std::exchange(other.failure_, {})) {}
    // A child held before is ended (killed and waited for) first.
    ChildProcess& operator=(ChildProcess&& other) noexcept {
        ChildProcess taken(std::move(other));
        std::swap(raw_, taken.raw_);
        std::swap(failure_, taken.failure_);
        return *this;
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts `program` with `arguments` (not including the program name), standard input from
    // the null device, standard output and standard error into the given files (created or
    // truncated). A program named without a directory part is looked up in PATH (Windows: with
    // ".exe" added when it has no extension). Empty on failure, and then failure() tells why, in
    // the system's words.
    [[nodiscard]] static ChildProcess start(const std::filesystem::path& program,
                                            const std::vector<NativeString>& arguments,
                                            const std::filesystem::path& stdoutFile,
                                            const std::filesystem::path& stderrFile,
                                            ChildInterrupts interrupts = ChildInterrupts::Shared);

    // Waits for the child to end and returns its exit code; -1 when it did not end normally
    // (killed by a signal on POSIX) or there is no child. The child is released.
    int wait();

    // Returns true, with the exit code as wait() gives it and the child released, when the child
    // has ended; false at once while it still runs. Lets a parent watch a child between other
    // work.
    [[nodiscard]] bool poll(int& exitCode);

    // Ends the child at once (SIGKILL / TerminateProcess); it must still be waited for.
    void kill();

    // True while a started child has not been waited for.
    explicit operator bool() const { return raw_ != 0; }

    // Why start failed; empty otherwise.
    const std::string& failure() const { return failure_; }

    // The system's own identifier: the process id on POSIX, the process HANDLE on Windows.
    std::intptr_t native() const { return raw_; }

private:
    void end() {
        if (raw_ != 0) {
            kill();
            wait();
        }
    }
    std::intptr_t raw_ = 0;
    std::string failure_;
};

// Runs `handler` each time the process is asked to stop: SIGINT, SIGTERM and SIGHUP on POSIX,
// each only where it was not ignored when the program started (nohup, a script's background
// job), as a shell would; Ctrl-C, Ctrl-Break and the console closing on Windows, where a Ctrl-C
// ignored by the parent (CREATE_NEW_PROCESS_GROUP) stays ignored by the system itself. The handler
// may run on another thread (Windows) or in a signal context (POSIX): it should only set a flag (or
// end the process). Windows ends a process whose console closes as soon as the handler returns, so
// there the handler's thread then waits, giving the main thread the few seconds the system allows
// to finish and exit.
void onInterrupt(void (*handler)());

// --- process start-up and durability ---------------------------------------------------------

// Called first in every program's main, before anything is opened. Opens the null device on any
// of the standard descriptors 0-2 that the parent left closed, so no file or region opened later
// takes that number and receives the program's output; and ignores SIGPIPE, so a write to a pipe
// nobody reads fails with an error the program reports instead of ending it. Windows: nothing
// (the C runtime keeps 0-2 reserved without a handle behind them; there is no SIGPIPE).
void prepareProcess();

// Returns only when the directory's entries (the files created in it) have reached the disk:
// fsync of the directory on POSIX, true where a file system cannot sync a directory. Windows
// keeps no separate directory data to flush: true.
bool flushDirectoryToDisk(const std::filesystem::path& directory);
// --- stream file locks and careful file access -----------------------------------------------

// Held: locked. Busy: another holder has it. Unlocked: the file is held open, but its file system
// offers no locks. Failed: the file could not be opened.
enum class FileLockStatus { Held, Busy, Unlocked, Failed };

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
    // file is created empty, and the holder is taken to be its writer; a link in the file's place
    // is never followed (Failed).
    [[nodiscard]] FileLockStatus acquire(const std::filesystem::path& path, bool create);
    void release();
    // Whether the file is held open (Held or Unlocked).
    bool held() const { return raw_ != 0; }
    // Returns only when the locked file's contents have reached the disk (fsync /
    // FlushFileBuffers), through the lock's own handle: the file synced is the one locked, never
    // whatever its name points at by then. Only for a lock taken with `create`.
    [[nodiscard]] bool syncFile() const;

private:
    std::intptr_t raw_ = 0;
};

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

// A file this process has just created exclusively, written only through the handle the create
// returned: whoever can write the directory cannot swap it for a link between the create and
// the writes, so nothing is ever written into a file the caller did not make.
class NewFile {
public:
    NewFile() = default;
    ~NewFile() { static_cast<void>(close()); }
    NewFile(NewFile&& other) noexcept : raw_(std::exchange(other.raw_, 0)) {}
    NewFile& operator=(NewFile&& other) noexcept {
        if (this != &other) {
            static_cast<void>(close());
            raw_ = std::exchange(other.raw_, 0);
        }
        return *this;
    }
    NewFile(const NewFile&) = delete;
    NewFile& operator=(const NewFile&) = delete;

    // Who may read the file once it is written.
    enum class Readers { OwnerOnly, Anyone };

    // Creates `path` empty, readable and writable by its owner only, or readable by anyone the
    // umask allows (POSIX). An existing file or link of that name is an error and is never
    // followed. The error carries the system's reason.
    [[nodiscard]] std::error_code create(const std::filesystem::path& path,
                                         Readers readers = Readers::OwnerOnly);
    // Writes all of `bytes` at the current position.
    [[nodiscard]] bool write(const void* data, std::size_t bytes);
    // Moves the position on without writing: the bytes passed over read as zeros and, where the
    // file system keeps holes, take no space.
    [[nodiscard]] bool skip(std::uint64_t bytes);
    // Cuts or extends the file to `bytes` (a skipped run at the end leaves it short).
    [[nodiscard]] bool setSize(std::uint64_t bytes);
    // Gives the file the owner, group and mode (POSIX), then the modification time.
    [[nodiscard]] bool applyAttributes(const FileAttributes& attributes);
    // Returns only when the contents have reached the disk.
    [[nodiscard]] bool sync();
    // False when the last of the file's data could not be written back.
    [[nodiscard]] bool close();
    bool isOpen() const { return raw_ != 0; }

private:
    std::intptr_t raw_ = 0;
};

enum class SmallFileRead { Read, Missing, NotRegular, TooLarge, Failed };

// Reads a regular file of at most `maxBytes` whole into `out`. Never follows a link, never waits
// on a FIFO or a device, never reads more than `maxBytes` + 1 bytes.
[[nodiscard]] SmallFileRead readSmallRegularFile(const std::filesystem::path& path,
                                                 std::size_t maxBytes, std::string& out);

} // namespace vaskel::platform
