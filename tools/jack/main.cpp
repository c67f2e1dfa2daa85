// vaskel_jack: captures the ports of a JACK client into the renderer. See --help.
#include "platform/process.h"
#include "tools/jack/jack_bridge.h"
#include "vaskel/version.h"

#include <atomic>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

namespace {
std::atomic<int> interrupts{0};
static_assert(std::atomic<int>::is_always_lock_free); // counted from a signal handler

void onInterrupt() {
    interrupts.fetch_add(1);
}
} // namespace

int main(int argc, char** argv) {
    vaskel::platform::prepareProcess();
    using namespace vaskel::jack_bridge;
    const auto parsed =
        parseCommandLine(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc));
    switch (parsed.action) {
    case ParsedCommandLine::Action::Help:
        std::cout << helpText() << std::flush;
        return std::cout ? 0 : 1;
    case ParsedCommandLine::Action::Version:
        std::cout << "vaskel_jack " VASKEL_VERSION_STRING "\n" << std::flush;
        return std::cout ? 0 : 1;
    case ParsedCommandLine::Action::Error:
        std::cerr << "vaskel_jack: " << parsed.error << '\n' << usageText();
        return exitCode(BridgeExit::Usage);
    case ParsedCommandLine::Action::Run:
        break;
    }
    vaskel::platform::onInterrupt(&onInterrupt);
    try {
        return runBridge(parsed.options, interrupts, std::cout, std::cerr);
    } catch (const std::exception& error) {
        // Returning runs the destructors, which close the client and remove the region.
        std::cerr << "vaskel_jack: " << error.what() << '\n';
        return exitCode(BridgeExit::SetupFailed);
    }
}
