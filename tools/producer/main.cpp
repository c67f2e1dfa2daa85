// vaskel_producer: a command-line producer for the renderer. See --help.
#include "platform/process.h"
#include "platform/text.h"
#include "tools/producer/producer_run.h"

#include <atomic>
#include <exception>
#include <iostream>

namespace {
std::atomic<bool> interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free); // set from a signal handler

void onInterrupt() {
    interrupted.store(true);
}
} // namespace

int VASKEL_MAIN(int argc, vaskel::platform::NativeChar** argv) {
    vaskel::platform::prepareProcess(); // before anything is opened
    vaskel::platform::onInterrupt(&onInterrupt);
    try {
        return vaskel::producer_tool::producerMain(
            std::vector<vaskel::platform::NativeString>(argv + (argc > 0 ? 1 : 0), argv + argc),
            interrupted, std::cout, std::cerr);
    } catch (const std::exception& error) {
        // Returning (rather than letting the exception end the process) runs the destructors,
        // which remove the region.
        std::cerr << "vaskel_producer: " << error.what() << '\n';
        return vaskel::producer_tool::exitCode(vaskel::producer_tool::ProducerExit::SetupFailed);
    }
}
