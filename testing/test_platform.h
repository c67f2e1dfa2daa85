// Operating-system calls that only the tests need: to set up a child's environment, to interrupt
// a child as a user would, and to damage or clean up a region behind its owner's back. The
// product's own calls live in platform/.
#pragma once

#include "platform/process.h"
#include "platform/region.h"
#include "platform/text.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace vaskel::testing {

// Sets (or, with an empty value, removes) a variable of this process's environment, which the
// children it starts inherit.
void setEnvironmentVariable(const std::string& name, const std::string& value);

// The ways a user (or a logout) asks a program to stop.
enum class StopSignal { Interrupt, Terminate, HangUp };

// Sends the child SIGINT, SIGTERM or SIGHUP. False where the platform cannot address one child
// (Windows delivers console events to a whole console).
bool interruptProcess(const platform::ChildProcess& child, StopSignal signal);

// Changes the size of an open region. Only POSIX can do this; returns false elsewhere. Used to
// prove that a shrinking region cannot make the renderer fault.
bool resizeRegion(const platform::Region& region, std::uint64_t bytes);

// Removes a region's name that a killed producer left behind (POSIX unlink; on Windows the name
// goes with the last handle, so this does nothing).
void removeRegionName(const platform::NativeString& name);

// Sets the permissions that new files do not get (the POSIX umask) and returns the mask before.
// Windows has no such mask: nothing changes, and 0 is returned.
std::uint32_t setCreationMask(std::uint32_t mask);

// Limits every file this process, and each child it starts while the limit stands, may write
// to `bytes`: a write beyond fails with "file too large", as one on a full disk fails, and the
// signal that would end the writer for it is ignored. No value lifts the limit again. False
// where the platform cannot (Windows).
bool limitFileSize(std::optional<std::uint64_t> bytes);

// Swaps what two names name, atomically (POSIX renameat2 with RENAME_EXCHANGE): the race an
// attacker runs against a program that uses a name twice. False where the platform or the file
// system cannot.
bool exchangeNames(const std::filesystem::path& first, const std::filesystem::path& second);

// The user the tests play an attacker as: nobody.
inline constexpr std::uint32_t kOtherUser = 65534;

// Whether this process can play kOtherUser: root on POSIX.
bool canActAsOtherUser();

// Gives `path` itself (a link, not what it names) to kOtherUser, as if that user had made it.
// False where this process cannot (not root, or Windows).
bool giveToOtherUser(const std::filesystem::path& path);

// Makes a FIFO named `path`. False where the platform cannot.
bool makeFifo(const std::filesystem::path& path);

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
