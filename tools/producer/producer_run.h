// One run of vaskel_producer: create the region, publish every stream (with the fault, if any),
// optionally start the renderer as a child, and wait for the renderer's verdict.
#pragma once

#include "platform/text.h"
#include "tools/producer/producer_options.h"

#include <atomic>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string_view>
#include <vector>

namespace vaskel::producer_tool {

// The exit codes of vaskel_producer, as --help lists them.
enum class ProducerExit : int {
    Completed = 0,      // the renderer completed the capture; verification: every file matches
    VerifyMismatch = 1, // verification found a difference
    BadCommandLine = 2,
    NotAttached = 3,     // no renderer attached: none came, it refused the region, or it ended
    CaptureFailed = 4,   // a failure code was published by either side
    RendererTimeout = 5, // the renderer attached but stopped draining and reporting
    SetupFailed = 6,     // the region could not be created or the renderer not started
    Interrupted = 130,   // Ctrl-C; the streams were aborted
};

constexpr int exitCode(ProducerExit exit) {
    return static_cast<int>(exit);
}

enum class Outcome { Completed, CaptureFailed, NotAttached, RendererTimeout, Interrupted };

// What the producer sees of the renderer at one moment.
struct Observation {
    std::uint32_t consumerState = 0;
    std::uint32_t failureCode = 0;
    bool ownFailure = false;      // this producer published the failure code itself
    std::optional<int> childExit; // the renderer child has ended with this code
    bool timedOut = false;        // nothing happened for the timeout
};

// The verdict so far; nullopt while the capture is still under way. The child's exit must be
// polled before the shared states are read, so a child that has ended shows its final states.
std::optional<Outcome> judge(const Observation& seen);

// "completed", "capture_failed", "not_attached", "renderer_timeout", "interrupted".
std::string_view outcomeName(Outcome outcome);
int exitCodeOf(Outcome outcome);

// Runs a production; returns the process exit code. `stop` is polled and ends the run as
// interrupted (the streams are aborted first, so a renderer stops at once).
int runProduction(const ProducerOptions& options, const std::atomic<bool>& stop, std::ostream& out,
                  std::ostream& err);

// The whole command: help, verification or a production.
int producerMain(const std::vector<platform::NativeString>& arguments,
                 const std::atomic<bool>& stop, std::ostream& out, std::ostream& err);

} // namespace vaskel::producer_tool
