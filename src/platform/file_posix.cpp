#include "platform/file.h"
#include "platform/write_pieces.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>
#include <vector>

namespace vaskel::platform {

namespace {

int descriptorOf(const NativeHandle& file) {
    return static_cast<int>(file);
}

// fsync of an open directory; some file systems cannot sync one at all, and nothing more can be
// done there.
std::error_code syncDirectory(int fd) {
    return ::fsync(fd) == 0 || errno == EINVAL || errno == ENOTSUP ? std::error_code()
                                                                   : lastSystemError();
}

} // namespace

std::error_code replaceFileWriteThrough(const std::filesystem::path& from,
                                        const std::filesystem::path& to) {
    if (::rename(from.c_str(), to.c_str()) != 0) {
        return lastSystemError();
    }
    // The rename is durable once the directory entry is.
    std::filesystem::path directory = to.parent_path();
    if (directory.empty()) {
        directory = ".";
    }
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0) {
        return lastSystemError();
    }
    const std::error_code synced = systemResult(::fsync(fd) == 0);
    ::close(fd);
    return synced;
}

std::error_code flushDirectoryToDisk(const std::filesystem::path& directory) {
    const int fd = ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0) {
        return lastSystemError();
    }
    const std::error_code synced = syncDirectory(fd);
    if (::close(fd) != 0) {
        return lastSystemError();
    }
    return synced;
}

namespace {

// What a file opened for `access` may do; O_NONBLOCK so that a FIFO or a device in the file's
// place cannot hang the open (it is refused once opened), O_NOFOLLOW so that a link is never
// followed.
int openFlags(File::Access access) {
    constexpr int kAlways = O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;
    switch (access) {
    case File::Access::Read:
        return O_RDONLY | kAlways;
    case File::Access::ReadWrite:
        return O_RDWR | kAlways;
    case File::Access::CreateReadWrite:
        break;
    case File::Access::CreateNew:
        return O_RDWR | O_CREAT | O_EXCL | kAlways;
    }
    return O_RDWR | O_CREAT | kAlways;
}

// The open's own failure, with a link in the file's place said as such.
std::error_code openFailure() {
    return errno == ELOOP ? make_error_code(Error::SymbolicLink) : lastSystemError();
}

// A regular file with this one name, or the reason it is not this holder's to use.
std::error_code checkOpened(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        return lastSystemError();
    }
    if (!S_ISREG(info.st_mode)) {
        return Error::NotRegularFile;
    }
    if (info.st_nlink > 1) {
        return Error::HasOtherLinks;
    }
    // Removed since it was opened: what is written would reach no name.
    return info.st_nlink == 0 ? std::make_error_code(std::errc::no_such_file_or_directory)
                              : std::error_code();
}

std::error_code openChecked(int directory, const char* name, File::Access access, int& fd) {
    fd = ::openat(directory, name, openFlags(access), 0666);
    if (fd < 0) {
        return openFailure();
    }
    if (const std::error_code refused = checkOpened(fd)) {
        ::close(fd);
        fd = -1;
        return refused;
    }
    return {};
}

std::error_code writeAll(int fd, const void* data, std::size_t bytes) {
    const auto* next = static_cast<const char*>(data);
    while (bytes > 0) {
        const ssize_t written = ::write(fd, next, bytes);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return written < 0 ? lastSystemError() : std::make_error_code(std::errc::io_error);
        }
        next += written;
        bytes -= static_cast<std::size_t>(written);
    }
    return {};
}

// pwrite of all the bytes, through interruptions and short writes.
std::error_code writeAllAt(int fd, std::uint64_t offset, const void* data, std::size_t bytes) {
    const auto* next = static_cast<const char*>(data);
    while (bytes > 0) {
        const ssize_t written = ::pwrite(fd, next, bytes, static_cast<off_t>(offset));
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return written < 0 ? lastSystemError() : std::make_error_code(std::errc::io_error);
        }
        next += written;
        offset += static_cast<std::uint64_t>(written);
        bytes -= static_cast<std::size_t>(written);
    }
    return {};
}

std::error_code setModifiedTimeOf(int fd, const FileAttributes& attributes) {
    const timespec times[2] = {{0, UTIME_OMIT},
                               {static_cast<time_t>(attributes.modified / 1000000000),
                                static_cast<long>(attributes.modified % 1000000000)}};
    return systemResult(::futimens(fd, times) == 0);
}

FileAttributes attributesOf(const struct stat& info) {
    FileAttributes attributes;
    attributes.modified = std::int64_t{info.st_mtim.tv_sec} * 1000000000 + info.st_mtim.tv_nsec;
    attributes.owner = info.st_uid;
    attributes.group = info.st_gid;
    attributes.mode = info.st_mode & 07777;
    return attributes;
}

// lseek to the next data or hole, the position kept where it was. Past the last data (ENXIO) the
// answer is the end; a file system that cannot tell (EINVAL) has data throughout.
ErrorOr<std::uint64_t> seekRegion(int fd, std::uint64_t offset, int whence) {
    const off_t position = ::lseek(fd, 0, SEEK_CUR);
    if (position < 0) {
        return lastSystemError();
    }
    const off_t found = ::lseek(fd, static_cast<off_t>(offset), whence);
    const int seekError = errno;
    if (::lseek(fd, position, SEEK_SET) < 0) {
        return lastSystemError();
    }
    if (found >= 0) {
        return static_cast<std::uint64_t>(found);
    }
    if (seekError == EINVAL && whence == SEEK_DATA) {
        return offset;
    }
    if (seekError != ENXIO && seekError != EINVAL) {
        return std::error_code(seekError, std::generic_category());
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        return lastSystemError();
    }
    return static_cast<std::uint64_t>(info.st_size);
}

} // namespace

namespace {

// Links followed in one walk, as the kernel's own bound on a path's.
constexpr int kMaxLinksFollowed = 32;

// Opens where a walk of `path` starts: the file system's root or the working directory.
std::error_code openWalkStart(const std::filesystem::path& path, OwnedHandle& at) {
    const int fd = ::open(path.is_absolute() ? "/" : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return lastSystemError();
    }
    at.reset(fd);
    return {};
}

// A link only root or this process's user could have made: one of the system's own, or the
// caller's. Anyone else's may have been put there to lead a privileged program astray.
bool trustedLinkOwner(uid_t owner) {
    return owner == 0 || owner == ::geteuid();
}

std::error_code walkFrom(OwnedHandle& at, const std::filesystem::path& path,
                         Directory::Create create, bool lastMayBeLink, int& links);

// The trusted link `name` in `at` followed: its target walked from `at` (or from the root), so
// no name on the way is ever resolved by the kernel's own following.
std::error_code followLink(OwnedHandle& at, const char* name, int& links) {
    if (++links > kMaxLinksFollowed) {
        return std::make_error_code(std::errc::too_many_symbolic_link_levels);
    }
    std::string target(4096, '\0');
    const ssize_t length = ::readlinkat(descriptorOf(at.get()), name, target.data(), target.size());
    if (length < 0) {
        return lastSystemError();
    }
    if (static_cast<std::size_t>(length) == target.size()) {
        return std::make_error_code(std::errc::filename_too_long);
    }
    target.resize(static_cast<std::size_t>(length));
    const std::filesystem::path targetPath(target);
    if (targetPath.is_absolute()) {
        if (const std::error_code error = openWalkStart(targetPath, at)) {
            return error;
        }
    }
    // Nothing is made inside a link's target: only the caller's own path is created.
    return walkFrom(at, targetPath, Directory::Create::Never, true, links);
}

// Steps from the directory `at` into its entry `name`, made first when missing and `create`
// says so. A link there is refused, or followed when `mayBeLink` and its owner is trusted.
std::error_code stepInto(OwnedHandle& at, const char* name, Directory::Create create,
                         bool mayBeLink, int& links) {
    constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    const int in = descriptorOf(at.get());
    int fd = ::openat(in, name, kFlags);
    if (fd < 0 && errno == ENOENT && create == Directory::Create::Missing) {
        // Made by another at the same time is as good as made here.
        if (::mkdirat(in, name, 0777) != 0 && errno != EEXIST) {
            return lastSystemError();
        }
        fd = ::openat(in, name, kFlags);
    }
    if (fd >= 0) {
        at.reset(fd);
        return {};
    }
    const int openError = errno;
    if (openError != ELOOP && openError != ENOTDIR) {
        return lastSystemError();
    }
    struct stat info {};
    if (::fstatat(in, name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
        return lastSystemError();
    }
    if (!S_ISLNK(info.st_mode)) {
        return {openError, std::generic_category()};
    }
    if (!mayBeLink) {
        return Error::SymbolicLink;
    }
    if (!trustedLinkOwner(info.st_uid)) {
        return Error::UntrustedLink;
    }
    return followLink(at, name, links);
}

std::error_code walkFrom(OwnedHandle& at, const std::filesystem::path& path,
                         Directory::Create create, bool lastMayBeLink, int& links) {
    // The named components only: "a/./b/" is a, then b.
    std::vector<std::filesystem::path> names;
    for (const std::filesystem::path& part : path.relative_path()) {
        if (!part.empty() && part != ".") {
            names.push_back(part);
        }
    }
    for (std::size_t i = 0; i < names.size(); ++i) {
        const bool last = i + 1 == names.size();
        if (const std::error_code error =
                stepInto(at, names[i].c_str(), create, !last || lastMayBeLink, links)) {
            return error;
        }
    }
    return {};
}

} // namespace

std::error_code Directory::walk(const std::filesystem::path& path, Create create,
                                bool lastMayBeLink) {
    OwnedHandle at;
    if (const std::error_code error = openWalkStart(path, at)) {
        return error;
    }
    int links = 0;
    if (const std::error_code error = walkFrom(at, path, create, lastMayBeLink, links)) {
        return error;
    }
    directory_ = std::move(at);
    path_ = path;
    return {};
}

std::error_code Directory::open(const Directory& parent, const std::filesystem::path& name) {
    if (!parent.directory_) {
        return notHeld();
    }
    const int fd = ::openat(descriptorOf(parent.directory_.get()), name.c_str(),
                            O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return openFailure();
    }
    directory_.reset(fd);
    path_ = parent.path_ / name;
    return {};
}

std::filesystem::path Directory::heldPath() const {
#ifdef __linux__
    if (directory_) {
        return std::filesystem::path("/proc/self/fd") /
               std::to_string(descriptorOf(directory_.get()));
    }
#endif
    return path_;
}

std::error_code Directory::makeDirectory(const std::filesystem::path& name) const {
    if (!directory_) {
        return notHeld();
    }
    return systemResult(::mkdirat(descriptorOf(directory_.get()), name.c_str(), 0777) == 0);
}

std::error_code Directory::rename(const std::filesystem::path& from,
                                  const std::filesystem::path& to) const {
    if (!directory_) {
        return notHeld();
    }
    const int fd = descriptorOf(directory_.get());
    return systemResult(::renameat(fd, from.c_str(), fd, to.c_str()) == 0);
}

std::error_code Directory::replaceWriteThrough(const std::filesystem::path& from,
                                               const std::filesystem::path& to) const {
    if (const std::error_code moved = rename(from, to)) {
        return moved;
    }
    return sync();
}

std::error_code Directory::remove(const std::filesystem::path& name) const {
    if (!directory_) {
        return notHeld();
    }
    if (::unlinkat(descriptorOf(directory_.get()), name.c_str(), 0) == 0 || errno == ENOENT) {
        return {};
    }
    return lastSystemError();
}

std::error_code Directory::sync() const {
    return directory_ ? syncDirectory(descriptorOf(directory_.get())) : notHeld();
}

std::error_code File::open(const Directory& directory, const std::filesystem::path& name,
                           Access access) {
    close();
    if (!directory.isOpen()) {
        return notOpen();
    }
    int fd = -1;
    if (const std::error_code error =
            openChecked(descriptorOf(directory.directory_.get()), name.c_str(), access, fd)) {
        return error;
    }
    file_.reset(fd);
    locked_ = false;
    return {};
}

std::error_code File::open(const std::filesystem::path& path, Access access) {
    close();
    Directory parent;
    if (const std::error_code error = parent.openParentOf(path)) {
        return error;
    }
    return open(parent, path.filename(), access);
}

namespace {

// Whether a process of another user holds the flock on `fd`, as Linux lists it in /proc/locks
// ("1: FLOCK  ADVISORY  WRITE <pid> <major>:<minor>:<inode> 0 EOF"). False where it cannot tell:
// no such list, or a holder out of sight.
bool lockHeldByOtherUser(int fd) {
    struct stat file {};
    if (::fstat(fd, &file) != 0) {
        return false;
    }
    const ErrorOr<std::string> locks = readSmallRegularFile("/proc/locks", 16 << 20);
    if (!locks) {
        return false;
    }
    std::size_t start = 0;
    while (start < locks->size()) {
        std::size_t end = locks->find('\n', start);
        if (end == std::string::npos) {
            end = locks->size();
        }
        const std::string line = locks->substr(start, end - start);
        start = end + 1;
        long pid = 0;
        unsigned int devMajor = 0;
        unsigned int devMinor = 0;
        unsigned long inode = 0;
        // A waiter's line ("1: -> FLOCK ...") does not match: only holders count.
        if (std::sscanf(line.c_str(), "%*d: FLOCK %*s %*s %ld %x:%x:%lu", &pid, &devMajor,
                        &devMinor, &inode) != 4 ||
            devMajor != major(file.st_dev) || devMinor != minor(file.st_dev) ||
            inode != file.st_ino || pid <= 0) {
            continue;
        }
        // /proc/<pid> belongs to the process's effective user.
        struct stat holder {};
        const std::string proc = "/proc/" + std::to_string(pid);
        return ::stat(proc.c_str(), &holder) == 0 && holder.st_uid != ::geteuid();
    }
    return false;
}

} // namespace

// flock, through interruptions.
ErrorOr<File::LockTaken> File::tryLock(NativeHandle file) {
    int result = 0;
    do {
        result = ::flock(descriptorOf(file), LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result == 0) {
        return LockTaken::Yes;
    }
    if (errno == EWOULDBLOCK) {
        return lockHeldByOtherUser(descriptorOf(file)) ? LockTaken::BusyOtherUser : LockTaken::Busy;
    }
    if (errno == ENOLCK || errno == EOPNOTSUPP || errno == ENOSYS) {
        return LockTaken::NoLocks;
    }
    return lastSystemError();
}

void File::dropLock(NativeHandle file) {
    ::flock(descriptorOf(file), LOCK_UN);
}

void File::closeHeld(const NativeHandle& file) noexcept {
    ::close(static_cast<int>(file)); // closing the last descriptor drops the lock
}

ErrorOr<std::uint64_t> File::size() const {
    struct stat info {};
    if (!file_) {
        return notOpen();
    }
    if (::fstat(descriptorOf(file_.get()), &info) != 0) {
        return lastSystemError();
    }
    return static_cast<std::uint64_t>(info.st_size);
}

ErrorOr<FileAttributes> File::attributes() const {
    struct stat info {};
    if (!file_) {
        return notOpen();
    }
    if (::fstat(descriptorOf(file_.get()), &info) != 0) {
        return lastSystemError();
    }
    return attributesOf(info);
}

std::error_code File::setModifiedTime(const FileAttributes& attributes) {
    return file_ ? setModifiedTimeOf(descriptorOf(file_.get()), attributes) : notOpen();
}

ErrorOr<bool> File::ownedByAnotherUser() const {
    struct stat info {};
    if (!file_) {
        return notOpen();
    }
    if (::fstat(descriptorOf(file_.get()), &info) != 0) {
        return lastSystemError();
    }
    return info.st_uid != ::geteuid();
}

ErrorOr<bool> File::stillNamed() const {
    struct stat info {};
    if (!file_) {
        return notOpen();
    }
    if (::fstat(descriptorOf(file_.get()), &info) != 0) {
        return lastSystemError();
    }
    return info.st_nlink > 0;
}

std::error_code File::setSize(std::uint64_t bytes) {
    return file_ ? systemResult(::ftruncate(descriptorOf(file_.get()), static_cast<off_t>(bytes)) ==
                                0)
                 : notOpen();
}

std::error_code File::write(const void* data, std::size_t bytes) {
    return file_ ? writeAll(descriptorOf(file_.get()), data, bytes) : notOpen();
}

std::error_code File::write(std::span<const WritePiece> pieces) {
    if (!file_) {
        return notOpen();
    }
    const int fd = descriptorOf(file_.get());
    return writePieces(pieces, [fd](std::span<const WritePiece> batch) -> ErrorOr<std::size_t> {
        // A few at a time on the stack: nothing is allocated per write.
        std::array<iovec, kMaxGatheredPieces> gathered;
        for (std::size_t i = 0; i < batch.size(); ++i) {
            gathered[i] = {const_cast<void*>(batch[i].data), batch[i].bytes};
        }
        for (;;) {
            const ssize_t written = ::writev(fd, gathered.data(), static_cast<int>(batch.size()));
            if (written >= 0) {
                return static_cast<std::size_t>(written);
            }
            if (errno != EINTR) {
                return lastSystemError();
            }
        }
    });
}

std::error_code File::writeAt(std::uint64_t offset, const void* data, std::size_t bytes) {
    return file_ ? writeAllAt(descriptorOf(file_.get()), offset, data, bytes) : notOpen();
}

// pread, through interruptions.
ErrorOr<std::size_t> File::readOnce(NativeHandle file, std::uint64_t offset, void* data,
                                    std::size_t bytes) {
    for (;;) {
        const ssize_t got = ::pread(descriptorOf(file), data, bytes, static_cast<off_t>(offset));
        if (got >= 0) {
            return static_cast<std::size_t>(got);
        }
        if (errno != EINTR) {
            return lastSystemError();
        }
    }
}

ErrorOr<std::uint64_t> File::nextData(std::uint64_t offset) const {
    return file_ ? seekRegion(descriptorOf(file_.get()), offset, SEEK_DATA)
                 : ErrorOr<std::uint64_t>(notOpen());
}

ErrorOr<std::uint64_t> File::nextHole(std::uint64_t offset) const {
    return file_ ? seekRegion(descriptorOf(file_.get()), offset, SEEK_HOLE)
                 : ErrorOr<std::uint64_t>(notOpen());
}

std::error_code File::sync() const {
    return file_ ? systemResult(::fsync(descriptorOf(file_.get())) == 0) : notOpen();
}

namespace {

std::error_code applyAttributesTo(int fd, const FileAttributes& attributes) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        return lastSystemError();
    }
    // Only root gives a file away; anyone else's copy stays theirs. The mode after the owner, as
    // chown clears set-id bits; and never a set-id bit on a file this process made, whoever
    // owned the original.
    if (::geteuid() == 0 && (info.st_uid != attributes.owner || info.st_gid != attributes.group) &&
        ::fchown(fd, attributes.owner, attributes.group) != 0) {
        return lastSystemError();
    }
    if (::fchmod(fd, static_cast<mode_t>(attributes.mode & ~mode_t{06000})) != 0) {
        return lastSystemError();
    }
    return setModifiedTimeOf(fd, attributes);
}

} // namespace

namespace {

int createExclusive(int directory, const char* name, NewFile::Readers readers) {
    const mode_t mode = readers == NewFile::Readers::Anyone ? 0666 : 0600;
    return ::openat(directory, name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
}

} // namespace

std::error_code NewFile::create(const std::filesystem::path& path, Readers readers) {
    Directory parent;
    if (const std::error_code error = parent.openParentOf(path)) {
        return error;
    }
    return create(parent, path.filename(), readers);
}

std::error_code NewFile::create(const Directory& directory, const std::filesystem::path& name,
                                Readers readers) {
    if (const std::error_code closed = close()) {
        return closed;
    }
    if (!directory.isOpen()) {
        return File::notOpen();
    }
    const int fd = createExclusive(descriptorOf(directory.native()), name.c_str(), readers);
    if (fd < 0) {
        return lastSystemError();
    }
    file_.reset(fd);
    return {};
}

std::error_code NewFile::write(const void* data, std::size_t bytes) {
    return file_ ? writeAll(descriptorOf(file_.get()), data, bytes) : File::notOpen();
}

std::error_code NewFile::writeAt(std::uint64_t offset, const void* data, std::size_t bytes) {
    return file_ ? writeAllAt(descriptorOf(file_.get()), offset, data, bytes) : File::notOpen();
}

std::error_code NewFile::skip(std::uint64_t bytes) {
    return file_ ? systemResult(
                       ::lseek(descriptorOf(file_.get()), static_cast<off_t>(bytes), SEEK_CUR) >= 0)
                 : File::notOpen();
}

std::error_code NewFile::setSize(std::uint64_t bytes) {
    return file_ ? systemResult(::ftruncate(descriptorOf(file_.get()), static_cast<off_t>(bytes)) ==
                                0)
                 : File::notOpen();
}

std::error_code NewFile::applyAttributes(const FileAttributes& attributes) {
    return file_ ? applyAttributesTo(descriptorOf(file_.get()), attributes) : File::notOpen();
}

std::error_code NewFile::replace(const Directory& directory, const std::filesystem::path& from,
                                 const std::filesystem::path& to) {
    if (!file_ || !directory.isOpen()) {
        return File::notOpen();
    }
    if (const std::error_code moved = directory.replaceWriteThrough(from, to)) {
        return moved;
    }
    // Whoever can write the directory could have put another file at `from` before the rename.
    struct stat held {};
    struct stat named {};
    if (::fstat(descriptorOf(file_.get()), &held) != 0 ||
        ::fstatat(descriptorOf(directory.native()), to.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0) {
        return lastSystemError();
    }
    return held.st_dev == named.st_dev && held.st_ino == named.st_ino
               ? std::error_code()
               : std::make_error_code(std::errc::file_exists);
}

std::error_code NewFile::sync() {
    return file_ ? systemResult(::fsync(descriptorOf(file_.get())) == 0) : File::notOpen();
}

std::error_code NewFile::close() {
    return file_ ? systemResult(::close(descriptorOf(file_.release())) == 0) : std::error_code();
}

ErrorOr<std::filesystem::path> createPrivateDirectory(const std::filesystem::path& parent,
                                                      const std::string& prefix) {
    std::string name = (parent / (prefix + "XXXXXX")).native();
    if (::mkdtemp(name.data()) == nullptr) {
        return lastSystemError();
    }
    return std::filesystem::path(name);
}

ErrorOr<std::string> readSmallRegularFile(const std::filesystem::path& path, std::size_t maxBytes) {
    Directory parent;
    if (const std::error_code error = parent.openParentOf(path)) {
        return error;
    }
    const int fd = ::openat(descriptorOf(parent.native()), path.filename().c_str(),
                            O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        return errno == ELOOP ? make_error_code(Error::NotRegularFile) : lastSystemError();
    }
    const OwnedHandle file(fd);
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        return lastSystemError();
    }
    if (!S_ISREG(info.st_mode)) {
        return Error::NotRegularFile;
    }
    if (static_cast<std::uint64_t>(info.st_size) > maxBytes) {
        return Error::TooLarge;
    }
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return lastSystemError();
        }
        if (got == 0) {
            return text;
        }
        text.append(buffer, static_cast<std::size_t>(got));
        // The file may have grown since its size was read.
        if (text.size() > maxBytes) {
            return Error::TooLarge;
        }
    }
}

} // namespace vaskel::platform
