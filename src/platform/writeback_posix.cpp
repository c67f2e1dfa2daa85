#include "platform/writeback.h"

#include <cerrno>
#include <fcntl.h>
#include <limits>

#if defined(__linux__)
#include <linux/magic.h>
#include <sys/vfs.h>
#endif

namespace vaskel::platform {

namespace {

// The kernel or file system cannot write back or drop a range: the final sync does it all.
bool unsupported(int error) {
    return error == ENOSYS || error == EINVAL || error == ESPIPE || error == EOPNOTSUPP ||
           error == ENOTSUP;
}

// Runs `call` (returning 0 or an error number) on the range as off_t values: nothing for an
// empty range, an error for one the system cannot address, nothing where it is not supported.
template <typename Call>
std::error_code onRange(std::uint64_t offset, std::uint64_t bytes, Call call) {
    constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());
    if (bytes == 0) {
        return {};
    }
    if (offset > kMax || bytes > kMax - offset) {
        return std::make_error_code(std::errc::file_too_large);
    }
    const int error = call(static_cast<off_t>(offset), static_cast<off_t>(bytes));
    if (error != 0 && !unsupported(error)) {
        return {error, std::generic_category()};
    }
    return {};
}

#if defined(__linux__)
constexpr unsigned int kStartFlags = SYNC_FILE_RANGE_WRITE;
constexpr unsigned int kWaitFlags =
    SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER;

std::error_code syncRange(std::intptr_t file, std::uint64_t offset, std::uint64_t bytes,
                          unsigned int flags) {
    return onRange(offset, bytes, [&](off_t start, off_t length) {
        while (::sync_file_range(static_cast<int>(file), start, length, flags) != 0) {
            if (errno != EINTR) {
                return errno;
            }
        }
        return 0;
    });
}
#else
// Other POSIX systems have no range writeback: the final sync does it all.
constexpr unsigned int kStartFlags = 0;
constexpr unsigned int kWaitFlags = 0;

std::error_code syncRange(std::intptr_t, std::uint64_t, std::uint64_t, unsigned int) {
    return {};
}
#endif

} // namespace

std::error_code startWriteback(std::intptr_t file, std::uint64_t offset, std::uint64_t bytes) {
    return syncRange(file, offset, bytes, kStartFlags);
}

std::error_code waitWriteback(std::intptr_t file, std::uint64_t offset, std::uint64_t bytes) {
    return syncRange(file, offset, bytes, kWaitFlags);
}

std::error_code dropCachedPages(std::intptr_t file, std::uint64_t offset, std::uint64_t bytes) {
    // posix_fadvise returns the error instead of setting errno.
    return onRange(offset, bytes, [&](off_t start, off_t length) {
        return ::posix_fadvise(static_cast<int>(file), start, length, POSIX_FADV_DONTNEED);
    });
}

bool backedByDisk(std::intptr_t file) {
#if defined(__linux__)
    struct statfs info {};
    if (::fstatfs(static_cast<int>(file), &info) != 0) {
        return true;
    }
    return info.f_type != TMPFS_MAGIC && info.f_type != RAMFS_MAGIC;
#else
    (void)file;
    return true;
#endif
}

bool writingBackHelps(std::intptr_t file) {
#if defined(__linux__)
    return backedByDisk(file);
#else
    (void)file;
    return false;
#endif
}

} // namespace vaskel::platform
