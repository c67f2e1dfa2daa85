#include "entry/renderer.h"
#include "entry/stop_requests.h"
#include "platform/process.h"
#include "platform/time.h"

#include <cstdlib>

namespace {

vaskel::StopRequests stopRequests;

// The first request asks the capture to stop after the chunk it is writing; one that follows
// within a second is absorbed, so the clean stop runs to its end; a later one ends the process
// at once.
void onInterrupt() {
    if (stopRequests.onRequest(vaskel::platform::SteadyClock::now()) ==
        vaskel::StopRequests::Then::ExitNow) {
        std::_Exit(130);
    }
}

} // namespace

int VASKEL_MAIN(int argc, vaskel::platform::NativeChar** argv) {
    vaskel::platform::prepareProcess(); // before anything is opened
    // The clock's first reading sets it up; it is taken here, before a handler may read it.
    static_cast<void>(vaskel::platform::SteadyClock::now());
    vaskel::platform::onInterrupt(&onInterrupt);
    return vaskel::runRenderer(
        std::vector<vaskel::platform::NativeString>(argv + (argc > 0 ? 1 : 0), argv + argc),
        &stopRequests.stopFlag());
}
