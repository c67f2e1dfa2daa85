// vaskel_jack's command line, the ports it connects and the region it asks for, apart from JACK
// so all of it can be tested without an audio server.
#pragma once

#include "vaskel/producer.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vaskel::jack_bridge {

// Exit codes, documented in --help and the README.
enum class BridgeExit : int {
    Completed = 0,     // the renderer completed the capture
    SetupFailed = 1,   // no server, a port or connection refused, the region not created
    Usage = 2,         // bad command line, or a server buffer the region cannot take
    NoVerdict = 3,     // no renderer attached in time, or it gave no verdict
    CaptureFailed = 4, // the capture failed; the failure's name is printed
    ExportFailed = 5,  // the take completed, but --export did not
    Interrupted = 130, // a second interrupt ended it before the renderer's verdict
};

[[nodiscard]] constexpr int exitCode(BridgeExit code) {
    return static_cast<int>(code);
}

struct BridgeOptions {
    std::string mappingName;              // may be empty with --output: the bridge makes one up
    std::optional<std::uint32_t> streams; // none: one per matched port (per pair in stereo)
    std::uint32_t channels = 1;
    std::uint32_t slots = 64;   // chunks a ring holds
    double bufferSeconds = 4.0; // the bridge's own buffer, ahead of the rings
    std::string client = "vaskel_jack";
    std::vector<std::string> connect; // port names or patterns, in order
    std::optional<double> seconds;
    std::string output;          // --output: the bridge runs the renderer into this directory
    double attachTimeout = 30.0; // seconds the renderer has to attach
    bool quiet = false;          // --quiet: no meter, even on a terminal
    std::string exportFormat;    // --export: vaskel_wav export's --format, after a completed take
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

// What one --connect word names on the server, each list in the server's port order: the
// output ports it matches, and the input ports it matches (only to say so).
struct PortMatches {
    std::vector<std::string> outputs;
    std::vector<std::string> inputs;
    std::string error; // the pattern is not a regular expression
};

// The names that `pattern`, an extended regular expression, matches whole (as std::regex_match:
// "m:.*" takes "m:out" but never "system:capture_1"), in the order given. False, with `error`
// set, when the pattern is not a valid expression.
[[nodiscard]] bool matchWhole(const std::string& pattern, const std::vector<std::string>& names,
                              std::vector<std::string>& matched, std::string& error);
using PortLookup = std::function<PortMatches(const std::string& word)>;

// The source of every input port, in port order ("" leaves one unconnected), and the stream
// count: --streams, or one stream per matched port (per pair with --channels 2). Each --connect
// word's matches follow the previous word's. An error text names a word that matches nothing or
// only input ports, or more matches than the streams take.
struct SourcePlan {
    std::uint32_t streams = 0;
    std::vector<std::string> sources;
    std::string error;
};

[[nodiscard]] SourcePlan planSources(const BridgeOptions& options, const PortLookup& lookup);

// The region for `streams` at the server's rate: chunks of kChunkFrames, --slots of them a
// ring, the declared end for --seconds; and the bridge's own buffer of --buffer seconds, in
// frames, never less than two of the server's periods. An error text when the requested length
// or the buffer cannot be had.
inline constexpr std::uint32_t kChunkFrames = 2048;

struct RegionPlan {
    vaskel_config config{};
    std::uint64_t bufferFrames = 0;
    std::string error;
};

[[nodiscard]] RegionPlan planRegion(const BridgeOptions& options, std::uint32_t streams,
                                    std::uint32_t sampleRate, std::uint32_t bufferFrames);

// The renderer to run: vaskel_renderer beside `program`, else the first one in an absolute
// directory of `searchPath` (a PATH value). Relative and empty entries are skipped: they name
// whatever directory the bridge happens to run in, where anyone may have put a program. Empty
// when there is none; `isProgram` says whether a path is a program to run.
[[nodiscard]] std::filesystem::path
findRenderer(const std::filesystem::path& program, const std::string& searchPath,
             const std::function<bool(const std::filesystem::path&)>& isProgram);

// The renderer's reason for a failure, from its standard error: the text after
// "<failure_name>: " on the line that gives one ("writer_failure: stream-3.wav: No space left on
// device" gives "stream-3.wav: No space left on device"); empty when it gave none.
[[nodiscard]] std::string rendererFailureReason(const std::string& errors);

// The renderer's mapping-open-timeout-ms for --attach-timeout.
[[nodiscard]] std::uint32_t attachTimeoutMilliseconds(double seconds);

} // namespace vaskel::jack_bridge
