// The one way the platform and output layers say "it failed": an action returns a
// std::error_code (empty: done), a function that makes a value returns ErrorOr<T>. The reason is
// the system's own (std::system_category / std::generic_category) or one of this project's below.
#pragma once

#include <optional>
#include <string>
#include <system_error>
#include <type_traits>
#include <utility>

namespace vaskel::platform {

// The project's own reasons, for failures that no system call reports.
enum class Error {
    LockBusy = 1,      // "locked by another holder"
    NotRegularFile,    // "not a regular file"
    SymbolicLink,      // "is a symbolic link"
    HasOtherLinks,     // "has other links"
    TooLarge,          // "too large"
    RiffSizeLimit,     // "beyond the RIFF size limit"
    ShortRead,         // "read cut short"
    UntrustedLink,     // "a link of another user on the way"
    LockedByOtherUser, // "locked by a process of another user"
};

const std::error_category& errorCategory() noexcept;

inline std::error_code make_error_code(Error error) noexcept {
    return {static_cast<int>(error), errorCategory()};
}

// The reason of the system call that just failed: errno on POSIX, GetLastError() on Windows;
// never empty (an I/O error where the call left none).
std::error_code lastSystemError() noexcept;

// A system call that says only whether it succeeded, as a result: empty when it did, else the
// system's reason.
inline std::error_code systemResult(bool succeeded) {
    return succeeded ? std::error_code() : lastSystemError();
}

// The reason in words, UTF-8, for a message a user can act on. Windows: a system reason in the
// system's own words and language, as FormatMessageW gives it.
std::string errorMessage(const std::error_code& error);

// A value, or the reason there is none. Like LLVM's ErrorOr: test it, then use * or ->.
template <typename T> class [[nodiscard]] ErrorOr {
public:
    ErrorOr(T value) : value_(std::move(value)) {}
    // `error` must say why: an empty code is not a reason.
    ErrorOr(std::error_code error) : error_(error) {}
    template <typename E, typename = std::enable_if_t<std::is_error_code_enum_v<E>>>
    ErrorOr(E error) : error_(make_error_code(error)) {}

    explicit operator bool() const { return value_.has_value(); }
    // Empty while a value is held.
    std::error_code error() const { return error_; }

    T& operator*() { return *value_; }
    const T& operator*() const { return *value_; }
    T* operator->() { return &*value_; }
    const T* operator->() const { return &*value_; }

private:
    std::optional<T> value_;
    std::error_code error_;
};

} // namespace vaskel::platform

template <> struct std::is_error_code_enum<vaskel::platform::Error> : std::true_type {};
