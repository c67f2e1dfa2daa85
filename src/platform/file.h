// Files handled with care: programs may run as root in directories others own, so a file is
// opened once without following links and then used only through that handle.
#pragma once

#include "platform/error.h"
#include "platform/handle.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

namespace vaskel::platform {

// Moves `from` over `to`, replacing it, and returns only when the move has reached the disk.
// Windows: MoveFileExW with MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH. POSIX: rename,
// then fsync of the target's directory.
[[nodiscard]] std::error_code replaceFileWriteThrough(const std::filesystem::path& from,
                                                      const std::filesystem::path& to);

// Returns only when the directory's entries (the files created in it) have reached the disk:
// fsync of the directory on POSIX, success where a file system cannot sync a directory. Windows
// keeps no separate directory data to flush: success.
[[nodiscard]] std::error_code flushDirectoryToDisk(const std::filesystem::path& directory);

// An exclusive lock that marks a file as being written. Advisory: only those who ask see it. The
// system drops it when the process ends, however it ends. POSIX: flock on a descriptor of its
// own. Windows: LockFileEx on one byte far beyond any data, so that writes through other handles
// of the file are never blocked by it.
class FileLock {
public:
    // Opens the file and takes the lock without waiting: Error::LockBusy while another holder
    // has it. With `create` a missing file is created empty, and the holder is taken to be its
    // writer; a link in the file's place is never followed (the system's reason). A file system
    // that offers no locks leaves the file held open but not locked(): that is no failure.
    [[nodiscard]] std::error_code acquire(const std::filesystem::path& path, bool create);
    void release() { file_.reset(); }
    // Whether the lock itself is held (false on a file system without locks).
    bool locked() const { return file_ && locked_; }
    // Returns only when the locked file's contents have reached the disk (fsync /
    // FlushFileBuffers), through the lock's own handle: the file synced is the one locked, never
    // whatever its name points at by then. Only for a lock taken with `create`.
    [[nodiscard]] std::error_code syncFile() const;

private:
    // Letting go unlocks and closes.
    struct Held {
        using Value = NativeHandle;
        static constexpr Value none() { return kNoHandle; }
        static void close(const Value& file) noexcept;
    };
    Owned<Held> file_;
    bool locked_ = false;
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
[[nodiscard]] ErrorOr<FileAttributes> readFileAttributes(const std::filesystem::path& path);

// Gives `path` the owner, group and mode (POSIX), then the modification time.
[[nodiscard]] std::error_code applyFileAttributes(const std::filesystem::path& path,
                                                  const FileAttributes& attributes);

// A file this process has just created exclusively, written only through the handle the create
// returned: whoever can write the directory cannot swap it for a link between the create and
// the writes, so nothing is ever written into a file the caller did not make. Letting go closes
// it, without a word if that fails: close() says.
class NewFile {
public:
    // Who may read the file once it is written.
    enum class Readers { OwnerOnly, Anyone };

    // Creates `path` empty, readable and writable by its owner only, or readable by anyone the
    // umask allows (POSIX). An existing file or link of that name is an error and is never
    // followed. The error carries the system's reason.
    [[nodiscard]] std::error_code create(const std::filesystem::path& path,
                                         Readers readers = Readers::OwnerOnly);
    // Writes all of `bytes` at the current position.
    [[nodiscard]] std::error_code write(const void* data, std::size_t bytes);
    // Moves the position on without writing: the bytes passed over read as zeros and, where the
    // file system keeps holes, take no space.
    [[nodiscard]] std::error_code skip(std::uint64_t bytes);
    // Cuts or extends the file to `bytes` (a skipped run at the end leaves it short).
    [[nodiscard]] std::error_code setSize(std::uint64_t bytes);
    // Gives the file the owner, group and mode (POSIX), then the modification time.
    [[nodiscard]] std::error_code applyAttributes(const FileAttributes& attributes);
    // Returns only when the contents have reached the disk.
    [[nodiscard]] std::error_code sync();
    // Fails when the last of the file's data could not be written back. Closing no file succeeds.
    [[nodiscard]] std::error_code close();
    bool isOpen() const { return static_cast<bool>(file_); }

private:
    OwnedHandle file_;
};

// Reads a regular file of at most `maxBytes` whole. Never follows a link, never waits on a FIFO
// or a device, never reads more than `maxBytes` + 1 bytes. A missing file fails with
// std::errc::no_such_file_or_directory, anything but a regular file (a link included) with
// Error::NotRegularFile, a longer one with Error::TooLarge.
[[nodiscard]] ErrorOr<std::string> readSmallRegularFile(const std::filesystem::path& path,
                                                        std::size_t maxBytes);

} // namespace vaskel::platform
