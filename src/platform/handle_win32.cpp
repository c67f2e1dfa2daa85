#include "platform/handle.h"
#include "platform/win32_api.h"

namespace vaskel::platform {

void closeHandle(const NativeHandle& handle) noexcept {
    ::CloseHandle(reinterpret_cast<HANDLE>(handle));
}

} // namespace vaskel::platform
