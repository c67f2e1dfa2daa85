#include "platform/error.h"

#include <cerrno>

namespace vaskel::platform {

std::error_code lastSystemError() noexcept {
    // A failure must never read as success, even from a call that left errno alone.
    return {errno != 0 ? errno : EIO, std::generic_category()};
}

std::string errorMessage(const std::error_code& error) {
    return error.message();
}

} // namespace vaskel::platform
