// vaskel_jack's capture: a JACK client whose process callback publishes every period of its
// input ports into the producer library's region.
#pragma once

#include "tools/jack/jack_options.h"

#include <atomic>
#include <ostream>

namespace vaskel::jack_bridge {

// Runs one capture and returns the exit code. `interrupts` counts SIGINT/SIGTERM: the first
// ends the capture at a period boundary, a later one stops the wait for the renderer's verdict.
[[nodiscard]] int runBridge(const BridgeOptions& options, const std::atomic<int>& interrupts,
                            std::ostream& out, std::ostream& err);

} // namespace vaskel::jack_bridge
