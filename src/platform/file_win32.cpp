// rand_s, the C runtime's face of the system's random number generator, must be asked for before
// the first standard header.
#define _CRT_RAND_S
#include "platform/file.h"
#include "platform/win32_api.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace vaskel::platform {

namespace {

// The locked byte: far beyond any stream file, below what every file system accepts.
constexpr DWORD kLockOffsetHigh = 0x40000000;

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// A Win32 call's BOOL as a result: its error when it failed.
std::error_code checked(BOOL done) {
    return systemResult(done != 0);
}

HANDLE handleOf(NativeHandle handle) {
    return reinterpret_cast<HANDLE>(handle);
}

std::error_code setModifiedTimeOf(HANDLE file, const FileAttributes& attributes) {
    const auto ticks = static_cast<std::uint64_t>(attributes.modified);
    FILETIME modified{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    return checked(::SetFileTime(file, nullptr, nullptr, &modified));
}

std::error_code moveFilePointer(HANDLE file, std::uint64_t distance, DWORD from) {
    LARGE_INTEGER move{};
    move.QuadPart = static_cast<LONGLONG>(distance);
    return checked(::SetFilePointerEx(file, move, nullptr, from));
}

OVERLAPPED lockedByte() {
    OVERLAPPED at{};
    at.OffsetHigh = kLockOffsetHigh;
    return at;
}

// WriteFile until every byte is written, at the position or, with `offset`, there.
std::error_code writeAll(HANDLE file, const void* data, std::size_t bytes,
                         const std::uint64_t* offset) {
    const auto* next = static_cast<const char*>(data);
    std::uint64_t at = offset != nullptr ? *offset : 0;
    while (bytes > 0) {
        // Whole buffers at once: the console's piece limit does not apply to a file.
        const auto piece = static_cast<DWORD>(std::min<std::size_t>(bytes, 1U << 30));
        DWORD written = 0;
        OVERLAPPED where{};
        where.Offset = static_cast<DWORD>(at);
        where.OffsetHigh = static_cast<DWORD>(at >> 32);
        if (::WriteFile(file, next, piece, &written, offset != nullptr ? &where : nullptr) == 0) {
            return lastSystemError();
        }
        if (written == 0) {
            return std::make_error_code(std::errc::io_error);
        }
        next += written;
        at += written;
        bytes -= written;
    }
    return {};
}

HANDLE openHandle(const std::filesystem::path& path, File::Access access) {
    // The writer shares reading and writing, as it always has; check and repair share deletion
    // too, so the repair's RF64 copy can be moved over the file it holds.
    switch (access) {
    case File::Access::Read:
        return ::CreateFileW(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    case File::Access::ReadWrite:
        return ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                             nullptr);
    case File::Access::CreateReadWrite:
        break;
    case File::Access::CreateNew:
        return ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    }
    return ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

// A regular file on a disk with this one name, or the reason it is not this holder's to use.
std::error_code checkOpened(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (::GetFileInformationByHandle(file, &info) == 0) {
        return lastSystemError();
    }
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return Error::SymbolicLink;
    }
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
        ::GetFileType(file) != FILE_TYPE_DISK) {
        return Error::NotRegularFile;
    }
    return info.nNumberOfLinks > 1 ? make_error_code(Error::HasOtherLinks) : std::error_code();
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

namespace {

// One component of a walk, opened by its full name but neither followed if it is a reparse
// point nor shared for deletion, so it cannot be renamed while it is held.
HANDLE openComponent(const std::filesystem::path& path) {
    return ::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

// A directory that is no junction, symbolic link or other reparse point.
std::error_code checkComponent(HANDLE component) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (::GetFileInformationByHandle(component, &info) == 0) {
        return lastSystemError();
    }
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return Error::SymbolicLink;
    }
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return std::make_error_code(std::errc::not_a_directory);
    }
    return {};
}

} // namespace

// No owner is asked of a reparse point (KERNEL32 tells none): every one on the way is refused.
std::error_code Directory::walk(const std::filesystem::path& path, Create create, bool) {
    std::filesystem::path at = path.root_path();
    if (at.empty()) {
        at = ".";
    }
    const HANDLE start = openComponent(at);
    if (start == INVALID_HANDLE_VALUE) {
        return lastSystemError();
    }
    OwnedHandle current(reinterpret_cast<NativeHandle>(start));
    std::vector<OwnedHandle> above;
    for (const std::filesystem::path& part : path.relative_path()) {
        if (part.empty() || part == ".") {
            continue;
        }
        at /= part;
        HANDLE next = openComponent(at);
        if (next == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_FILE_NOT_FOUND &&
            create == Create::Missing) {
            // Made by another at the same time is as good as made here.
            if (::CreateDirectoryW(at.c_str(), nullptr) == 0 &&
                ::GetLastError() != ERROR_ALREADY_EXISTS) {
                return lastSystemError();
            }
            next = openComponent(at);
        }
        if (next == INVALID_HANDLE_VALUE) {
            return lastSystemError();
        }
        OwnedHandle held(reinterpret_cast<NativeHandle>(next));
        if (const std::error_code refused = checkComponent(next)) {
            return refused;
        }
        above.push_back(std::move(current));
        current = std::move(held);
    }
    directory_ = std::move(current);
    above_ = std::move(above);
    path_ = path;
    return {};
}

// The held directory cannot be renamed or replaced (its handle does not share deletion), so
// its path names it for as long as it is held.
std::error_code Directory::open(const Directory& parent, const std::filesystem::path& name) {
    // The parent cannot be renamed while it is held, so its path still names it; the last
    // component is checked for a reparse point as any other.
    return parent.directory_ ? open(parent.path_ / name) : notHeld();
}

std::filesystem::path Directory::heldPath() const {
    return path_;
}

std::error_code Directory::makeDirectory(const std::filesystem::path& name) const {
    if (!directory_) {
        return notHeld();
    }
    return checked(::CreateDirectoryW((path_ / name).c_str(), nullptr));
}

std::error_code Directory::rename(const std::filesystem::path& from,
                                  const std::filesystem::path& to) const {
    if (!directory_) {
        return notHeld();
    }
    return checked(
        ::MoveFileExW((path_ / from).c_str(), (path_ / to).c_str(), MOVEFILE_REPLACE_EXISTING));
}

std::error_code Directory::replaceWriteThrough(const std::filesystem::path& from,
                                               const std::filesystem::path& to) const {
    return directory_ ? replaceFileWriteThrough(path_ / from, path_ / to) : notHeld();
}

std::error_code Directory::remove(const std::filesystem::path& name) const {
    if (!directory_) {
        return notHeld();
    }
    if (::DeleteFileW((path_ / name).c_str()) != 0) {
        return {};
    }
    const DWORD error = ::GetLastError();
    return error == ERROR_FILE_NOT_FOUND ? std::error_code() : lastSystemError();
}

std::error_code Directory::sync() const {
    return directory_ ? flushDirectoryToDisk(path_) : notHeld();
}

std::error_code File::open(const Directory& directory, const std::filesystem::path& name,
                           Access access) {
    close();
    return directory.isOpen() ? open(directory.path_ / name, access) : notOpen();
}

std::error_code File::open(const std::filesystem::path& path, Access access) {
    close();
    // Every directory on the way held while the file is opened by its name.
    Directory parent;
    if (const std::error_code error = parent.openParentOf(path)) {
        return error;
    }
    const HANDLE file = openHandle(path, access);
    if (file == INVALID_HANDLE_VALUE) {
        return ::GetLastError() == ERROR_SHARING_VIOLATION ? make_error_code(Error::LockBusy)
                                                           : lastSystemError();
    }
    Owned<Held> held(reinterpret_cast<NativeHandle>(file));
    if (const std::error_code refused = checkOpened(file)) {
        return refused;
    }
    file_ = std::move(held);
    locked_ = false;
    return {};
}

// LockFileEx on the far byte.
ErrorOr<File::LockTaken> File::tryLock(NativeHandle file) {
    OVERLAPPED at = lockedByte();
    if (::LockFileEx(handleOf(file), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                     &at) != 0) {
        return LockTaken::Yes;
    }
    const DWORD error = ::GetLastError();
    if (error == ERROR_LOCK_VIOLATION) {
        return LockTaken::Busy;
    }
    if (error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION) {
        return LockTaken::NoLocks;
    }
    return lastSystemError();
}

void File::dropLock(NativeHandle file) {
    OVERLAPPED at = lockedByte();
    ::UnlockFileEx(handleOf(file), 0, 1, 0, &at);
}

void File::closeHeld(const NativeHandle& file) noexcept {
    dropLock(file);
    ::CloseHandle(handleOf(file));
}

ErrorOr<std::uint64_t> File::size() const {
    LARGE_INTEGER size{};
    if (!file_) {
        return notOpen();
    }
    if (::GetFileSizeEx(handleOf(file_.get()), &size) == 0) {
        return lastSystemError();
    }
    return static_cast<std::uint64_t>(size.QuadPart);
}

ErrorOr<FileAttributes> File::attributes() const {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!file_) {
        return notOpen();
    }
    if (::GetFileInformationByHandle(handleOf(file_.get()), &info) == 0) {
        return lastSystemError();
    }
    FileAttributes attributes;
    attributes.modified =
        static_cast<std::int64_t>((std::uint64_t{info.ftLastWriteTime.dwHighDateTime} << 32) |
                                  info.ftLastWriteTime.dwLowDateTime);
    return attributes;
}

std::error_code File::setModifiedTime(const FileAttributes& attributes) {
    return file_ ? setModifiedTimeOf(handleOf(file_.get()), attributes) : notOpen();
}

// An owner is a security descriptor's, beyond KERNEL32: no file is taken for another's.
ErrorOr<bool> File::ownedByAnotherUser() const {
    return file_ ? ErrorOr<bool>(false) : ErrorOr<bool>(notOpen());
}

// A file replaced or removed while held is only marked for deletion until its last handle goes.
ErrorOr<bool> File::stillNamed() const {
    FILE_STANDARD_INFO info{};
    if (!file_) {
        return notOpen();
    }
    if (::GetFileInformationByHandleEx(handleOf(file_.get()), FileStandardInfo, &info,
                                       sizeof info) == 0) {
        return lastSystemError();
    }
    return info.DeletePending == 0 && info.NumberOfLinks > 0;
}

// The end moved without the position: the next write goes where it would have gone.
std::error_code File::setSize(std::uint64_t bytes) {
    if (!file_) {
        return notOpen();
    }
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = static_cast<LONGLONG>(bytes);
    return checked(
        ::SetFileInformationByHandle(handleOf(file_.get()), FileEndOfFileInfo, &end, sizeof end));
}

std::error_code File::write(const void* data, std::size_t bytes) {
    return file_ ? writeAll(handleOf(file_.get()), data, bytes, nullptr) : notOpen();
}

// No gathered write for a file opened this way (WriteFileGather wants unbuffered, overlapped
// I/O in whole pages): the pieces one by one.
std::error_code File::write(std::span<const WritePiece> pieces) {
    if (!file_) {
        return notOpen();
    }
    for (const WritePiece& piece : pieces) {
        if (const std::error_code error =
                writeAll(handleOf(file_.get()), piece.data, piece.bytes, nullptr)) {
            return error;
        }
    }
    return {};
}

// On a handle opened for synchronous use the position moves past what was written.
std::error_code File::writeAt(std::uint64_t offset, const void* data, std::size_t bytes) {
    return file_ ? writeAll(handleOf(file_.get()), data, bytes, &offset) : notOpen();
}

// ReadFile at `offset`, at most 1 GiB at once; reading at the end is ERROR_HANDLE_EOF.
ErrorOr<std::size_t> File::readOnce(NativeHandle file, std::uint64_t offset, void* data,
                                    std::size_t bytes) {
    OVERLAPPED where{};
    where.Offset = static_cast<DWORD>(offset);
    where.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    const auto piece = static_cast<DWORD>(std::min<std::size_t>(bytes, 1U << 30));
    if (::ReadFile(handleOf(file), data, piece, &got, &where) == 0) {
        if (::GetLastError() == ERROR_HANDLE_EOF) {
            return std::size_t{0};
        }
        return lastSystemError();
    }
    return std::size_t{got};
}

// NTFS keeps holes only in files marked sparse, which no stream file is: data throughout.
ErrorOr<std::uint64_t> File::nextData(std::uint64_t offset) const {
    const ErrorOr<std::uint64_t> end = size();
    return end && offset < *end ? ErrorOr<std::uint64_t>(offset) : end;
}

ErrorOr<std::uint64_t> File::nextHole(std::uint64_t) const {
    return size();
}

std::error_code File::sync() const {
    return file_ ? checked(::FlushFileBuffers(handleOf(file_.get()))) : notOpen();
}

std::error_code NewFile::create(const std::filesystem::path& path, Readers readers) {
    if (const std::error_code closed = close()) {
        return closed;
    }
    // Every directory on the way held while the file is made by its name.
    Directory parent;
    if (const std::error_code error = parent.openParentOf(path)) {
        return error;
    }
    // Shared with no writer while it is written, and with readers only when anyone may read
    // it; DELETE access for its own rename into place. CREATE_NEW fails on any existing name.
    const DWORD share = readers == Readers::Anyone ? FILE_SHARE_READ : 0;
    const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, share,
                                      nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return lastSystemError();
    }
    file_.reset(reinterpret_cast<NativeHandle>(file));
    return {};
}

std::error_code NewFile::create(const Directory& directory, const std::filesystem::path& name,
                                Readers readers) {
    return directory.isOpen() ? create(directory.path_ / name, readers) : File::notOpen();
}

std::error_code NewFile::write(const void* data, std::size_t bytes) {
    return file_ ? writeAll(handleOf(file_.get()), data, bytes, nullptr) : File::notOpen();
}

std::error_code NewFile::writeAt(std::uint64_t offset, const void* data, std::size_t bytes) {
    return file_ ? writeAll(handleOf(file_.get()), data, bytes, &offset) : File::notOpen();
}

std::error_code NewFile::skip(std::uint64_t bytes) {
    return file_ ? moveFilePointer(handleOf(file_.get()), bytes, FILE_CURRENT) : File::notOpen();
}

std::error_code NewFile::setSize(std::uint64_t bytes) {
    if (!file_) {
        return File::notOpen();
    }
    if (const std::error_code moved = moveFilePointer(handleOf(file_.get()), bytes, FILE_BEGIN)) {
        return moved;
    }
    return checked(::SetEndOfFile(handleOf(file_.get())));
}

// Owner and mode are the directory's inheritance on Windows; only the time is set.
std::error_code NewFile::applyAttributes(const FileAttributes& attributes) {
    return file_ ? setModifiedTimeOf(handleOf(file_.get()), attributes) : File::notOpen();
}

// The target by its full path, which names the held directory for as long as it is held (no
// component on the way can be renamed). A handle as RootDirectory with a bare name would say it
// better; Wine refuses that as an invalid parameter.
std::error_code NewFile::replace(const Directory& directory, const std::filesystem::path&,
                                 const std::filesystem::path& to) {
    if (!file_ || !directory.isOpen()) {
        return File::notOpen();
    }
    std::error_code error;
    const std::wstring name = std::filesystem::absolute(directory.path_ / to, error).wstring();
    if (error) {
        return error;
    }
    std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + name.size() * sizeof(wchar_t));
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->ReplaceIfExists = TRUE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<DWORD>(name.size() * sizeof(wchar_t));
    std::copy(name.begin(), name.end(), rename->FileName);
    if (::SetFileInformationByHandle(handleOf(file_.get()), FileRenameInfo, rename,
                                     static_cast<DWORD>(buffer.size())) == 0) {
        return lastSystemError();
    }
    return checked(::FlushFileBuffers(handleOf(file_.get())));
}

std::error_code NewFile::sync() {
    return file_ ? checked(::FlushFileBuffers(handleOf(file_.get()))) : File::notOpen();
}

std::error_code NewFile::close() {
    return file_ ? checked(::CloseHandle(handleOf(file_.release()))) : std::error_code();
}

ErrorOr<std::filesystem::path> createPrivateDirectory(const std::filesystem::path& parent,
                                                      const std::string& prefix) {
    constexpr int kTries = 100;
    constexpr wchar_t kLetters[] = L"abcdefghijklmnopqrstuvwxyz0123456789";
    for (int attempt = 0; attempt < kTries; ++attempt) {
        std::wstring name = std::filesystem::path(prefix).wstring();
        for (int i = 0; i < 12; ++i) {
            unsigned int random = 0;
            if (::rand_s(&random) != 0) {
                return std::make_error_code(std::errc::io_error);
            }
            name += kLetters[random % (sizeof kLetters / sizeof kLetters[0] - 1)];
        }
        const std::filesystem::path path = parent / name;
        if (::CreateDirectoryW(path.c_str(), nullptr) != 0) {
            return path;
        }
        if (::GetLastError() != ERROR_ALREADY_EXISTS) {
            return lastSystemError();
        }
    }
    return std::make_error_code(std::errc::file_exists);
}

ErrorOr<std::string> readSmallRegularFile(const std::filesystem::path& path, std::size_t maxBytes) {
    Directory parent;
    if (const std::error_code error = parent.openParentOf(path)) {
        const auto reason = static_cast<DWORD>(error.value());
        return error.category() == std::system_category() &&
                       (reason == ERROR_FILE_NOT_FOUND || reason == ERROR_PATH_NOT_FOUND)
                   ? std::make_error_code(std::errc::no_such_file_or_directory)
                   : error;
    }
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
