// Named shared-memory regions: the one thing producer and renderer share.
#pragma once

#include "platform/error.h"
#include "platform/handle.h"
#include "platform/text.h"

#include <cstddef>
#include <cstdint>

namespace vaskel::platform {

// A named shared-memory region, opened or created here, with at most one mapped view. Move-only:
// letting go unmaps the view, closes the region and, when this side created it, removes its
// name. A moved-from region is empty.
class Region {
public:
    // Opens an existing region by name for reading and writing. Its name stays when this side
    // lets go. POSIX: the shared-memory object "/" + name.
    [[nodiscard]] static ErrorOr<Region> open(const NativeString& name);

    // Creates a new region of `bytes` bytes (zero-filled) that must not exist yet: a name taken
    // already fails with std::errc::file_exists. Windows: a page-file backed named mapping (its
    // name goes with the last handle). POSIX: shm_open with O_CREAT | O_EXCL, mode 0600, then
    // ftruncate.
    [[nodiscard]] static ErrorOr<Region> create(const NativeString& name, std::uint64_t bytes);

    // Maps the first `bytes` bytes for reading and writing, replacing any view held; no view on
    // failure. A view larger than the region fails here on every platform (POSIX checks the
    // object's size first, so a short region can never fault on first touch).
    [[nodiscard]] std::error_code map(std::uint64_t bytes);

    // Unmaps the view, if any; the region stays open.
    void unmap() { view_.reset(); }

    // Unmaps, closes and (on the creating side) removes the name: the region becomes empty.
    void reset() {
        view_.reset();
        handle_.reset();
        name_.reset();
    }

    explicit operator bool() const { return static_cast<bool>(handle_); }
    std::byte* data() const { return view_.get().data; }
    std::uint64_t size() const { return view_.get().size; }

    // The system's own handle: the descriptor on POSIX, the mapping HANDLE on Windows.
    NativeHandle native() const { return handle_.get(); }

private:
    struct View {
        std::byte* data = nullptr;
        std::uint64_t size = 0;
        bool operator==(const View&) const = default;
    };
    struct Mapped {
        using Value = View;
        static Value none() { return {}; }
        static void close(const View& view) noexcept;
    };
    // The name this side created, removed when it lets go (nothing to remove on Windows).
    struct CreatedName {
        using Value = NativeString;
        static Value none() { return {}; }
        static void close(const NativeString& name) noexcept;
    };

    // Released in the reverse order: the view, the handle, then the name.
    Owned<CreatedName> name_;
    OwnedHandle handle_;
    Owned<Mapped> view_;
};

// Removes the name `name` of a region this process created, so the region goes with its last
// view even when its creator is killed outright; whoever has it open or mapped keeps it. A name
// already gone is success. Windows: nothing to do (a mapping's name goes with its last handle).
[[nodiscard]] std::error_code removeRegionName(const NativeString& name);

} // namespace vaskel::platform
