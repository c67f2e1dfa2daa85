#include "tools/producer/producer_options.h"

#include "tools/producer/signal_source.h"
#include "vaskel/version.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstddef>
#include <limits>
#include <span>
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

// A plain decimal: digits only, no sign, no space, at most 20 of them (leading zeros included).
[[nodiscard]] std::optional<std::uint64_t> parseWhole(std::string_view text) {
    std::uint64_t value = 0;
    const char* const end = text.data() + text.size();
    if (text.empty() || text.size() > 20) {
        return std::nullopt;
    }
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc() || stop != end) {
        return std::nullopt;
    }
    return value;
}

[[nodiscard]] std::optional<Decimal> parseDecimal(std::string_view text) {
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
[[nodiscard]] std::optional<std::uint64_t> framesOf(const Decimal& seconds, std::uint32_t rate) {
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

// What the words on the command line set, before the checks that need all of them.
struct Words {
    ProducerOptions options;
    bool help = false;
    bool version = false;
    bool verify = false;
    std::optional<Decimal> seconds;
    std::optional<std::uint64_t> frames;
    std::string endWord = "auto";
    std::optional<std::uint64_t> explicitEnd;
};

enum class Takes { Nothing, Number, Word, Rest };

// The value an option was given.
struct Value {
    std::uint64_t number = 0; // Takes::Number: already within the row's range
    std::string_view text{};  // the value word as display text
    std::span<const platform::NativeString> native{}; // the value word and every word after it
};

using Setter = bool (*)(Words&, const Value&); // false: the value is refused

// One option: how it is spelled, what it takes, where it goes, and its lines in --help. A row
// with a heading and no name opens a section of --help.
struct OptionRow {
    std::string_view name{};
    Takes takes = Takes::Nothing;
    std::uint64_t low = 0; // Takes::Number: the accepted range
    std::uint64_t high = 0;
    Setter set = nullptr;
    std::string_view refusal{}; // follows the name when refused; {} is the value
    std::string_view value{};   // --help: what follows the name
    std::string_view help{};    // --help: the description, '\n' between lines; {range} is the range
    std::string (*more)() = nullptr; // --help: lines that follow the description
    std::string_view heading{};
};

constexpr OptionRow heading(std::string_view text) {
    return {.heading = text};
}

constexpr OptionRow flag(std::string_view name, Setter set) {
    return {.name = name, .set = set};
}

constexpr OptionRow number(std::string_view name, std::string_view value, std::uint64_t low,
                           std::uint64_t high, Setter set, std::string_view help) {
    return {name, Takes::Number, low, high, set, {}, value, help};
}

constexpr OptionRow word(std::string_view name, std::string_view value, Setter set,
                         std::string_view refusal, std::string_view help,
                         std::string (*more)() = nullptr) {
    return {name, Takes::Word, 0, 0, set, refusal, value, help, more};
}

template <typename Field> bool put(Field& field, const Value& value) {
    field = static_cast<Field>(value.number);
    return true;
}

template <auto field> bool toOption(Words& w, const Value& v) {
    return put(w.options.*field, v);
}

template <auto field> bool toSignal(Words& w, const Value& v) {
    return put(w.options.signal.*field, v);
}

constexpr std::uint64_t kU32 = std::numeric_limits<std::uint32_t>::max();
constexpr std::uint64_t kU64 = std::numeric_limits<std::uint64_t>::max();

bool setHelp(Words& w, const Value&) {
    w.help = true;
    return true;
}

bool setVersion(Words& w, const Value&) {
    w.version = true;
    return true;
}

bool setFrames(Words& w, const Value& v) {
    return put(w.frames, v);
}

bool setEnd(Words& w, const Value& v) {
    if (v.text == "auto" || v.text == "none") {
        w.endWord = v.text;
        return true;
    }
    const auto end = parseWhole(v.text);
    if (!end) {
        return false;
    }
    w.endWord.clear();
    w.explicitEnd = *end;
    return true;
}

bool setSeconds(Words& w, const Value& v) {
    w.seconds = parseDecimal(v.text);
    return w.seconds.has_value();
}

bool setSignal(Words& w, const Value& v) {
    if (v.text != "sine" && v.text != "pattern") {
        return false;
    }
    w.options.signal.kind = v.text == "sine" ? SignalKind::Sine : SignalKind::Pattern;
    return true;
}

bool setChunks(Words& w, const Value& v) {
    if (v.text != "fixed" && v.text != "random") {
        return false;
    }
    w.options.chunks = v.text == "fixed" ? ChunkMode::Fixed : ChunkMode::Random;
    return true;
}

bool setPace(Words& w, const Value& v) {
    const auto pace = parseDecimal(v.text);
    if (!pace || pace->whole > 1000000) {
        return false;
    }
    w.options.pace = static_cast<double>(pace->whole) +
                     static_cast<double>(pace->fraction) / static_cast<double>(pace->scale);
    return true;
}

bool setFault(Words& w, const Value& v) {
    const auto fault = faultFromName(v.text);
    if (fault) {
        w.options.fault = *fault;
    }
    return fault.has_value();
}

// Every word after --run-renderer belongs to the renderer: its path, then its own arguments.
bool setRenderer(Words& w, const Value& v) {
    if (v.native.size() < 2) {
        return false;
    }
    w.options.rendererPath = std::filesystem::path(v.native.front());
    w.options.rendererArguments.assign(v.native.begin() + 1, v.native.end());
    return true;
}

bool setVerify(Words& w, const Value& v) {
    w.verify = true;
    w.options.verifyRoot = std::filesystem::path(v.native.front());
    return true;
}

// Short names for the member pointers in the table.
using P = ProducerOptions;
using S = SignalSettings;

// Every option, in the order of --help.
constexpr std::array kOptions{
    flag("--help", setHelp),
    flag("-h", setHelp),
    flag("--version", setVersion),
    heading("Region:"),
    number("--streams", "N", 1, transport::kMaxStreams, toSignal<&S::streams>,
           "streams, {range} (default 8)"),
    number("--channels", "N", 1, transport::kMaxChannels, toSignal<&S::channels>,
           "channels per stream, {range} (default 2)"),
    number("--rate", "HZ", 1, kU32, toSignal<&S::sampleRate>, "sample rate in Hz (default 48000)"),
    number("--frames-per-chunk", "N", 1, transport::kMaxFramesPerChunk,
           toOption<&P::framesPerChunk>, "largest chunk in frames, {range} (default 1024)"),
    number("--slots", "N", 1, transport::kMaxSlotsPerStream, toOption<&P::slots>,
           "ring slots per stream, {range} (default 16)"),
    number("--start-frame", "N", 0, kU64, toSignal<&S::startFrame>,
           "logical frame at which every stream starts (default 0)"),
    word("--end", "auto|none|N", setEnd, ": expected auto, none or a frame number, got \"{}\"",
         "declared logical end frame: start + length (auto, the default),\n"
         "none (needs --start-frame 0), or the frame number N"),
    heading("Signal:"),
    word("--signal", "sine|pattern", setSignal, ": expected sine or pattern, got \"{}\"",
         "sine: a tone per stream, 220 Hz, 330 Hz, 440 Hz, ... (default);\n"
         "pattern: a pseudo-random function of stream, frame and channel"),
    word("--seconds", "S", setSeconds,
         ": expected a number of seconds such as 10 or 2.5, got \"{}\"",
         "length of every stream in seconds, e.g. 10 or 2.5 (default 10)"),
    number("--frames", "N", 0, kU64, setFrames,
           "length of every stream in frames, instead of --seconds"),
    heading("Publishing:"),
    word("--chunks", "fixed|random", setChunks, ": expected fixed or random, got \"{}\"",
         "chunk sizes: always frames-per-chunk (default), or drawn from\n"
         "1 to frames-per-chunk"),
    number("--seed", "N", 0, kU64, toOption<&P::seed>,
           "seed of the random chunk sizes (default 1)"),
    word("--pace", "X", setPace,
         ": expected 0 (as fast as possible) or a speed factor such as 1 or 2.5, got \"{}\"",
         "0: as fast as the renderer drains (default); 1: real time;\n"
         "X: X times real time"),
    number("--timeout-ms", "N", 1, kU32, toOption<&P::timeoutMs>,
           "give up after N ms in which the renderer neither attached, drained\n"
           "nor reported (default 60000)"),
    heading("Faults, to test a renderer:"),
    word("--fault", "KIND", setFault, ": unknown fault \"{}\" (see --help)",
         "inject KIND into chunk --fault-chunk of stream --fault-stream:", faultHelp),
    number("--fault-stream", "N", 0, transport::kMaxStreams - 1, toOption<&P::faultStream>,
           "stream of the fault (default 0)"),
    number("--fault-chunk", "N", 0, kU64, toOption<&P::faultChunk>,
           "chunk number of the fault, counted from 0 (default 1)"),
    number("--fault-code", "N", 1, kU32, toOption<&P::faultCode>,
           "code of publish-failure (default 2, overflow)"),
    heading("Renderer:"),
    OptionRow{.name = "--run-renderer",
              .takes = Takes::Rest,
              .set = setRenderer,
              .refusal = " needs the renderer's path and an output root",
              .value = "PATH ...",
              .help = "start PATH as a child with <mapping-name> and every word after PATH\n"
                      "(<output-root> [delay-us] [idle-timeout-ms] [mapping-open-timeout-ms]);\n"
                      "its output is shown when it ends; a PATH without a directory part is\n"
                      "looked up in PATH. Must come last."},
    heading("Verification:"),
    word("--verify", "ROOT", setVerify, "",
         "check ROOT/stream-<i>.wav (header and every sample) and\n"
         "ROOT/render-progress.json against the signal that the region,\n"
         "signal and end options describe; no region is created"),
};

const OptionRow* findOption(std::string_view word) {
    for (const OptionRow& row : kOptions) {
        if (!row.name.empty() && word == row.name) {
            return &row;
        }
    }
    return nullptr;
}

// `pattern` with its first `placeholder` replaced by `with`.
std::string substitute(std::string_view pattern, std::string_view placeholder,
                       std::string_view with) {
    std::string text(pattern);
    const std::size_t at = text.find(placeholder);
    if (at != std::string::npos) {
        text.replace(at, placeholder.size(), with);
    }
    return text;
}

class Parser {
public:
    explicit Parser(const std::vector<platform::NativeString>& arguments) : arguments_(arguments) {}

    [[nodiscard]] ParsedCommandLine parse() {
        ParsedCommandLine parsed;
        const bool ok = parseWords() && finish();
        parsed.options = std::move(w_.options);
        if (!ok) {
            parsed.mode = Mode::Error;
            parsed.error = error_;
        } else {
            parsed.mode = w_.help      ? Mode::Help
                          : w_.version ? Mode::Version
                          : w_.verify  ? Mode::Verify
                                       : Mode::Run;
        }
        return parsed;
    }

private:
    bool fail(std::string message) {
        error_ = std::move(message);
        return false;
    }

    [[nodiscard]] bool parseWords() {
        for (std::size_t i = 0; i < arguments_.size(); ++i) {
            const std::string word = toDisplay(arguments_[i]);
            const OptionRow* row = findOption(word);
            if (row == nullptr) {
                if (!positional(word, arguments_[i])) {
                    return false;
                }
            } else if (row->takes == Takes::Rest) {
                return take(*row, i); // no word after it is ours
            } else if (!take(*row, i)) {
                return false;
            }
        }
        return true;
    }

    [[nodiscard]] bool positional(const std::string& word, const platform::NativeString& native) {
        if (word.size() > 1 && word[0] == '-') {
            return fail("unknown option \"" + word + "\"");
        }
        if (!w_.options.mappingName.empty()) {
            return fail("unexpected argument \"" + word + "\" (only one mapping name)");
        }
        w_.options.mappingName = native;
        return true;
    }

    // Gives `row` the words after position `i` that it takes, and moves `i` past its value.
    [[nodiscard]] bool take(const OptionRow& row, std::size_t& i) {
        const std::string name(row.name);
        Value value{.native = std::span<const platform::NativeString>(arguments_).subspan(i + 1)};
        std::string text;
        if (row.takes == Takes::Number || row.takes == Takes::Word) {
            if (value.native.empty()) {
                return fail(name + " needs a value");
            }
            text = toDisplay(value.native.front());
            value.text = text;
            ++i;
        }
        if (row.takes == Takes::Number) {
            const auto number = parseWhole(text);
            if (!number || *number < row.low || *number > row.high) {
                return fail(name + ": expected a whole number from " + std::to_string(row.low) +
                            " to " + std::to_string(row.high) + ", got \"" + text + "\"");
            }
            value.number = *number;
        }
        if (!row.set(w_, value)) {
            return fail(name + substitute(row.refusal, "{}", text));
        }
        return true;
    }

    // Checks that need every option: lengths, the declared end, the fault's place.
    [[nodiscard]] bool finish() {
        if (w_.help || w_.version) {
            return true;
        }
        ProducerOptions& options = w_.options;
        SignalSettings& signal = options.signal;
        if (w_.seconds && w_.frames) {
            return fail("--seconds and --frames exclude each other");
        }
        if (w_.frames) {
            signal.frames = *w_.frames;
        } else {
            const auto frames = framesOf(w_.seconds.value_or(Decimal{10, 0, 1}), signal.sampleRate);
            if (!frames) {
                return fail("--seconds: too long for 64-bit frame numbers");
            }
            signal.frames = *frames;
        }
        if (signal.frames > std::numeric_limits<std::uint64_t>::max() - signal.startFrame) {
            return fail("--start-frame: start plus length does not fit in 64 bits");
        }
        if (w_.explicitEnd) {
            if (*w_.explicitEnd < signal.startFrame) {
                return fail("--end: " + std::to_string(*w_.explicitEnd) +
                            " is before --start-frame " + std::to_string(signal.startFrame));
            }
            signal.endFrame = *w_.explicitEnd;
        } else if (w_.endWord == "none") {
            if (signal.startFrame != 0) {
                return fail("--end none: a region without a declared end must start at frame 0 "
                            "(--start-frame 0)");
            }
            signal.endFrame = 0;
        } else {
            signal.endFrame = signal.startFrame + signal.frames;
        }

        if (w_.verify) {
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

    [[nodiscard]] bool checkFault(const ProducerOptions& options) {
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

    const std::vector<platform::NativeString>& arguments_;
    std::string error_;
    Words w_;
};

constexpr std::string_view kHelpHead =
    R"(usage: vaskel_producer [options] <mapping-name> [--run-renderer <renderer> <output-root> [renderer-args...]]
       vaskel_producer --verify <output-root> [options]
       vaskel_producer --help
       vaskel_producer --version

Creates the shared region <mapping-name>, renders a test signal into every stream, closes the
streams at their end and waits until the renderer reports completion or a failure. The region
is removed on every exit, Ctrl-C included.

)";

constexpr std::string_view kHelpTail = R"(
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

// "1 to 128"; two neighbours read "1 or 2".
std::string rangeText(const OptionRow& row) {
    return std::to_string(row.low) + (row.high == row.low + 1 ? " or " : " to ") +
           std::to_string(row.high);
}

// The option lines of --help: the name and its value in one column, the description from
// column 27 on, continued lines indented to it.
std::string optionHelp() {
    constexpr std::size_t kTextColumn = 27;
    const std::string continued = "\n" + std::string(kTextColumn, ' ');
    std::string text;
    for (const OptionRow& row : kOptions) {
        if (!row.heading.empty()) {
            text += std::string(row.heading) + '\n';
        }
        if (row.help.empty()) {
            continue;
        }
        std::string line = "  " + std::string(row.name) + ' ' + std::string(row.value);
        line.resize(std::max(kTextColumn, line.size() + 2), ' ');
        for (const char c : substitute(row.help, "{range}", rangeText(row))) {
            line += c == '\n' ? continued : std::string(1, c);
        }
        text += line + '\n';
        if (row.more != nullptr) {
            text += row.more();
        }
    }
    return text;
}

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
    static const std::string help = std::string(kHelpHead) + optionHelp() + std::string(kHelpTail);
    return help;
}

const std::string& producerVersion() {
    static const std::string version = "vaskel_producer " VASKEL_VERSION_STRING "\n";
    return version;
}

} // namespace vaskel::producer_tool
