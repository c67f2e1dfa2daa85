#include "platform/file.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

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

std::error_code Directory::open(const std::filesystem::path& path) {
    const int fd =
        ::open(path.empty() ? "." : path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return openFailure();
    }
    directory_.reset(fd);
    path_ = path;
    return {};
}

namespace {

// What a Directory that holds none answers.
std::error_code notHeld() {
    return std::make_error_code(std::errc::bad_file_descriptor);
}

} // namespace

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
    int fd = -1;
    if (const std::error_code error = openChecked(AT_FDCWD, path.c_str(), access, fd)) {
        return error;
    }
    file_.reset(fd);
    locked_ = false;
    return {};
}

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
        return LockTaken::Busy;
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
    // A few at a time on the stack: nothing is allocated per write.
    constexpr std::size_t kGather = 64;
    iovec gathered[kGather];
    std::size_t next = 0;       // the first piece not yet written whole
    std::size_t doneInNext = 0; // bytes of it already written
    while (next < pieces.size()) {
        std::size_t count = 0;
        for (std::size_t i = next; i < pieces.size() && count < kGather; ++i, ++count) {
            const std::size_t skipped = i == next ? doneInNext : 0;
            gathered[count].iov_base =
                const_cast<char*>(static_cast<const char*>(pieces[i].data)) + skipped;
            gathered[count].iov_len = pieces[i].bytes - skipped;
        }
        const ssize_t written =
            ::writev(descriptorOf(file_.get()), gathered, static_cast<int>(count));
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written < 0) {
            return lastSystemError();
        }
        // Past the pieces it took whole, into the one it cut short.
        auto left = static_cast<std::size_t>(written);
        while (next < pieces.size() && left >= pieces[next].bytes - doneInNext) {
            left -= pieces[next].bytes - doneInNext;
            ++next;
            doneInNext = 0;
        }
        if (next < pieces.size()) {
            if (written == 0 && pieces[next].bytes != 0) {
                return std::make_error_code(std::errc::io_error);
            }
            doneInNext += left;
        }
    }
    return {};
}

std::error_code File::writeAt(std::uint64_t offset, const void* data, std::size_t bytes) {
    if (!file_) {
        return notOpen();
    }
    const auto* next = static_cast<const char*>(data);
    while (bytes > 0) {
        const ssize_t written =
            ::pwrite(descriptorOf(file_.get()), next, bytes, static_cast<off_t>(offset));
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
    // Only a change of owner needs the privilege; the mode after it, as chown clears set-id bits.
    if ((info.st_uid != attributes.owner || info.st_gid != attributes.group) &&
        ::fchown(fd, attributes.owner, attributes.group) != 0) {
        return lastSystemError();
    }
    if (::fchmod(fd, static_cast<mode_t>(attributes.mode)) != 0) {
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
    if (const std::error_code closed = close()) {
        return closed;
    }
    const int fd = createExclusive(AT_FDCWD, path.c_str(), readers);
    if (fd < 0) {
        return lastSystemError();
    }
    file_.reset(fd);
    return {};
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
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
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
