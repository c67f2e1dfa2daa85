#include "platform/file.h"

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace vaskel::platform {

namespace {

// What a NewFile or a FileLock that holds no file answers.
std::error_code notOpen() {
    return std::make_error_code(std::errc::bad_file_descriptor);
}

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

std::error_code FileLock::acquire(const std::filesystem::path& path, bool create) {
    release();
    // Non-blocking so that a FIFO in the file's place cannot hang the open.
    const int flags = O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | (create ? O_CREAT : 0);
    const int fd = ::open(path.c_str(), flags, 0666);
    if (fd < 0) {
        return lastSystemError();
    }
    const bool locked = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    if (!locked && errno == EWOULDBLOCK) {
        ::close(fd);
        return Error::LockBusy;
    }
    file_.reset(fd);
    locked_ = locked;
    return {};
}

void FileLock::Held::close(const Value& file) noexcept {
    ::close(static_cast<int>(file)); // closing the last descriptor drops the lock
}

// fsync needs no write access: the descriptor is the lock's read-only one.
std::error_code FileLock::syncFile() const {
    return file_ ? systemResult(::fsync(descriptorOf(file_.get())) == 0) : notOpen();
}

ErrorOr<FileAttributes> readFileAttributes(const std::filesystem::path& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        return lastSystemError();
    }
    FileAttributes attributes;
    attributes.modified = std::int64_t{info.st_mtim.tv_sec} * 1000000000 + info.st_mtim.tv_nsec;
    attributes.owner = info.st_uid;
    attributes.group = info.st_gid;
    attributes.mode = info.st_mode & 07777;
    return attributes;
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
    const timespec times[2] = {{0, UTIME_OMIT},
                               {static_cast<time_t>(attributes.modified / 1000000000),
                                static_cast<long>(attributes.modified % 1000000000)}};
    return systemResult(::futimens(fd, times) == 0);
}

} // namespace

std::error_code applyFileAttributes(const std::filesystem::path& path,
                                    const FileAttributes& attributes) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        return lastSystemError();
    }
    const std::error_code applied = applyAttributesTo(fd, attributes);
    if (::close(fd) != 0) {
        return lastSystemError();
    }
    return applied;
}

std::error_code NewFile::create(const std::filesystem::path& path, Readers readers) {
    if (const std::error_code closed = close()) {
        return closed;
    }
    const mode_t mode = readers == Readers::Anyone ? 0666 : 0600;
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0) {
        return lastSystemError();
    }
    file_.reset(fd);
    return {};
}

std::error_code NewFile::write(const void* data, std::size_t bytes) {
    if (!file_) {
        return notOpen();
    }
    const auto* next = static_cast<const char*>(data);
    while (bytes > 0) {
        const ssize_t written = ::write(descriptorOf(file_.get()), next, bytes);
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

std::error_code NewFile::skip(std::uint64_t bytes) {
    return file_ ? systemResult(
                       ::lseek(descriptorOf(file_.get()), static_cast<off_t>(bytes), SEEK_CUR) >= 0)
                 : notOpen();
}

std::error_code NewFile::setSize(std::uint64_t bytes) {
    return file_ ? systemResult(::ftruncate(descriptorOf(file_.get()), static_cast<off_t>(bytes)) ==
                                0)
                 : notOpen();
}

std::error_code NewFile::applyAttributes(const FileAttributes& attributes) {
    return file_ ? applyAttributesTo(descriptorOf(file_.get()), attributes) : notOpen();
}

std::error_code NewFile::sync() {
    return file_ ? systemResult(::fsync(descriptorOf(file_.get())) == 0) : notOpen();
}

std::error_code NewFile::close() {
    return file_ ? systemResult(::close(descriptorOf(file_.release())) == 0) : std::error_code();
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
