#include "platform/writeback.h"

#include <cerrno>
#include <fcntl.h>
#include <limits>

namespace vaskel::platform {

namespace {

// The kernel or file system cannot write back or drop a range: the final sync does it all.
bool unsupported(int error) {
    return error == ENOSYS || error == EINVAL || error == ESPIPE || error == EOPNOTSUPP ||
           error == ENOTSUP;
}

// Whether the range's end fits an off_t, as the system calls need.
bool fitsOffsets(std::uint64_t offset, std::uint64_t bytes) {
    constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());
    return offset <= kMax && bytes <= kMax - offset;
}

#if defined(__linux__)
constexpr unsigned int kStartFlags = SYNC_FILE_RANGE_WRITE;
constexpr unsigned int kWaitFlags =
    SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER;
#else
constexpr unsigned int kStartFlags = 0;
constexpr unsigned int kWaitFlags = 0;
#endif

std::error_code syncRange(std::intptr_t file, std::uint64_t offset, std::uint64_t bytes,
                          [[maybe_unused]] unsigned int flags) {
    if (bytes == 0) {
        return {};
    }
    if (!fitsOffsets(offset, bytes)) {
        return std::make_error_code(std::errc::file_too_large);
    }
    const auto start = static_cast<off_t>(offset);
    const auto length = static_cast<off_t>(bytes);
#if defined(__linux__)
    int result = 0;
    while ((result = ::sync_file_range(static_cast<int>(file), start, length, flags)) != 0 &&
           errno == EINTR) {
    }
    if (result != 0 && !unsupported(errno)) {
        return {errno, std::generic_category()};
    }
#else
    // Other POSIX systems have no range writeback: the final sync does it all.
    (void)file;
    (void)start;
    (void)length;
#endif
    return {};
}

} // namespace

std::error_code startWriteback(std::intptr_t file, std::uint64_t offset, std::uint64_t bytes) {
    return syncRange(file, offset, bytes, kStartFlags);
}

std::error_code waitWriteback(std::intptr_t file, std::uint64_t offset, std::uint64_t bytes) {
    return syncRange(file, offset, bytes, kWaitFlags);
}

std::error_code dropCachedPages(std::intptr_t file, std::uint64_t offset, std::uint64_t bytes) {
    if (bytes == 0) {
        return {};
    }
    if (!fitsOffsets(offset, bytes)) {
        return std::make_error_code(std::errc::file_too_large);
    }
    const auto start = static_cast<off_t>(offset);
    const auto length = static_cast<off_t>(bytes);
    // posix_fadvise returns the error instead of setting errno.
    const int error = ::posix_fadvise(static_cast<int>(file), start, length, POSIX_FADV_DONTNEED);
    if (error != 0 && !unsupported(error)) {
        return {error, std::generic_category()};
    }
    return {};
}

} // namespace vaskel::platform
