#include "tools/producer/producer_options.h"

#include "tools/producer/signal_source.h"

#include <cstddef>
#include <limits>
#include <string>
#include <utility>

namespace vaskel::producer_tool {

namespace {

// A decimal number with an optional fraction, kept exact: whole + fraction / 10^digits.
struct Decimal {
    std::uint64_t whole = 0;
    std::uint64_t fraction = 0;
    std::uint64_t scale = 1; // 10^(fraction digits)
};

std::optional<std::uint64_t> parseWhole(std::string_view text) {
    if (text.empty() || text.size() > 20) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) {
            return std::nullopt;
        }
        value = value * 10 + digit;
    }
    return value;
}

std::optional<Decimal> parseDecimal(std::string_view text) {
    const std::size_t point = text.find('.');
    const std::string_view wholeText = text.substr(0, point);
    Decimal decimal;
    const auto whole = parseWhole(wholeText);
    if (!whole) {
        return std::nullopt;
    }
    decimal.whole = *whole;
    if (point != std::string_view::npos) {
        const std::string_view fractionText = text.substr(point + 1);
        if (fractionText.empty() || fractionText.size() > 9) {
            return std::nullopt;
        }
        const auto fraction = parseWhole(fractionText);
        if (!fraction) {
            return std::nullopt;
        }
        decimal.fraction = *fraction;
        for (std::size_t i = 0; i < fractionText.size(); ++i) {
            decimal.scale *= 10;
        }
    }
    return decimal;
}

// Frames in `seconds` at `rate`, truncated; nullopt beyond 64 bits.
std::optional<std::uint64_t> framesOf(const Decimal& seconds, std::uint32_t rate) {
    if (seconds.whole > std::numeric_limits<std::uint64_t>::max() / rate) {
        return std::nullopt;
    }
    const std::uint64_t wholeFrames = seconds.whole * rate;
    // fraction < scale <= 10^9 and rate < 2^32 keep this product below 2^62.
    const std::uint64_t partFrames = seconds.fraction * rate / seconds.scale;
    if (wholeFrames > std::numeric_limits<std::uint64_t>::max() - partFrames) {
        return std::nullopt;
    }
    return wholeFrames + partFrames;
}

class Parser {
public:
    explicit Parser(const std::vector<platform::NativeString>& arguments) : words_(arguments) {}

    ParsedCommandLine parse() {
        ParsedCommandLine parsed;
        if (!parseWords(parsed.options) || !finish(parsed.options)) {
            parsed.mode = Mode::Error;
            parsed.error = error_;
            return parsed;
        }
        parsed.mode = help_ ? Mode::Help : verify_ ? Mode::Verify : Mode::Run;
        return parsed;
    }

private:
    bool fail(std::string message) {
        error_ = std::move(message);
        return false;
    }

    // The value after option `name`, as display text; false when it is missing.
    bool value(std::size_t& i, std::string_view name, std::string& text) {
        if (i + 1 >= words_.size()) {
            return fail(std::string(name) + " needs a value");
        }
        ++i;
        text = toDisplay(words_[i]);
        return true;
    }

    bool number(std::size_t& i, std::string_view name, std::uint64_t low, std::uint64_t high,
                std::uint64_t& out) {
        std::string text;
        if (!value(i, name, text)) {
            return false;
        }
        const auto parsed = parseWhole(text);
        if (!parsed || *parsed < low || *parsed > high) {
            return fail(std::string(name) + ": expected a whole number from " +
                        std::to_string(low) + " to " + std::to_string(high) + ", got \"" + text +
                        "\"");
        }
        out = *parsed;
        return true;
    }

    bool number32(std::size_t& i, std::string_view name, std::uint64_t low, std::uint64_t high,
                  std::uint32_t& out) {
        std::uint64_t wide = 0;
        if (!number(i, name, low, high, wide)) {
            return false;
        }
        out = static_cast<std::uint32_t>(wide);
        return true;
    }

    bool parseWords(ProducerOptions& options) {
        constexpr std::uint64_t kU32 = std::numeric_limits<std::uint32_t>::max();
        constexpr std::uint64_t kU64 = std::numeric_limits<std::uint64_t>::max();
        for (std::size_t i = 0; i < words_.size(); ++i) {
            const std::string word = toDisplay(words_[i]);
            std::string text;
            if (word == "--help" || word == "-h") {
                help_ = true;
            } else if (word == "--streams") {
                if (!number32(i, word, 1, transport::kMaxStreams, options.signal.streams)) {
                    return false;
                }
            } else if (word == "--channels") {
                if (!number32(i, word, 1, transport::kMaxChannels, options.signal.channels)) {
                    return false;
                }
            } else if (word == "--rate") {
                if (!number32(i, word, 1, kU32, options.signal.sampleRate)) {
                    return false;
                }
            } else if (word == "--frames-per-chunk") {
                if (!number32(i, word, 1, transport::kMaxFramesPerChunk, options.framesPerChunk)) {
                    return false;
                }
            } else if (word == "--slots") {
                if (!number32(i, word, 1, transport::kMaxSlotsPerStream, options.slots)) {
                    return false;
                }
            } else if (word == "--start-frame") {
                if (!number(i, word, 0, kU64, options.signal.startFrame)) {
                    return false;
                }
            } else if (word == "--end") {
                if (!value(i, word, text)) {
                    return false;
                }
                if (text == "auto" || text == "none") {
                    endWord_ = text;
                } else if (const auto end = parseWhole(text)) {
                    endWord_.clear();
                    explicitEnd_ = *end;
                } else {
                    return fail("--end: expected auto, none or a frame number, got \"" + text +
                                "\"");
                }
            } else if (word == "--signal") {
                if (!value(i, word, text)) {
                    return false;
                }
                if (text == "sine") {
                    options.signal.kind = SignalKind::Sine;
                } else if (text == "pattern") {
                    options.signal.kind = SignalKind::Pattern;
                } else {
                    return fail("--signal: expected sine or pattern, got \"" + text + "\"");
                }
            } else if (word == "--seconds") {
                if (!value(i, word, text)) {
                    return false;
                }
                seconds_ = parseDecimal(text);
                if (!seconds_) {
                    return fail(
                        "--seconds: expected a number of seconds such as 10 or 2.5, got \"" + text +
                        "\"");
                }
            } else if (word == "--frames") {
                std::uint64_t frames = 0;
                if (!number(i, word, 0, kU64, frames)) {
                    return false;
                }
                frames_ = frames;
            } else if (word == "--chunks") {
                if (!value(i, word, text)) {
                    return false;
                }
                if (text == "fixed") {
                    options.chunks = ChunkMode::Fixed;
                } else if (text == "random") {
                    options.chunks = ChunkMode::Random;
                } else {
                    return fail("--chunks: expected fixed or random, got \"" + text + "\"");
                }
            } else if (word == "--seed") {
                if (!number(i, word, 0, kU64, options.seed)) {
                    return false;
                }
            } else if (word == "--pace") {
                if (!value(i, word, text)) {
                    return false;
                }
                const auto pace = parseDecimal(text);
                if (!pace || pace->whole > 1000000) {
                    return fail("--pace: expected 0 (as fast as possible) or a speed factor "
                                "such as 1 or 2.5, got \"" +
                                text + "\"");
                }
                options.pace =
                    static_cast<double>(pace->whole) +
                    static_cast<double>(pace->fraction) / static_cast<double>(pace->scale);
            } else if (word == "--timeout-ms") {
                if (!number32(i, word, 1, kU32, options.timeoutMs)) {
                    return false;
                }
            } else if (word == "--fault") {
                if (!value(i, word, text)) {
                    return false;
                }
                const auto fault = faultFromName(text);
                if (!fault) {
                    return fail("--fault: unknown fault \"" + text + "\" (see --help)");
                }
                options.fault = *fault;
            } else if (word == "--fault-stream") {
                if (!number32(i, word, 0, transport::kMaxStreams - 1, options.faultStream)) {
                    return false;
                }
            } else if (word == "--fault-chunk") {
                if (!number(i, word, 0, kU64, options.faultChunk)) {
                    return false;
                }
            } else if (word == "--fault-code") {
                if (!number32(i, word, 1, kU32, options.faultCode)) {
                    return false;
                }
            } else if (word == "--verify") {
                if (!value(i, word, text)) {
                    return false;
                }
                verify_ = true;
                options.verifyRoot = std::filesystem::path(words_[i]);
            } else if (word == "--run-renderer") {
                if (i + 2 >= words_.size()) {
                    return fail("--run-renderer needs the renderer's path and an output root");
                }
                options.rendererPath = std::filesystem::path(words_[i + 1]);
                options.rendererArguments.assign(
                    words_.begin() + static_cast<std::ptrdiff_t>(i) + 2, words_.end());
                break; // every further word belongs to the renderer
            } else if (word.size() > 1 && word[0] == '-') {
                return fail("unknown option \"" + word + "\"");
            } else if (options.mappingName.empty()) {
                options.mappingName = words_[i];
            } else {
                return fail("unexpected argument \"" + word + "\" (only one mapping name)");
            }
        }
        return true;
    }

    // Checks that need every option: lengths, the declared end, the fault's place.
    bool finish(ProducerOptions& options) {
        if (help_) {
            return true;
        }
        SignalSettings& signal = options.signal;
        if (seconds_ && frames_) {
            return fail("--seconds and --frames exclude each other");
        }
        if (frames_) {
            signal.frames = *frames_;
        } else {
            const auto frames = framesOf(seconds_.value_or(Decimal{10, 0, 1}), signal.sampleRate);
            if (!frames) {
                return fail("--seconds: too long for 64-bit frame numbers");
            }
            signal.frames = *frames;
        }
        if (signal.frames > std::numeric_limits<std::uint64_t>::max() - signal.startFrame) {
            return fail("--start-frame: start plus length does not fit in 64 bits");
        }
        if (explicitEnd_) {
            if (*explicitEnd_ < signal.startFrame) {
                return fail("--end: " + std::to_string(*explicitEnd_) +
                            " is before --start-frame " + std::to_string(signal.startFrame));
            }
            signal.endFrame = *explicitEnd_;
        } else if (endWord_ == "none") {
            if (signal.startFrame != 0) {
                return fail("--end none: a region without a declared end must start at frame 0 "
                            "(--start-frame 0)");
            }
            signal.endFrame = 0;
        } else {
            signal.endFrame = signal.startFrame + signal.frames;
        }

        if (verify_) {
            if (!options.mappingName.empty() || !options.rendererPath.empty()) {
                return fail("--verify takes no mapping name and no --run-renderer");
            }
            return true;
        }
        if (options.mappingName.empty()) {
            return fail("a mapping name is required");
        }
        return checkFault(options);
    }

    bool checkFault(const ProducerOptions& options) {
        const Fault* fault = findFault(options.fault);
        if (fault == nullptr || fault->region != nullptr) {
            return true;
        }
        const std::string name(fault->name);
        if (options.faultStream >= options.signal.streams) {
            return fail("--fault-stream: stream " + std::to_string(options.faultStream) +
                        " does not exist (--streams " + std::to_string(options.signal.streams) +
                        ")");
        }
        if (fault->needsEarlierChunk && options.faultChunk == 0) {
            return fail("--fault-chunk: " + name +
                        " repeats frames of an earlier chunk, so it "
                        "needs a chunk number of at least 1");
        }
        if (fault->needsDeclaredEnd && options.signal.endFrame == 0) {
            return fail("--fault " + name + ": needs a declared end (not --end none)");
        }
        if (!streamHasChunk(options, options.faultStream, options.faultChunk)) {
            return fail("--fault-chunk: stream " + std::to_string(options.faultStream) +
                        " has no chunk " + std::to_string(options.faultChunk) +
                        " with this length and chunk size");
        }
        return true;
    }

    const std::vector<platform::NativeString>& words_;
    std::string error_;
    bool help_ = false;
    bool verify_ = false;
    std::optional<Decimal> seconds_;
    std::optional<std::uint64_t> frames_;
    std::string endWord_ = "auto";
    std::optional<std::uint64_t> explicitEnd_;
};

} // namespace

transport::TransportConfig ProducerOptions::config() const {
    transport::TransportConfig config{};
    config.streamCount = signal.streams;
    config.slotsPerStream = slots;
    config.framesPerChunk = framesPerChunk;
    config.channelCount = signal.channels;
    config.sampleRate = signal.sampleRate;
    config.logicalStartFrame = signal.startFrame;
    config.logicalEndFrame = signal.endFrame;
    return config;
}

ParsedCommandLine parseProducerCommandLine(const std::vector<platform::NativeString>& arguments) {
    return Parser(arguments).parse();
}

std::string toDisplay(platform::NativeStringView word) {
    std::string text;
    text.reserve(word.size());
    for (const auto c : word) {
        const auto code = static_cast<std::uint32_t>(c);
        text += code < 0x80 ? static_cast<char>(code) : '?';
    }
    return text;
}

const std::string& producerHelp() {
    static const std::string help =
        std::string(
            R"(usage: vaskel_producer [options] <mapping-name> [--run-renderer <renderer> <output-root> [renderer-args...]]
       vaskel_producer --verify <output-root> [options]
       vaskel_producer --help

Creates the shared region <mapping-name>, renders a test signal into every stream, closes the
streams at their end and waits until the renderer reports completion or a failure. The region
is removed on every exit, Ctrl-C included.

Region:
  --streams N              streams, 1 to 128 (default 8)
  --channels N             channels per stream, 1 or 2 (default 2)
  --rate HZ                sample rate in Hz (default 48000)
  --frames-per-chunk N     largest chunk in frames, 1 to 2048 (default 1024)
  --slots N                ring slots per stream, 1 to 64 (default 16)
  --start-frame N          logical frame at which every stream starts (default 0)
  --end auto|none|N        declared logical end frame: start + length (auto, the default),
                           none (needs --start-frame 0), or the frame number N
Signal:
  --signal sine|pattern    sine: a tone per stream, 220 Hz, 330 Hz, 440 Hz, ... (default);
                           pattern: a pseudo-random function of stream, frame and channel
  --seconds S              length of every stream in seconds, e.g. 10 or 2.5 (default 10)
  --frames N               length of every stream in frames, instead of --seconds
Publishing:
  --chunks fixed|random    chunk sizes: always frames-per-chunk (default), or drawn from
                           1 to frames-per-chunk
  --seed N                 seed of the random chunk sizes (default 1)
  --pace X                 0: as fast as the renderer drains (default); 1: real time;
                           X: X times real time
  --timeout-ms N           give up after N ms in which the renderer neither attached, drained
                           nor reported (default 60000)
Faults, to test a renderer:
  --fault KIND             inject KIND into chunk --fault-chunk of stream --fault-stream:
)") + faultHelp() +
        R"(  --fault-stream N         stream of the fault (default 0)
  --fault-chunk N          chunk number of the fault, counted from 0 (default 1)
  --fault-code N           code of publish-failure (default 2, overflow)
Renderer:
  --run-renderer PATH ...  start PATH as a child with <mapping-name> and every word after PATH
                           (<output-root> [delay-us] [idle-timeout-ms] [mapping-open-timeout-ms]);
                           its output is shown when it ends. Must come last.
Verification:
  --verify ROOT            check ROOT/stream-<i>.wav (header and every sample) and
                           ROOT/render-progress.json against the signal that the region,
                           signal and end options describe; no region is created

Output: a line "region ..." at the start; at the end the renderer's own output (with
--run-renderer) and "outcome=...,failureCode=N,failureName=...,consumerState=N[,rendererExit=N]".

Exit codes:
  0  the renderer completed the capture (verification: every file matches)
  1  verification found a difference
  2  bad command line
  3  no renderer attached: none came in time, it refused the region, or it ended first
  4  the capture failed: a failure code was published by either side
  5  the renderer attached but stopped draining and reporting for --timeout-ms
  6  the region could not be created or the renderer could not be started
  130 interrupted (Ctrl-C); the streams were aborted
)";
    return help;
}

} // namespace vaskel::producer_tool
