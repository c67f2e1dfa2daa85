#include "platform/region.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vaskel::platform {

namespace {

std::string objectName(const NativeString& name) {
    return "/" + name;
}

// A region's descriptor moved above the standard streams (close-on-exec, as shm_open makes it):
// in a process started with one of 0-2 closed, a descriptor that took that number would
// receive whatever the program, or a library it calls, writes to the standard stream.
int aboveStandardStreams(int fd) {
    if (fd < 0 || fd > STDERR_FILENO) {
        return fd;
    }
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    const int reason = errno; // of a failed move, for the caller
    ::close(fd);
    errno = reason;
    return moved;
}

} // namespace

ErrorOr<Region> Region::open(const NativeString& name) {
    const int fd = aboveStandardStreams(::shm_open(objectName(name).c_str(), O_RDWR, 0));
    if (fd < 0) {
        return lastSystemError();
    }
    Region region;
    region.handle_.reset(fd);
    return region;
}

ErrorOr<Region> Region::create(const NativeString& name, std::uint64_t bytes) {
    const int created = ::shm_open(objectName(name).c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    if (created < 0) {
        return lastSystemError(); // EEXIST when the name is taken
    }
    Region region;
    region.name_.reset(name);
    const int fd = aboveStandardStreams(created);
    if (fd < 0) {
        return lastSystemError();
    }
    region.handle_.reset(fd);
    if (::ftruncate(fd, static_cast<off_t>(bytes)) != 0) {
        return lastSystemError();
    }
    return region;
}

std::error_code Region::map(std::uint64_t bytes) {
    unmap();
    if (!handle_ || bytes == 0) {
        return std::make_error_code(std::errc::invalid_argument);
    }
    // mmap would accept a view longer than the object and the first touch past its end would
    // raise SIGBUS; refuse such a view up front, as Windows does.
    struct stat info {};
    if (::fstat(static_cast<int>(native()), &info) != 0) {
        return lastSystemError();
    }
    if (info.st_size < 0 || static_cast<std::uint64_t>(info.st_size) < bytes) {
        return std::make_error_code(std::errc::invalid_argument);
    }
    void* view = ::mmap(nullptr, static_cast<std::size_t>(bytes), PROT_READ | PROT_WRITE,
                        MAP_SHARED, static_cast<int>(native()), 0);
    if (view == MAP_FAILED) {
        return lastSystemError();
    }
    view_.reset({static_cast<std::byte*>(view), bytes});
    return {};
}

void Region::Mapped::close(const View& view) noexcept {
    ::munmap(view.data, static_cast<std::size_t>(view.size));
}

void Region::CreatedName::close(const NativeString& name) noexcept {
    ::shm_unlink(objectName(name).c_str());
}

std::error_code removeRegionName(const NativeString& name) {
    return ::shm_unlink(objectName(name).c_str()) == 0 || errno == ENOENT ? std::error_code()
                                                                          : lastSystemError();
}

} // namespace vaskel::platform
