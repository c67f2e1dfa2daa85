#include "platform/handle.h"

#include <unistd.h>

namespace vaskel::platform {

void closeHandle(const NativeHandle& handle) noexcept {
    ::close(static_cast<int>(handle));
}

} // namespace vaskel::platform
