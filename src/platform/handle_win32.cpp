#include "platform/handle.h"

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace vaskel::platform {

void SystemHandle::close(const Value& handle) noexcept {
    ::CloseHandle(reinterpret_cast<HANDLE>(handle));
}

} // namespace vaskel::platform
