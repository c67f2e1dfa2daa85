// vaskel_jack's capture: a JACK client whose process callback publishes every period of its
// input ports into the producer library's region, and, with --output, the renderer it runs.
#pragma once

#include "tools/jack/jack_options.h"

#include <atomic>
#include <ostream>

namespace vaskel::jack_bridge {

// Runs one capture and returns the exit code. `interrupts` counts SIGINT/SIGTERM/SIGHUP: the
// first ends the capture at a period boundary, the second ends the bridge at once. A server that
// no longer answers (stopped) cannot be left politely: then the process ends here, once its work
// is done, with the exit code.
[[nodiscard]] int runBridge(const BridgeOptions& options, const std::atomic<int>& interrupts,
                            std::ostream& out, std::ostream& err);

} // namespace vaskel::jack_bridge
