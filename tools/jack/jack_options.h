// vaskel_jack's command line and the region it asks for, apart from JACK so both can be tested
// without an audio server.
#pragma once

#include "vaskel/producer.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vaskel::jack_bridge {

// Exit codes, documented in --help and the README.
enum class BridgeExit : int {
    Completed = 0,     // the renderer completed the capture
    SetupFailed = 1,   // no server, a port or connection refused, the region not created
    Usage = 2,         // bad command line, or a server buffer the region cannot take
    NoVerdict = 3,     // no renderer attached, or it gave no verdict in time
    CaptureFailed = 4, // the capture failed; the failure's name is printed
};

[[nodiscard]] constexpr int exitCode(BridgeExit code) {
    return static_cast<int>(code);
}

struct BridgeOptions {
    std::string mappingName;
    std::uint32_t streams = 1;
    std::uint32_t channels = 1;
    std::uint32_t slots = 0; // 0: enough for a quarter second
    std::string client = "vaskel_jack";
    std::vector<std::string> connect;
    std::optional<double> seconds;
};

// What the command line asked for: a capture, the help or the version, or an error to print
// with the usage line (exit 2).
struct ParsedCommandLine {
    enum class Action { Run, Help, Version, Error } action = Action::Error;
    BridgeOptions options;
    std::string error;
};

[[nodiscard]] ParsedCommandLine parseCommandLine(const std::vector<std::string>& arguments);

[[nodiscard]] const char* usageText();
[[nodiscard]] std::string helpText();

// The input port names, in port order: in_<i> (mono) or in_<i>_l, in_<i>_r (stereo).
[[nodiscard]] std::vector<std::string> inputPortNames(std::uint32_t streams,
                                                      std::uint32_t channels);

// The region for the server's rate and buffer size: one period per chunk, a ring of at least
// 250 ms unless --slots says otherwise (at most 64 slots), the declared end for --seconds.
// An error text when the server's buffer or the requested length cannot be captured.
struct RegionPlan {
    vaskel_config config{};
    std::string error;
    std::string warning; // the ring holds less than a quarter second
};

[[nodiscard]] RegionPlan planRegion(const BridgeOptions& options, std::uint32_t sampleRate,
                                    std::uint32_t bufferFrames);

} // namespace vaskel::jack_bridge
