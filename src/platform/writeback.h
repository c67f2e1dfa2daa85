// Writing a file's pages back to the disk behind the write position, range by range, so that a
// long capture never leaves gigabytes of dirty pages for the final sync (nor stalls in the
// kernel's dirty limits half-way) and never fills the page cache with audio nobody will read.
//
// Each function works on a native file: a POSIX descriptor, or a Windows HANDLE, as an integer.
// A range of 0 bytes does nothing. Ranges are in bytes; the system works in whole pages, so a
// range is widened to the pages it touches (start, wait) or narrowed to the pages it covers
// (drop).
//
// Linux: sync_file_range and posix_fadvise. Where the kernel or the file system cannot do it
// (ENOSYS: no such call, e.g. under an emulation layer or a seccomp filter; EINVAL and
// EOPNOTSUPP: a file system that refuses; ESPIPE: not a regular file) a call succeeds doing
// nothing, since the final sync still makes the file durable. Every other error is a real
// failure, to be handled like a failed write: EIO (the disk failed), ENOSPC and EDQUOT (blocks
// allocated only at writeback), ENOMEM, EBADF.
//
// Windows: every call succeeds doing nothing; the final FlushFileBuffers makes the file durable
// as before. An equivalent would need another way of writing: FlushFileBuffers flushes the whole
// file (and the storage's cache), never a range; FlushViewOfFile starts writing a range of dirty
// pages without waiting for the disk, but only for a file written through a mapped view, not
// through WriteFile; FILE_FLAG_WRITE_THROUGH makes every write wait for the disk (the cache
// manager may still cache it, but cannot write it lazily), which would put the disk's latency
// into every chunk; FILE_FLAG_NO_BUFFERING bypasses the cache altogether, and so never leaves
// pages behind, but requires every offset, size and buffer address to be a multiple of the
// volume's sector size, which a 44-byte header and payloads taken straight from the shared slots
// are not (it would need an aligned staging buffer and a copy of every chunk). Windows has no
// call that drops a written range from the cache.
#pragma once

#include <cstdint>
#include <system_error>

namespace vaskel::platform {

// Starts writing the dirty pages of the range to the disk and returns without waiting for them
// (sync_file_range(SYNC_FILE_RANGE_WRITE)). It may still block for a while when the device's
// queue is full: the disk is behind.
[[nodiscard]] std::error_code startWriteback(std::intptr_t file, std::uint64_t offset,
                                             std::uint64_t bytes);

// Returns once every page of the range has reached the disk (sync_file_range with
// WAIT_BEFORE | WRITE | WAIT_AFTER); on pages already written it returns at once. The file's
// metadata is left to the final sync. An error reported here is consumed: the final sync of the
// same file may not report it again, so it must end the capture.
[[nodiscard]] std::error_code waitWriteback(std::intptr_t file, std::uint64_t offset,
                                            std::uint64_t bytes);

// Drops the range's clean pages from the page cache (posix_fadvise(POSIX_FADV_DONTNEED)). Pages
// still dirty or under writeback stay; call it after waitWriteback.
[[nodiscard]] std::error_code dropCachedPages(std::intptr_t file, std::uint64_t offset,
                                              std::uint64_t bytes);

// Whether writing back behind can do anything for files on the file system of `file` (a file
// or a directory): false where the page cache is the file's only store (Linux: tmpfs, ramfs),
// and on Windows, where the calls above do nothing. There the calls would cost a system call
// each for nothing; a file system that cannot be asked is assumed to have a disk.
[[nodiscard]] bool writingBackHelps(std::intptr_t file);

// Whether the file system of `file` keeps its files on a disk (false for Linux's tmpfs and
// ramfs, whose files a power cut takes anyway): whether syncing them means anything. Windows
// and a file system that cannot be asked: true.
[[nodiscard]] bool backedByDisk(std::intptr_t file);

} // namespace vaskel::platform
