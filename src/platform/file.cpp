#include "platform/file.h"

namespace vaskel::platform {

std::error_code Directory::notHeld() {
    return std::make_error_code(std::errc::bad_file_descriptor);
}

std::error_code File::notOpen() {
    return std::make_error_code(std::errc::bad_file_descriptor);
}

std::error_code File::lockHandle(NativeHandle file, bool& locked) {
    const ErrorOr<LockTaken> taken = tryLock(file);
    locked = taken && *taken == LockTaken::Yes;
    if (!taken) {
        return taken.error();
    }
    switch (*taken) {
    case LockTaken::Busy:
        return Error::LockBusy;
    case LockTaken::BusyOtherUser:
        return Error::LockedByOtherUser;
    case LockTaken::Yes:
    case LockTaken::NoLocks:
        break;
    }
    return {};
}

std::error_code Directory::open(const std::filesystem::path& path, Create create) {
    return walk(path, create, false);
}

std::error_code Directory::openParentOf(const std::filesystem::path& file) {
    return walk(file.parent_path(), Create::Never, true);
}

std::error_code File::lock() {
    return file_ ? lockHandle(file_.get(), locked_) : notOpen();
}

void File::unlock() {
    if (file_ && locked_) {
        dropLock(file_.get());
    }
    locked_ = false;
}

ErrorOr<std::size_t> File::readAt(std::uint64_t offset, void* data, std::size_t bytes) const {
    if (!file_) {
        return notOpen();
    }
    auto* next = static_cast<char*>(data);
    std::size_t done = 0;
    while (done < bytes) {
        const ErrorOr<std::size_t> got =
            readOnce(file_.get(), offset + done, next + done, bytes - done);
        if (!got) {
            return got.error();
        }
        if (*got == 0) {
            break;
        }
        done += *got;
    }
    return done;
}

std::error_code NewFile::lock() {
    bool locked = false;
    return file_ ? File::lockHandle(file_.get(), locked) : File::notOpen();
}

} // namespace vaskel::platform
