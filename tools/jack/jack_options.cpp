#include "tools/jack/jack_options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace vaskel::jack_bridge {

namespace {

constexpr std::uint32_t maxStreams = 128;
constexpr std::uint32_t maxSlots = 64;
constexpr std::uint32_t maxChunkFrames = 2048;
// The ring covers at least this much audio unless --slots says otherwise: a quarter second
// rides out a renderer held up by the disk or the scheduler.
constexpr std::uint64_t ringMilliseconds = 250;

// Plain decimal digits only: "8x" or "-1" is a mistake worth naming, not a number.
std::optional<std::uint32_t> parseCount(const std::string& text, std::uint32_t low,
                                        std::uint32_t high) {
    if (text.empty() || text.size() > 9) {
        return std::nullopt;
    }
    std::uint32_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<std::uint32_t>(c - '0');
    }
    if (value < low || value > high) {
        return std::nullopt;
    }
    return value;
}

std::optional<double> parseSeconds(const std::string& text) {
    if (text.empty()) {
        return std::nullopt;
    }
    errno = 0;
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    // A week of audio is far beyond any capture and keeps the frame count exact.
    if (errno != 0 || *end != '\0' || !std::isfinite(value) || value <= 0 || value > 604800) {
        return std::nullopt;
    }
    return value;
}

// Applies one "--name value" option; an error text when it is wrong.
std::string applyOption(const std::string& name, const std::string& value, BridgeOptions& options) {
    if (name == "--streams") {
        const auto n = parseCount(value, 1, maxStreams);
        if (!n) {
            return "--streams takes 1 to 128";
        }
        options.streams = *n;
    } else if (name == "--channels") {
        const auto n = parseCount(value, 1, 2);
        if (!n) {
            return "--channels takes 1 or 2";
        }
        options.channels = *n;
    } else if (name == "--slots") {
        const auto n = parseCount(value, 1, maxSlots);
        if (!n) {
            return "--slots takes 1 to 64";
        }
        options.slots = *n;
    } else if (name == "--client") {
        if (value.empty()) {
            return "--client takes a name";
        }
        options.client = value;
    } else if (name == "--connect") {
        if (value.empty()) {
            return "--connect takes a port name";
        }
        options.connect.push_back(value);
    } else if (name == "--seconds") {
        options.seconds = parseSeconds(value);
        if (!options.seconds) {
            return "--seconds takes a positive number of seconds";
        }
    } else {
        return "unknown option " + name;
    }
    return {};
}

} // namespace

ParsedCommandLine parseCommandLine(const std::vector<std::string>& arguments) {
    ParsedCommandLine parsed;
    for (const auto& word : arguments) {
        if (word == "--help" || word == "-h") {
            parsed.action = ParsedCommandLine::Action::Help;
            return parsed;
        }
        if (word == "--version") {
            parsed.action = ParsedCommandLine::Action::Version;
            return parsed;
        }
    }
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& word = arguments[i];
        if (word.size() > 2 && word.starts_with("--")) {
            if (i + 1 == arguments.size()) {
                parsed.error = word + " needs a value";
                return parsed;
            }
            parsed.error = applyOption(word, arguments[++i], parsed.options);
            if (!parsed.error.empty()) {
                return parsed;
            }
        } else if (parsed.options.mappingName.empty() && !word.empty()) {
            parsed.options.mappingName = word;
        } else {
            parsed.error = "unexpected argument '" + word + "'";
            return parsed;
        }
    }
    const BridgeOptions& options = parsed.options;
    if (options.mappingName.empty()) {
        parsed.error = "the mapping name is missing";
    } else if (options.connect.size() > std::size_t{options.streams} * options.channels) {
        parsed.error = "more --connect ports than input ports";
    } else {
        parsed.action = ParsedCommandLine::Action::Run;
    }
    return parsed;
}

std::vector<std::string> inputPortNames(std::uint32_t streams, std::uint32_t channels) {
    std::vector<std::string> names;
    for (std::uint32_t i = 0; i < streams; ++i) {
        const std::string base = "in_" + std::to_string(i);
        if (channels == 1) {
            names.push_back(base);
        } else {
            names.push_back(base + "_l");
            names.push_back(base + "_r");
        }
    }
    return names;
}

RegionPlan planRegion(const BridgeOptions& options, std::uint32_t sampleRate,
                      std::uint32_t bufferFrames) {
    RegionPlan plan;
    if (sampleRate == 0 || bufferFrames == 0 || bufferFrames > maxChunkFrames) {
        plan.error = "the server's buffer of " + std::to_string(bufferFrames) +
                     " frames is more than a chunk holds (at most 2048 frames); run the server "
                     "with a smaller period";
        return plan;
    }
    vaskel_config& config = plan.config;
    config.stream_count = options.streams;
    config.channel_count = options.channels;
    config.sample_rate = sampleRate;
    config.frames_per_chunk = bufferFrames;
    const std::uint64_t quarter = std::uint64_t{sampleRate} * ringMilliseconds;
    const std::uint64_t perRing = std::uint64_t{bufferFrames} * 1000;
    const std::uint64_t needed = (quarter + perRing - 1) / perRing;
    if (options.slots != 0) {
        config.slots_per_stream = options.slots;
    } else if (needed > maxSlots) {
        config.slots_per_stream = maxSlots;
        plan.warning = "a ring of 64 periods holds only " +
                       std::to_string(std::uint64_t{maxSlots} * perRing / sampleRate) +
                       " ms at this buffer size";
    } else {
        config.slots_per_stream = static_cast<std::uint32_t>(needed);
    }
    if (options.seconds) {
        const double frames = std::round(*options.seconds * sampleRate);
        if (frames < 1) {
            plan.error = "--seconds is shorter than one frame";
            return plan;
        }
        config.logical_end_frame = static_cast<std::uint64_t>(frames);
    }
    return plan;
}

const char* usageText() {
    return "usage: vaskel_jack <mapping-name> [--streams N] [--channels 1|2] [--slots N] "
           "[--client NAME]\n"
           "                   [--connect PORT]... [--seconds S]\n";
}

std::string helpText() {
    return std::string(usageText()) + R"(
Captures the input ports of a JACK client into the shared-memory region <mapping-name>, which
vaskel_renderer (started separately with the same name) writes to one WAV file per stream.
The region takes the server's sample rate, one server period per chunk (at most 2048 frames).
The capture starts with the first period after the renderer has attached and is continuous.

  --streams N      streams, 1 to 128 (default 1)
  --channels 1|2   ports per stream: in_<i> (1, the default), or in_<i>_l and in_<i>_r (2)
  --slots N        chunks a ring holds, 1 to 64 (default: at least 250 ms of audio)
  --client NAME    the JACK client name (default vaskel_jack); the server is JACK's usual
                   choice ($JACK_DEFAULT_SERVER)
  --connect PORT   connects PORT to the next input port in port order; may be repeated
  --seconds S      captures exactly round(S x rate) frames per stream, then ends; without it
                   the capture runs until SIGINT or SIGTERM and ends at a period boundary
  --help, --version

A full ring is never a silent drop: the capture stops with the failure "overflow". Server
xruns are counted and reported. When the server shuts down, the capture is aborted
("producer_abort"). At the end the renderer's verdict is printed on standard output:
  verdict=<completed|failure name>,framesPerStream=N,xruns=N
Under PipeWire, run it through its JACK layer: pw-jack vaskel_jack ... (package pipewire-jack).

Exit codes:
  0  the renderer completed the capture
  1  setup failed: no JACK server, a port or connection refused, the region not created
  2  bad command line, or a server buffer above 2048 frames
  3  no renderer attached, or it gave no verdict in time
  4  the capture failed: overflow, producer_abort (server gone) or the renderer's failure
)";
}

} // namespace vaskel::jack_bridge
