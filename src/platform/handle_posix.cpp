#include "platform/handle.h"

#include <unistd.h>

namespace vaskel::platform {

void SystemHandle::close(const Value& handle) noexcept {
    ::close(static_cast<int>(handle));
}

} // namespace vaskel::platform
