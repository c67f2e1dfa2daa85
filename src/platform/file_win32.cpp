#include "platform/file.h"
#include "platform/win32_api.h"

#include <algorithm>

namespace vaskel::platform {

namespace {

// The locked byte: far beyond any stream file, below what every file system accepts.
constexpr DWORD kLockOffsetHigh = 0x40000000;

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// A Win32 call's BOOL as a result: its error when it failed.
std::error_code checked(BOOL done) {
    return systemResult(done != 0);
}

// What a NewFile or a FileLock that holds no file answers.
std::error_code notOpen() {
    return std::make_error_code(std::errc::bad_file_descriptor);
}

HANDLE handleOf(NativeHandle handle) {
    return reinterpret_cast<HANDLE>(handle);
}

std::error_code setModifiedTime(HANDLE file, const FileAttributes& attributes) {
    const auto ticks = static_cast<std::uint64_t>(attributes.modified);
    FILETIME modified{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    return checked(::SetFileTime(file, nullptr, nullptr, &modified));
}

std::error_code moveFilePointer(HANDLE file, std::uint64_t distance, DWORD from) {
    LARGE_INTEGER move{};
    move.QuadPart = static_cast<LONGLONG>(distance);
    return checked(::SetFilePointerEx(file, move, nullptr, from));
}

} // namespace

std::error_code replaceFileWriteThrough(const std::filesystem::path& from,
                                        const std::filesystem::path& to) {
    return checked(::MoveFileExW(from.c_str(), to.c_str(),
                                 MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
}

std::error_code flushDirectoryToDisk(const std::filesystem::path&) {
    // No directory flush for an ordinary user here; NTFS logs directory changes in its journal,
    // which the write-through move of the complete snapshot that follows commits.
    return {};
}

std::error_code FileLock::acquire(const std::filesystem::path& path, bool create) {
    release();
    // Shared every way, so the writer's own handle, a reader and a rename over the file all work.
    // The writer's lock may write, which FlushFileBuffers needs.
    const DWORD access = create ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ;
    const HANDLE file = ::CreateFileW(
        path.c_str(), access, kShareAll, nullptr, create ? OPEN_ALWAYS : OPEN_EXISTING,
        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return lastSystemError();
    }
    OVERLAPPED at{};
    at.OffsetHigh = kLockOffsetHigh;
    const bool locked =
        ::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at) != 0;
    if (!locked && ::GetLastError() == ERROR_LOCK_VIOLATION) {
        ::CloseHandle(file);
        return Error::LockBusy;
    }
    file_.reset(reinterpret_cast<NativeHandle>(file));
    locked_ = locked;
    return {};
}

void FileLock::Held::close(const Value& file) noexcept {
    OVERLAPPED at{};
    at.OffsetHigh = kLockOffsetHigh;
    ::UnlockFileEx(handleOf(file), 0, 1, 0, &at);
    ::CloseHandle(handleOf(file));
}

std::error_code FileLock::syncFile() const {
    return file_ ? checked(::FlushFileBuffers(handleOf(file_.get()))) : notOpen();
}

ErrorOr<FileAttributes> readFileAttributes(const std::filesystem::path& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) == 0) {
        return lastSystemError();
    }
    FileAttributes attributes;
    attributes.modified =
        static_cast<std::int64_t>((std::uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32) |
                                  data.ftLastWriteTime.dwLowDateTime);
    return attributes;
}

std::error_code applyFileAttributes(const std::filesystem::path& path,
                                    const FileAttributes& attributes) {
    // Owner and mode are the directory's inheritance on Windows; only the time is set.
    const HANDLE file =
        ::CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return lastSystemError();
    }
    const std::error_code set = setModifiedTime(file, attributes);
    if (const std::error_code closed = checked(::CloseHandle(file))) {
        return closed;
    }
    return set;
}

// Who may read it follows the directory's inherited access list, as for any other new file.
std::error_code NewFile::create(const std::filesystem::path& path, Readers) {
    if (const std::error_code closed = close()) {
        return closed;
    }
    // Shared with no one while it is written; CREATE_NEW fails on any existing name.
    const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return lastSystemError();
    }
    file_.reset(reinterpret_cast<NativeHandle>(file));
    return {};
}

std::error_code NewFile::write(const void* data, std::size_t bytes) {
    if (!file_) {
        return notOpen();
    }
    const auto* next = static_cast<const char*>(data);
    while (bytes > 0) {
        // Whole buffers at once: the console's piece limit does not apply to a file.
        const auto piece = static_cast<DWORD>(std::min<std::size_t>(bytes, 1U << 30));
        DWORD written = 0;
        if (::WriteFile(handleOf(file_.get()), next, piece, &written, nullptr) == 0) {
            return lastSystemError();
        }
        if (written == 0) {
            return std::make_error_code(std::errc::io_error);
        }
        next += written;
        bytes -= written;
    }
    return {};
}

std::error_code NewFile::skip(std::uint64_t bytes) {
    return file_ ? moveFilePointer(handleOf(file_.get()), bytes, FILE_CURRENT) : notOpen();
}

std::error_code NewFile::setSize(std::uint64_t bytes) {
    if (!file_) {
        return notOpen();
    }
    if (const std::error_code moved = moveFilePointer(handleOf(file_.get()), bytes, FILE_BEGIN)) {
        return moved;
    }
    return checked(::SetEndOfFile(handleOf(file_.get())));
}

// Owner and mode are the directory's inheritance on Windows; only the time is set.
std::error_code NewFile::applyAttributes(const FileAttributes& attributes) {
    return file_ ? setModifiedTime(handleOf(file_.get()), attributes) : notOpen();
}

std::error_code NewFile::sync() {
    return file_ ? checked(::FlushFileBuffers(handleOf(file_.get()))) : notOpen();
}

std::error_code NewFile::close() {
    return file_ ? checked(::CloseHandle(handleOf(file_.release()))) : std::error_code();
}

ErrorOr<std::string> readSmallRegularFile(const std::filesystem::path& path, std::size_t maxBytes) {
    const HANDLE handle =
        ::CreateFileW(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                   ? std::make_error_code(std::errc::no_such_file_or_directory)
                   : lastSystemError();
    }
    const OwnedHandle file(reinterpret_cast<NativeHandle>(handle));
    BY_HANDLE_FILE_INFORMATION info{};
    if (::GetFileInformationByHandle(handle, &info) == 0) {
        return lastSystemError();
    }
    if (::GetFileType(handle) != FILE_TYPE_DISK ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
        return Error::NotRegularFile;
    }
    if (info.nFileSizeHigh != 0 || info.nFileSizeLow > maxBytes) {
        return Error::TooLarge;
    }
    std::string text;
    char buffer[4096];
    for (;;) {
        DWORD got = 0;
        if (::ReadFile(handle, buffer, sizeof buffer, &got, nullptr) == 0) {
            return lastSystemError();
        }
        if (got == 0) {
            return text;
        }
        text.append(buffer, got);
        if (text.size() > maxBytes) {
            return Error::TooLarge;
        }
    }
}

} // namespace vaskel::platform
