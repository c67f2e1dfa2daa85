// What the system hands out, owned: one move-only template instead of a hand-written move and
// destructor in every class that holds a descriptor, a HANDLE, a view or a name.
#pragma once

#include <cstdint>
#include <utility>

namespace vaskel::platform {

// The system's own handle: a descriptor or a process id on POSIX, a HANDLE on Windows.
using NativeHandle = std::intptr_t;

#ifdef _WIN32
inline constexpr NativeHandle kNoHandle = 0; // NULL; a failed CreateFileW's -1 is never kept
#else
inline constexpr NativeHandle kNoHandle = -1; // 0 is a descriptor
#endif

// One value of Traits::Value, released by Traits::close when its owner lets go of it. A moved-from
// owner holds Traits::none(). Traits: `using Value`, `static Value none()`, and
// `static void close(const Value&) noexcept`, called only for a value other than none().
template <typename Traits> class Owned {
public:
    using Value = typename Traits::Value;

    Owned() = default;
    explicit Owned(Value value) noexcept : value_(std::move(value)) {}
    ~Owned() { reset(); }
    Owned(Owned&& other) noexcept : value_(other.release()) {}
    Owned& operator=(Owned&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;

    explicit operator bool() const { return !(value_ == Traits::none()); }
    const Value& get() const { return value_; }

    // Hands the value over without closing it; the owner is empty afterwards.
    [[nodiscard]] Value release() noexcept { return std::exchange(value_, Traits::none()); }

    // Closes what is held, then holds `value`.
    void reset(Value value = Traits::none()) noexcept {
        const Value old = std::exchange(value_, std::move(value));
        if (!(old == Traits::none())) {
            Traits::close(old);
        }
    }

private:
    Value value_ = Traits::none();
};

// Traits for Owned of a value that compares and copies as a plain value: `kNone` is the empty
// one, and `kRelease` lets go of any other.
template <typename V, V kNone, void (*kRelease)(const V&) noexcept> struct ReleasedBy {
    using Value = V;
    static constexpr Value none() { return kNone; }
    static void close(const Value& value) noexcept { kRelease(value); }
};

// Lets go of a plain handle: close (POSIX) or CloseHandle (Windows).
void closeHandle(const NativeHandle& handle) noexcept;

using OwnedHandle = Owned<ReleasedBy<NativeHandle, kNoHandle, closeHandle>>;

} // namespace vaskel::platform
