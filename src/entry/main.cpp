#include "entry/renderer.h"
#include "platform/process.h"

#include <atomic>
#include <cstdlib>

namespace {

std::atomic<bool> stopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free); // set from a signal handler

// The first interrupt asks the capture to stop after the chunk it is writing; a second one is
// a user who will not wait, and ends the process at once.
void onInterrupt() {
    if (stopRequested.exchange(true)) {
        std::_Exit(130);
    }
}

} // namespace

int VASKEL_MAIN(int argc, vaskel::platform::NativeChar** argv) {
    vaskel::platform::prepareProcess(); // before anything is opened
    vaskel::platform::onInterrupt(&onInterrupt);
    return vaskel::runRenderer(
        std::vector<vaskel::platform::NativeString>(argv + (argc > 0 ? 1 : 0), argv + argc),
        &stopRequested);
}
