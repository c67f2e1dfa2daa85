// Operating-system calls that only the tests need: to set up a child's environment, to interrupt
// a child as a user would, and to damage or clean up a region behind its owner's back. The
// product's own calls live in platform/.
#pragma once

#include "platform/platform.h"

#include <filesystem>
#include <string>

namespace vaskel::testing {

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

} // namespace vaskel::testing
