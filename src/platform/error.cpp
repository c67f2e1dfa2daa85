#include "platform/error.h"

#include <cstddef>
#include <iterator>

namespace vaskel::platform {

namespace {

// Error's messages, in its order from 1.
constexpr const char* kMessages[] = {
    "locked by another holder",            // LockBusy
    "not a regular file",                  // NotRegularFile
    "is a symbolic link",                  // SymbolicLink
    "has other links",                     // HasOtherLinks
    "too large",                           // TooLarge
    "beyond the RIFF size limit",          // RiffSizeLimit
    "read cut short",                      // ShortRead
    "a link of another user on the way",   // UntrustedLink
    "locked by a process of another user", // LockedByOtherUser
};
static_assert(std::size(kMessages) == static_cast<std::size_t>(Error::LockedByOtherUser),
              "a message for every Error");

class ProjectCategory : public std::error_category {
public:
    const char* name() const noexcept override { return "vaskel"; }
    std::string message(int value) const override {
        return value >= 1 && value <= static_cast<int>(std::size(kMessages)) ? kMessages[value - 1]
                                                                             : "unknown error";
    }
};

} // namespace

const std::error_category& errorCategory() noexcept {
    static const ProjectCategory category;
    return category;
}

} // namespace vaskel::platform
