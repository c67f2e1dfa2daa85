#include "platform/error.h"

namespace vaskel::platform {

namespace {

class ProjectCategory : public std::error_category {
public:
    const char* name() const noexcept override { return "vaskel"; }
    std::string message(int value) const override {
        switch (static_cast<Error>(value)) {
        case Error::LockBusy:
            return "locked by another holder";
        case Error::NotRegularFile:
            return "not a regular file";
        case Error::SymbolicLink:
            return "is a symbolic link";
        case Error::HasOtherLinks:
            return "has other links";
        case Error::TooLarge:
            return "too large";
        case Error::RiffSizeLimit:
            return "beyond the RIFF size limit";
        case Error::ShortRead:
            return "read cut short";
        }
        return "unknown error";
    }
};

} // namespace

const std::error_category& errorCategory() noexcept {
    static const ProjectCategory category;
    return category;
}

} // namespace vaskel::platform
