#include "tools/jack/jack_options.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <regex>

namespace vaskel::jack_bridge {

namespace {

constexpr std::uint32_t maxStreams = 128;
constexpr std::uint32_t maxSlots = 64;
// The buffer's samples are held in memory, every page touched at the start: a bound keeps a
// typing slip (--buffer 4000) from taking the machine's memory.
constexpr double maxBufferSeconds = 3600;
constexpr std::uint64_t maxBufferBytes = std::uint64_t{2} << 30;
// The renderer's mapping-open timeout is a 32-bit count of milliseconds; a day is plenty.
constexpr double maxAttachSeconds = 86400;

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
        options.streams = parseCount(value, 1, maxStreams);
        if (!options.streams) {
            return "--streams takes 1 to 128";
        }
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
            return "--connect takes a port name or pattern";
        }
        options.connect.push_back(value);
    } else if (name == "--seconds") {
        options.seconds = parseSeconds(value);
        if (!options.seconds) {
            return "--seconds takes a positive number of seconds";
        }
    } else if (name == "--output") {
        if (value.empty()) {
            return "--output takes a directory";
        }
        options.output = value;
    } else if (name == "--buffer") {
        const auto seconds = parseSeconds(value);
        if (!seconds || *seconds > maxBufferSeconds) {
            return "--buffer takes a positive number of seconds, at most 3600";
        }
        options.bufferSeconds = *seconds;
    } else if (name == "--export") {
        if (value != "wav16" && value != "wav24" && value != "wav32" && value != "float" &&
            value != "flac") {
            return "--export takes wav16, wav24, wav32, float or flac";
        }
        options.exportFormat = value;
    } else if (name == "--attach-timeout") {
        const auto seconds = parseSeconds(value);
        if (!seconds || *seconds > maxAttachSeconds) {
            return "--attach-timeout takes a positive number of seconds, at most a day";
        }
        options.attachTimeout = *seconds;
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
    std::vector<std::string> words;
    for (const auto& word : arguments) {
        if (word == "--quiet") {
            parsed.options.quiet = true;
        } else {
            words.push_back(word);
        }
    }
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (word.size() > 2 && word.starts_with("--")) {
            if (i + 1 == words.size()) {
                parsed.error = word + " needs a value";
                return parsed;
            }
            parsed.error = applyOption(word, words[++i], parsed.options);
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
    if (options.mappingName.empty() && options.output.empty()) {
        parsed.error = "the mapping name is missing (or --output, which makes one up)";
    } else if (!options.exportFormat.empty() && options.output.empty()) {
        parsed.error = "--export needs --output: it exports the take folder";
    } else if (options.connect.empty()) {
        parsed.error = "--connect is missing: name the ports to record, a full name or a pattern "
                       "of the whole name, e.g. --connect 'system:capture_.*'";
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

RegionPlan planRegion(const BridgeOptions& options, std::uint32_t streams, std::uint32_t sampleRate,
                      std::uint32_t bufferFrames) {
    RegionPlan plan;
    if (sampleRate == 0 || bufferFrames == 0) {
        plan.error = "the server reports no sample rate or buffer size";
        return plan;
    }
    vaskel_config& config = plan.config;
    config.stream_count = streams;
    config.channel_count = options.channels;
    config.sample_rate = sampleRate;
    config.frames_per_chunk = kChunkFrames;
    config.slots_per_stream = options.slots;
    if (options.seconds) {
        const double frames = std::round(*options.seconds * sampleRate);
        if (frames < 1) {
            plan.error = "--seconds is shorter than one frame";
            return plan;
        }
        config.logical_end_frame = static_cast<std::uint64_t>(frames);
    }
    const double wanted = std::ceil(options.bufferSeconds * sampleRate);
    plan.bufferFrames =
        std::max(static_cast<std::uint64_t>(wanted), 2 * std::uint64_t{bufferFrames});
    const std::uint64_t bytes =
        plan.bufferFrames * streams * options.channels * std::uint64_t{sizeof(float)};
    if (bytes > maxBufferBytes) {
        plan.error = "--buffer of " + std::to_string(plan.bufferFrames) + " frames for " +
                     std::to_string(streams * options.channels) + " ports takes " +
                     std::to_string(bytes >> 20) + " MiB, more than the 2048 MiB allowed";
    }
    return plan;
}

std::filesystem::path
findRenderer(const std::filesystem::path& program, const std::string& searchPath,
             const std::function<bool(const std::filesystem::path&)>& isProgram) {
    const std::filesystem::path name = "vaskel_renderer";
    if (!program.empty() && isProgram(program.parent_path() / name)) {
        return program.parent_path() / name;
    }
    std::size_t from = 0;
    while (from <= searchPath.size()) {
        const std::size_t colon = std::min(searchPath.find(':', from), searchPath.size());
        const std::filesystem::path directory = searchPath.substr(from, colon - from);
        if (directory.is_absolute() && isProgram(directory / name)) {
            return directory / name;
        }
        from = colon + 1;
    }
    return {};
}

std::string rendererFailureReason(const std::string& errors) {
    // The renderer prints the failure's name alone on a line, then "<name>: <reason>".
    std::string name;
    std::size_t from = 0;
    while (from < errors.size()) {
        const std::size_t end = std::min(errors.find('\n', from), errors.size());
        const std::string line = errors.substr(from, end - from);
        from = end + 1;
        if (!name.empty() && line.size() > name.size() + 2 && line.starts_with(name + ": ")) {
            return line.substr(name.size() + 2);
        }
        const bool bare = !line.empty() && std::all_of(line.begin(), line.end(), [](char c) {
            return (c >= 'a' && c <= 'z') || c == '_';
        });
        name = bare ? line : std::string();
    }
    return {};
}

std::uint32_t attachTimeoutMilliseconds(double seconds) {
    return static_cast<std::uint32_t>(std::clamp(std::ceil(seconds * 1000), 1.0, 4294967295.0));
}

namespace {

std::string listed(const std::vector<std::string>& names) {
    std::string text;
    for (std::size_t i = 0; i < names.size() && i < 4; ++i) {
        text += (i == 0 ? "" : ", ") + names[i];
    }
    return names.size() > 4 ? text + ", ..." : text;
}

} // namespace

bool matchWhole(const std::string& pattern, const std::vector<std::string>& names,
                std::vector<std::string>& matched, std::string& error) {
    std::regex expression;
    try {
        expression = std::regex(pattern, std::regex::extended | std::regex::nosubs);
    } catch (const std::regex_error&) {
        error = "--connect '" + pattern + "' is not an extended regular expression";
        return false;
    }
    for (const std::string& name : names) {
        if (std::regex_match(name, expression)) {
            matched.push_back(name);
        }
    }
    return true;
}

SourcePlan planSources(const BridgeOptions& options, const PortLookup& lookup) {
    SourcePlan plan;
    for (const std::string& word : options.connect) {
        PortMatches matches = lookup(word);
        if (!matches.error.empty()) {
            plan.error = matches.error;
            return plan;
        }
        if (matches.outputs.empty()) {
            plan.error = matches.inputs.empty()
                             ? "--connect '" + word +
                                   "' matches no audio output port of the server (a full port "
                                   "name, or an extended regular expression; jack_lsp lists them)"
                             : "--connect '" + word + "' matches only input ports (" +
                                   listed(matches.inputs) +
                                   "); it takes the output ports that play the audio";
            return plan;
        }
        plan.sources.insert(plan.sources.end(), matches.outputs.begin(), matches.outputs.end());
    }
    const std::uint32_t channels = options.channels;
    const std::size_t needed = (plan.sources.size() + channels - 1) / channels;
    if (options.streams && needed > *options.streams) {
        plan.error = "--connect matches " + std::to_string(plan.sources.size()) + " ports (" +
                     listed(plan.sources) + "), more than the " +
                     std::to_string(*options.streams * channels) + " input ports of --streams " +
                     std::to_string(*options.streams);
        return plan;
    }
    if (needed > maxStreams) {
        plan.error = "--connect matches " + std::to_string(plan.sources.size()) +
                     " ports, more than 128 streams hold";
        return plan;
    }
    plan.streams =
        options.streams.value_or(std::max<std::uint32_t>(1, static_cast<std::uint32_t>(needed)));
    plan.sources.resize(std::size_t{plan.streams} * channels);
    return plan;
}

const char* usageText() {
    return "usage: vaskel_jack --output DIR --connect PORT [mapping-name] [options]\n"
           "       vaskel_jack <mapping-name> --connect PORT [options]\n"
           "       vaskel_jack --help | --version\n";
}

std::string helpText() {
    return std::string(usageText()) + R"(
Captures ports of a JACK server into one 32-bit float WAV file per stream. With --output it runs
vaskel_renderer itself (the one beside vaskel_jack, else the first in an absolute directory of
PATH) into a new take folder DIR/take-001, DIR/take-002, ... (the first number not taken) and
keeps the take sheet streams.json there: the ports each stream-<i>.wav holds, the client, rate,
chunk size and start time. Without --output, start vaskel_renderer separately with the same
<mapping-name>. The capture starts with the first period after the renderer has attached and is
continuous. Each period goes into a buffer of the bridge's own (--buffer), which a thread of the
bridge moves into the region in chunks of 2048 frames as the renderer frees its slots: a
renderer held up by a busy disk costs buffer, not the take.

Options:
  --output DIR        run the renderer into a new take folder in DIR (DIR is created if
                      missing; a link in its place is refused); without a mapping name the
                      region is named vaskel-jack-<process id>
  --connect PORT      required: feeds the output ports PORT names to the next input ports in
                      port order: a full port name is that port; anything else is an extended
                      regular expression that must match the whole port name ('synth:.*' takes
                      synth:out_1, never mysynth:out_1), and every output port it matches, in
                      the server's port order, is fed. May be repeated. The ports are listed
                      before the recording starts
  --streams N         streams, 1 to 128 (default: one per connected port, one per pair with
                      --channels 2)
  --channels 1|2      ports per stream: in_<i> (1, the default), or in_<i>_l and in_<i>_r (2)
  --seconds S         captures exactly round(S x rate) frames per stream, then ends; without it
                      the capture runs until SIGINT or SIGTERM and ends at a period boundary
  --buffer S          seconds of audio the bridge holds for a renderer that falls behind
                      (default 4); it takes S x rate x ports x 4 bytes of memory
  --attach-timeout S  seconds the renderer has to attach to the region (default 30)
  --slots N           chunks of 2048 frames a ring holds, 1 to 64 (default 64)
  --export FORMAT     after a completed take, runs vaskel_wav export (the one beside
                      vaskel_jack) from the take folder into its folder export, as FORMAT:
                      wav16, wav24, wav32, float or flac
  --quiet             no meter: on a terminal, standard error otherwise shows one line per
                      stream, redrawn ten times a second: its peak in dBFS since the last
                      redraw, CLIP once a sample reached full scale, and the buffer's fill
  --client NAME       the JACK client name (default vaskel_jack); the server is JACK's usual
                      choice ($JACK_DEFAULT_SERVER)
  --help, --version

A full buffer is never a silent drop: the capture stops with the failure "overflow" and says
how far the disk fell behind. A server period that changes during the capture is taken as it
comes. Server xruns during the capture are counted. When the server shuts down, the capture is
aborted (producer_abort). A second SIGINT or SIGTERM ends the bridge at once. When a capture it
runs with --output fails, the bridge repairs the stream files of its take folder so that what
was captured plays (as vaskel_wav repair would). Killed outright, the bridge takes its renderer
with it (SIGTERM); the files then need vaskel_wav repair. At the end the renderer's verdict is
printed on standard output:
  verdict=<completed|failure name>,framesPerStream=N,xruns=N,bufferPeakSeconds=S
framesPerStream is what every file holds (after a failure: what the repaired files hold;
"unknown" for a failed renderer run elsewhere); bufferPeakSeconds is the buffer's fullest point.
Under PipeWire, run it through its JACK layer: pw-jack vaskel_jack ... (package pipewire-jack).

Exit codes:
  0    the renderer completed the capture
  1    setup failed: no JACK server, a port or connection refused, the region or the renderer
       not started, the output directory, its take folder or its take sheet not written
  2    bad command line, no --connect, or a --connect that matches no output port
  3    no renderer attached within --attach-timeout, or it gave no verdict
  4    the capture failed: overflow, producer_abort (server gone) or the renderer's failure
       (its reason printed); with --output the stream files were repaired
  5    the take completed, but --export failed (the take itself is whole)
  130  a second interrupt ended it before the renderer's verdict
)";
}

} // namespace vaskel::jack_bridge
