#include "platform/process.h"

namespace vaskel::platform {

int ChildProcess::wait() {
    // A blocking collect returns only once the child has ended.
    return process_ ? collect(true).value_or(-1) : -1;
}

std::optional<int> ChildProcess::poll() {
    if (!process_) {
        return -1;
    }
    return collect(false);
}

} // namespace vaskel::platform
