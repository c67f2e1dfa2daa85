// Files handled with care: programs may run as root in directories others own, so a file is
// opened once without following links and then used only through that handle.
#pragma once

#include "platform/error.h"
#include "platform/handle.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

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

// What a file rewritten by a tool keeps of the one it replaces. The time is in the platform's
// own units, to its full resolution; owner, group and mode are POSIX only.
struct FileAttributes {
    std::int64_t modified = 0;
    std::uint32_t owner = 0;
    std::uint32_t group = 0;
    std::uint32_t mode = 0;
};

// One piece of a gathered write: bytes that stay where they are until they are written.
struct WritePiece {
    const void* data = nullptr;
    std::size_t bytes = 0;
};

// A directory held open, so that the files of a capture are opened in the directory that was
// checked, not in whatever its name points at later. POSIX: a descriptor, and files opened with
// openat relative to it. Windows: a handle that does not share deletion, so the directory cannot
// be renamed or replaced while it is held, and files opened by their full name in it.
class Directory {
public:
    enum class Create {
        Never,   // every component must exist
        Missing, // missing components are made, one by one, inside the one above
    };

    // Opens a directory, walking its path one component at a time from the first, each opened
    // inside the one held before it, never by its whole name: whoever can write a directory on
    // the way cannot swap a component for a link between the check and the use. A link on the
    // way is followed only when root or the caller owns it (a system's own, such as
    // /home -> /data), its target walked the same way, at most 32 links in all; another user's
    // link is Error::UntrustedLink. The last component must not be a link at all:
    // Error::SymbolicLink. Windows: a handle is held on every component until this one is let
    // go, none shared for deletion, so no component can be renamed meanwhile; a junction or other
    // reparse point anywhere on the way is Error::SymbolicLink (no owner is asked).
    [[nodiscard]] std::error_code open(const std::filesystem::path& path,
                                       Create create = Create::Never);
    // Opens the directory that holds `file` (its parent; "." for a bare name), walked as open
    // walks, except that the directory's own last component may be a link root or the caller
    // owns: it is a step on the way to the file, not the file.
    [[nodiscard]] std::error_code openParentOf(const std::filesystem::path& file);
    // Opens `name`, a single component, in the held `parent`: never through a link.
    [[nodiscard]] std::error_code open(const Directory& parent, const std::filesystem::path& name);
    bool isOpen() const { return static_cast<bool>(directory_); }
    NativeHandle native() const { return directory_.get(); }
    // A path that reaches the held directory itself, whatever its name names now, for code
    // that takes paths (Linux: /proc/self/fd/<descriptor>; elsewhere, and on Windows, where a
    // held directory cannot be renamed, the path it was opened by).
    std::filesystem::path heldPath() const;

    // Names below are single components in this directory, reached through the handle whatever
    // its path names meanwhile (POSIX: the *at calls on the descriptor).
    // Moves `from` over `to`, replacing it. Not yet durable: sync() makes it so.
    [[nodiscard]] std::error_code rename(const std::filesystem::path& from,
                                         const std::filesystem::path& to) const;
    // Moves `from` over `to` and returns only when the move has reached the disk. Windows:
    // MoveFileExW with MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH.
    [[nodiscard]] std::error_code replaceWriteThrough(const std::filesystem::path& from,
                                                      const std::filesystem::path& to) const;
    // Creates the directory `name`, which must not exist yet (std::errc::file_exists, whatever
    // is there, a link included), with the access the umask (Windows: the parent) gives.
    [[nodiscard]] std::error_code makeDirectory(const std::filesystem::path& name) const;
    // Removes the file or link `name` (never a directory, never what a link names). A name
    // already gone is success.
    [[nodiscard]] std::error_code remove(const std::filesystem::path& name) const;
    // Returns only when the directory's entries have reached the disk (as
    // flushDirectoryToDisk, on the held directory).
    [[nodiscard]] std::error_code sync() const;

private:
    friend class File;
    friend class NewFile;
    // What a Directory that holds none answers.
    static std::error_code notHeld();
    // open's walk; `lastMayBeLink`: the last component may be a trusted link (POSIX).
    [[nodiscard]] std::error_code walk(const std::filesystem::path& path, Create create,
                                       bool lastMayBeLink);
    OwnedHandle directory_;
    std::filesystem::path path_;
    // Windows: the components above it, held so that none can be renamed while it is held.
    std::vector<OwnedHandle> above_;
};

// A file opened once, without following a link in its place, checked to be a regular file with
// no other name, and from then on used only through that handle: whatever is put at its name
// meanwhile, every read, write, lock, size and time change reaches the file that was checked.
// Letting go unlocks and closes.
class File {
public:
    enum class Access {
        Read,            // an existing file, read only
        ReadWrite,       // an existing file, read and written
        CreateReadWrite, // created when missing (empty, rw for anyone the umask allows), or
                         // opened as it is; others may go on reading and writing it
        CreateNew,       // as CreateReadWrite, but created here and now: any existing name,
                         // a link included, is std::errc::file_exists
    };

    // Opens `name`, a single component, in `directory`; or `path`. Never follows a link in the
    // file's place (Error::SymbolicLink), never waits on a FIFO or a device; anything but a
    // regular file is refused (Error::NotRegularFile) and so is a file with other hard links
    // (Error::HasOtherLinks): what the link names is not this holder's to change. Windows: a file
    // another holder keeps without sharing reads Error::LockBusy. Else the system's reason.
    // `path`'s directory is walked and held as Directory::openParentOf walks it.
    [[nodiscard]] std::error_code open(const Directory& directory,
                                       const std::filesystem::path& name, Access access);
    [[nodiscard]] std::error_code open(const std::filesystem::path& path, Access access);
    bool isOpen() const { return static_cast<bool>(file_); }
    void close() { file_.reset(); }
    // The handle itself, for calls on this same file that live in another room (writeback).
    NativeHandle native() const { return file_.get(); }

    // Takes an exclusive lock that marks the file as being written, without waiting:
    // Error::LockBusy while another holder has it, Error::LockedByOtherUser where the system can
    // tell that the holder runs as another user (Linux: /proc/locks; elsewhere LockBusy). Advisory:
    // only those who ask see it; the system drops it when the process ends, however it ends. A file
    // system that offers no locks is no failure: the file stays open, not locked(). Any other
    // failure is the system's reason. POSIX: flock. Windows: LockFileEx on one byte far beyond any
    // data, so that writes through other handles of the file are never blocked by it.
    [[nodiscard]] std::error_code lock();
    void unlock();
    bool locked() const { return file_ && locked_; }

    [[nodiscard]] ErrorOr<std::uint64_t> size() const;
    [[nodiscard]] ErrorOr<FileAttributes> attributes() const;
    // Whether a user other than this process's (effective) one owns the file. POSIX only:
    // Windows answers false, as KERNEL32 tells no owner.
    [[nodiscard]] ErrorOr<bool> ownedByAnotherUser() const;
    // Whether the file still has a name: false once it was removed, or replaced by a rename.
    [[nodiscard]] ErrorOr<bool> stillNamed() const;
    // Gives the file the modification time of `attributes` (its owner and mode stay).
    [[nodiscard]] std::error_code setModifiedTime(const FileAttributes& attributes);
    // Cuts or extends the file to `bytes`; the position stays where it was.
    [[nodiscard]] std::error_code setSize(std::uint64_t bytes);

    // Writes all of `bytes` at the current position and moves it on. A write the system cut
    // short is continued and an interrupted one retried; one that writes nothing is an I/O error.
    [[nodiscard]] std::error_code write(const void* data, std::size_t bytes);
    // Writes every piece, in order, at the current position, straight from where it lies: one
    // gathered write where the system has one (POSIX writev), continued as write does.
    [[nodiscard]] std::error_code write(std::span<const WritePiece> pieces);
    // Writes all of `bytes` at `offset`, wherever the position is.
    [[nodiscard]] std::error_code writeAt(std::uint64_t offset, const void* data,
                                          std::size_t bytes);
    // Reads up to `bytes` at `offset`: fewer only where the file ends.
    [[nodiscard]] ErrorOr<std::size_t> readAt(std::uint64_t offset, void* data,
                                              std::size_t bytes) const;
    // Where the file's holes are, for a copy that keeps them: the first offset at or after
    // `offset` that holds data (the file's size when none does), and the first that starts a
    // hole (the size when none does). A file system that keeps no holes has data throughout.
    [[nodiscard]] ErrorOr<std::uint64_t> nextData(std::uint64_t offset) const;
    [[nodiscard]] ErrorOr<std::uint64_t> nextHole(std::uint64_t offset) const;

    // Returns only when the file's contents have reached the disk (fsync / FlushFileBuffers).
    [[nodiscard]] std::error_code sync() const;

private:
    friend class NewFile;

    // What a File or a NewFile that holds no file answers.
    static std::error_code notOpen();

    // The lock without waiting. Only "held by another" and a file system without locks have a
    // meaning of their own; `locked` tells which way it went.
    static std::error_code lockHandle(NativeHandle file, bool& locked);

    // What differs per system, one call each; lock(), unlock() and readAt() are built on them
    // once. tryLock: the exclusive lock without waiting, and whether it was taken, is held by
    // another, or the file system has no locks.
    enum class LockTaken { Yes, Busy, BusyOtherUser, NoLocks };
    static ErrorOr<LockTaken> tryLock(NativeHandle file);
    static void dropLock(NativeHandle file);
    // One read of up to `bytes` at `offset`: what it gave, 0 at the end of the file.
    static ErrorOr<std::size_t> readOnce(NativeHandle file, std::uint64_t offset, void* data,
                                         std::size_t bytes);

    // Letting go unlocks and closes.
    static void closeHeld(const NativeHandle& file) noexcept;
    using Held = ReleasedBy<NativeHandle, kNoHandle, closeHeld>;
    Owned<Held> file_;
    bool locked_ = false;
};

// A file this process has just created exclusively, written only through the handle the create
// returned: whoever can write the directory cannot swap it for a link between the create and
// the writes, so nothing is ever written into a file the caller did not make. Letting go closes
// it, without a word if that fails: close() says.
class NewFile {
public:
    // Who may read the file once it is written (Windows: whether others may read it while it
    // is held, as a capture's durable record is).
    enum class Readers { OwnerOnly, Anyone };

    // Creates `path` empty, readable and writable by its owner only, or readable by anyone the
    // umask allows (POSIX). An existing file or link of that name is an error and is never
    // followed. The error carries the system's reason. `path`'s directory is walked and held as
    // Directory::openParentOf walks it. Windows: shared with no one, not even for a rename.
    [[nodiscard]] std::error_code create(const std::filesystem::path& path,
                                         Readers readers = Readers::OwnerOnly);
    // The same for `name`, a single component, in the held `directory`.
    [[nodiscard]] std::error_code create(const Directory& directory,
                                         const std::filesystem::path& name,
                                         Readers readers = Readers::OwnerOnly);
    // Takes the lock File::lock takes, so that others see the file is in use while it is written.
    [[nodiscard]] std::error_code lock();
    // Moves this file, made as `from` in the held `directory`, over `to` there, and returns only
    // when the move has reached the disk; the file stays held, and locked, throughout, so it is
    // never an abandoned file on the way. Fails when `to` then names another file than this
    // one (another put at `from` meanwhile). POSIX: renameat, then fsync of the directory.
    // Windows: a rename of its own handle (FileRenameInfo, replacing), so no other file can be
    // moved in its stead, then FlushFileBuffers.
    [[nodiscard]] std::error_code replace(const Directory& directory,
                                          const std::filesystem::path& from,
                                          const std::filesystem::path& to);
    // Writes all of `bytes` at the current position.
    [[nodiscard]] std::error_code write(const void* data, std::size_t bytes);
    // Writes all of `bytes` at `offset`, for a writer that goes back to finish a header. Where
    // the position is afterwards differs by platform: a writer uses writeAt alone, or write.
    [[nodiscard]] std::error_code writeAt(std::uint64_t offset, const void* data,
                                          std::size_t bytes);
    // Moves the position on without writing: the bytes passed over read as zeros and, where the
    // file system keeps holes, take no space.
    [[nodiscard]] std::error_code skip(std::uint64_t bytes);
    // Cuts or extends the file to `bytes` (a skipped run at the end leaves it short).
    [[nodiscard]] std::error_code setSize(std::uint64_t bytes);
    // Gives the file the owner and group (POSIX, and only where this process may give a file
    // away: as root; otherwise it stays the caller's), the mode without its set-user-id and
    // set-group-id bits (never handed on to a file this process made), then the modification
    // time.
    [[nodiscard]] std::error_code applyAttributes(const FileAttributes& attributes);
    // Returns only when the contents have reached the disk.
    [[nodiscard]] std::error_code sync();
    // Fails when the last of the file's data could not be written back. Closing no file succeeds.
    [[nodiscard]] std::error_code close();
    bool isOpen() const { return static_cast<bool>(file_); }

private:
    OwnedHandle file_;
};

// Creates a directory in `parent` under a name no one can guess beforehand (`prefix` and random
// characters), created exclusively, so nothing planted in a directory others can write is ever
// used; returns its path. POSIX: mkdtemp, readable, writable and searchable by its owner only.
// Windows: the random name created with CreateDirectoryW, which fails on any existing name; it
// gets the access list the parent passes on, as any other new directory there.
[[nodiscard]] ErrorOr<std::filesystem::path>
createPrivateDirectory(const std::filesystem::path& parent, const std::string& prefix);

// Reads a regular file of at most `maxBytes` whole. Never follows a link, never waits on a FIFO
// or a device, never reads more than `maxBytes` + 1 bytes. A missing file fails with
// std::errc::no_such_file_or_directory, anything but a regular file (a link included) with
// Error::NotRegularFile, a longer one with Error::TooLarge.
[[nodiscard]] ErrorOr<std::string> readSmallRegularFile(const std::filesystem::path& path,
                                                        std::size_t maxBytes);

} // namespace vaskel::platform
