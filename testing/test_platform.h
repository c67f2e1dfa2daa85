// Operating-system calls that only the tests need: to find the programs built beside the test
// binary, to set up a child's environment, to interrupt a child as a user would, and to damage or
// clean up a region behind its owner's back. The product's own calls live in platform/.
#pragma once

#include "platform/platform.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace vaskel::testing {

// Full path of the running executable.
std::filesystem::path currentExecutablePath();

// Sets (or, with an empty value, removes) a variable of this process's environment, which the
// children it starts inherit.
void setEnvironmentVariable(const std::string& name, const std::string& value);

// Asks the child to stop as a user would: SIGINT, or SIGTERM when `terminate`. False where the
// platform cannot address one child (Windows delivers console events to a whole console).
bool interruptProcess(const platform::ChildProcess& child, bool terminate);

// Changes the size of an open region. Only POSIX can do this; returns false elsewhere. Used to
// prove that a shrinking region cannot make the renderer fault.
bool resizeRegion(const platform::Region& region, std::uint64_t bytes);

// Removes a region's name that a killed producer left behind (POSIX unlink; on Windows the name
// goes with the last handle, so this does nothing).
void removeRegionName(const platform::NativeString& name);

// Makes `path` a device on which every write fails with "no space", as /dev/full is (a node of
// its own, not a link, which the renderer would refuse). False where the platform or the
// privileges do not allow it.
bool makeFullDevice(const std::filesystem::path& path);

// A file created (or truncated) for writing through the system's own handle (a POSIX descriptor,
// a Windows HANDLE), for the platform calls that take one; closed with the object. handle() is
// -1 when it could not be opened.
class NativeTestFile {
public:
    explicit NativeTestFile(const std::filesystem::path& path);
    ~NativeTestFile();
    NativeTestFile(const NativeTestFile&) = delete;
    NativeTestFile& operator=(const NativeTestFile&) = delete;

    std::intptr_t handle() const { return raw_; }
    bool write(const void* data, std::size_t bytes);

private:
    std::intptr_t raw_ = -1;
};

// Bytes of the file at `path` in the page cache (mincore), where the platform can tell and the
// file system lets written pages go (not tmpfs, which keeps them as the file); nothing otherwise.
std::optional<std::uint64_t> pageCachedBytes(const std::filesystem::path& path);

} // namespace vaskel::testing
