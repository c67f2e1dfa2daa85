#include "tools/jack/jack_options.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <iterator>
#include <optional>

namespace vaskel::jack_bridge {
namespace {

using Action = ParsedCommandLine::Action;

TEST(JackOptions, ParsesOrNamesTheMistake) {
    struct Case {
        std::vector<std::string> arguments;
        Action action;
        std::string error; // a part of the message, for Error
    };
    const std::vector<Case> cases = {
        {{"r", "--streams", "128", "--channels", "2", "--slots", "64", "--connect", "a"},
         Action::Run,
         ""},
        {{"--output", "/tmp/take", "--connect", "a:out_.*"}, Action::Run, ""},
        {{"--output", "/tmp/take"}, Action::Error, "--connect 'system:capture_.*'"},
        {{"--output", "", "r"}, Action::Error, "--output"},
        {{"r", "--attach-timeout", "0.5", "--connect", "a"}, Action::Run, ""},
        {{"r", "--buffer", "0.25", "--connect", "a"}, Action::Run, ""},
        {{"r", "--buffer", "0"}, Action::Error, "--buffer"},
        {{"r", "--connect", "a", "--quiet"}, Action::Run, ""},
        {{"--output", "o", "--connect", "a", "--export", "flac"}, Action::Run, ""},
        {{"--output", "o", "--connect", "a", "--export", "mp3"}, Action::Error, "--export takes"},
        {{"r", "--connect", "a", "--export", "wav24"}, Action::Error, "--export needs --output"},
        {{"r", "--quiet", "--connect"}, Action::Error, "needs a value"},
        {{"r", "--buffer", "3601"}, Action::Error, "--buffer"},
        {{"r", "--attach-timeout", "86401"}, Action::Error, "--attach-timeout"},
        {{"r", "--connect", ""}, Action::Error, "--connect"},
        {{"r", "--streams", "129"}, Action::Error, "--streams"},
        {{"r", "--streams", "0"}, Action::Error, "--streams"},
        {{"r", "--channels", "3"}, Action::Error, "--channels"},
        {{"r", "--slots", "65"}, Action::Error, "--slots"},
        {{"r", "--slots", "8x"}, Action::Error, "--slots"},
        {{"r", "--seconds", "0"}, Action::Error, "--seconds"},
        {{"r", "--seconds", "nan"}, Action::Error, "--seconds"},
        {{"r", "--seconds"}, Action::Error, "needs a value"},
        {{"r", "s"}, Action::Error, "unexpected"},
        {{"--streams", "2"}, Action::Error, "mapping name"},
        {{"r", "--bogus", "1"}, Action::Error, "unknown option"},
        {{"r", "--streams", "9", "--help"}, Action::Help, ""},
        {{"--version"}, Action::Version, ""},
    };
    for (const auto& c : cases) {
        const auto parsed = parseCommandLine(c.arguments);
        EXPECT_EQ(parsed.action, c.action) << c.arguments.back();
        if (c.action == Action::Error) {
            EXPECT_NE(parsed.error.find(c.error), std::string::npos) << parsed.error;
        }
    }
    const auto parsed =
        parseCommandLine({"r", "--client", "rec", "--seconds", "1.5", "--connect", "a"});
    EXPECT_EQ(parsed.options.client, "rec");
    EXPECT_EQ(parsed.options.bufferSeconds, 4.0);
    EXPECT_EQ(parsed.options.slots, 64u);
    EXPECT_EQ(parsed.options.seconds, 1.5);
    EXPECT_EQ(parsed.options.attachTimeout, 30.0);
    EXPECT_EQ(attachTimeoutMilliseconds(0.0001), 1u);
    EXPECT_EQ(attachTimeoutMilliseconds(2.5), 2500u);
    EXPECT_EQ(inputPortNames(2, 2),
              (std::vector<std::string>{"in_0_l", "in_0_r", "in_1_l", "in_1_r"}));
}

// Chunks are always of 2048 frames, whatever the server's period: the bridge re-cuts them. The
// buffer holds --buffer seconds, never less than two periods, within a bound on memory.
TEST(JackOptions, SizesTheRegionAndTheBuffer) {
    struct Case {
        std::uint32_t rate, period, slots, streams;
        double seconds, buffer; // seconds 0: none
        std::uint64_t expectedEnd, expectedBufferFrames;
        bool error;
    };
    const std::vector<Case> cases = {
        {48000, 256, 64, 1, 0, 4, 0, 192000, false},      // the defaults
        {44100, 256, 3, 1, 0.5, 0.1, 22050, 4410, false}, // --slots, round(S x rate)
        {48000, 256, 64, 1, 1.00001, 4, 48000, 192000, false},
        {48000, 8192, 64, 1, 0, 0.1, 0, 16384, false}, // at least two periods
        {48000, 256, 64, 1, 0, 0.00001, 0, 512, false},
        {44100, 256, 64, 1, 0, 1.00001, 0, 44101, false}, // rounded up
        {48000, 256, 64, 128, 0, 80, 0, 3840000, false},  // 1875 MiB
        {48000, 256, 64, 128, 0, 90, 0, 0, true},         // 2109 MiB: too much
        {48000, 256, 64, 1, 0.00001, 4, 0, 0, true},      // less than a frame
        {48000, 0, 64, 1, 0, 4, 0, 0, true},              // no period
    };
    for (const auto& c : cases) {
        BridgeOptions options;
        options.slots = c.slots;
        options.bufferSeconds = c.buffer;
        if (c.seconds > 0) {
            options.seconds = c.seconds;
        }
        const RegionPlan plan = planRegion(options, c.streams, c.rate, c.period);
        EXPECT_EQ(!plan.error.empty(), c.error) << c.rate << "/" << c.period << "/" << c.buffer;
        if (!c.error) {
            EXPECT_EQ(plan.config.slots_per_stream, c.slots);
            EXPECT_EQ(plan.config.frames_per_chunk, 2048u);
            EXPECT_EQ(plan.config.sample_rate, c.rate);
            EXPECT_EQ(plan.config.logical_end_frame, c.expectedEnd);
            EXPECT_EQ(plan.bufferFrames, c.expectedBufferFrames) << c.buffer;
        }
    }
}

// A server with the ports of two clients, in its port order, matched as the bridge matches.
PortMatches fakeServer(const std::string& word) {
    const std::vector<std::string> outputs = {"synth:out_l", "synth:out_r", "drums:out_1",
                                              "drums:out_2", "drums:out_3"};
    const std::vector<std::string> inputs = {"system:playback_1", "system:playback_2"};
    PortMatches matches;
    if (matchWhole(word, outputs, matches.outputs, matches.error)) {
        (void)matchWhole(word, inputs, matches.inputs, matches.error);
    }
    return matches;
}

TEST(JackOptions, FeedsEveryMatchInTheServersOrderOrNamesTheMistake) {
    struct Case {
        std::vector<std::string> connect;
        std::optional<std::uint32_t> streams;
        std::uint32_t channels;
        std::uint32_t expectedStreams;
        std::vector<std::string> expectedSources; // or the error's part
        std::string error;
    };
    const std::vector<Case> cases = {
        // One stream per match, the words' matches one after the other.
        {{"drums:.*", "synth:out_l"},
         {},
         1,
         4,
         {"drums:out_1", "drums:out_2", "drums:out_3", "synth:out_l"},
         ""},
        // Stereo pairs; an odd match leaves the last right channel unconnected.
        {{"drums:.*"}, {}, 2, 2, {"drums:out_1", "drums:out_2", "drums:out_3", ""}, ""},
        // One source fed twice; --streams leaves the rest unconnected.
        {{"synth:out_l", "synth:out_l"}, 3, 1, 3, {"synth:out_l", "synth:out_l", ""}, ""},
        {{}, {}, 1, 1, {""}, ""},
        // A pattern matches a whole name, never a part of one.
        {{"out_.*"}, {}, 1, 0, {}, "'out_.*' matches no audio output port"},
        {{"drums:out_[13]"}, {}, 1, 2, {"drums:out_1", "drums:out_3"}, ""},
        {{"drums:out_(1"}, {}, 1, 0, {}, "is not an extended regular expression"},
        {{"synth:.*"}, 1, 1, 0, {}, "more than the 1 input ports of --streams 1"},
        {{"nothing:.*"}, {}, 1, 0, {}, "'nothing:.*' matches no audio output port"},
        {{"system:playback_1"}, {}, 1, 0, {}, "matches only input ports (system:playback_1)"},
        {{"system:.*"}, {}, 1, 0, {}, "system:playback_1, system:playback_2"},
    };
    for (const auto& c : cases) {
        BridgeOptions options;
        options.connect = c.connect;
        options.streams = c.streams;
        options.channels = c.channels;
        const SourcePlan plan = planSources(options, fakeServer);
        EXPECT_NE(plan.error.find(c.error), std::string::npos) << plan.error;
        if (c.error.empty()) {
            EXPECT_TRUE(plan.error.empty()) << plan.error;
            EXPECT_EQ(plan.streams, c.expectedStreams);
            EXPECT_EQ(plan.sources, c.expectedSources);
        }
    }
}

TEST(JackOptions, MatchesAPatternAgainstTheWholeName) {
    const std::vector<std::string> names = {"m:out", "system:capture_1", "am:x", "m:"};
    struct Case {
        std::string pattern;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"m:.*", {"m:out", "m:"}}, // never system:capture_1 nor am:x
        {".*m:.*", {"m:out", "system:capture_1", "am:x", "m:"}},
        {"m:out", {"m:out"}},
        {"m:ou", {}}, // a part of a name is no match
        {"(m|am):[a-z]+", {"m:out", "am:x"}},
        {"system:capture_[0-9]+", {"system:capture_1"}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> matched;
        std::string error;
        EXPECT_TRUE(matchWhole(c.pattern, names, matched, error)) << c.pattern;
        EXPECT_EQ(matched, c.expected) << c.pattern;
    }
    for (const std::string bad : {"m:(", "[a", "*x", "a{2,1}"}) {
        std::vector<std::string> matched;
        std::string error;
        EXPECT_FALSE(matchWhole(bad, names, matched, error)) << bad;
        EXPECT_NE(error.find(bad), std::string::npos) << error;
    }
}

// The renderer beside the bridge first, then only absolute directories of PATH: an empty entry
// or "." would run whatever is in the directory the bridge was started in.
TEST(JackOptions, FindsTheRendererOnlyWhereItWasInstalled) {
    struct Case {
        std::string path;
        std::vector<std::string> programs; // where a vaskel_renderer is
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"/usr/bin",
         {"/opt/v/bin/vaskel_renderer", "/usr/bin/vaskel_renderer"},
         "/opt/v/bin/vaskel_renderer"},
        {"/a:/usr/bin", {"/usr/bin/vaskel_renderer"}, "/usr/bin/vaskel_renderer"},
        {".:/usr/bin",
         {"./vaskel_renderer", "/usr/bin/vaskel_renderer"},
         "/usr/bin/vaskel_renderer"},
        {":/usr/bin", {"vaskel_renderer"}, ""},
        {"/usr/bin:", {"vaskel_renderer"}, ""},
        {"bin:./x:..", {"bin/vaskel_renderer", "./x/vaskel_renderer", "../vaskel_renderer"}, ""},
        {"", {"vaskel_renderer"}, ""},
    };
    for (const auto& c : cases) {
        const auto isProgram = [&c](const std::filesystem::path& path) {
            return std::find(c.programs.begin(), c.programs.end(), path.string()) !=
                   c.programs.end();
        };
        EXPECT_EQ(findRenderer("/opt/v/bin/vaskel_jack", c.path, isProgram).string(), c.expected)
            << c.path;
    }
}

TEST(JackOptions, TakesTheRenderersReasonFromItsErrors) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"writer_failure\nwriter_failure: stream-3.wav: No space left on device\n",
         "stream-3.wav: No space left on device"},
        {"overflow\n", ""},
        {"", ""},
        {"vaskel_renderer: Usage: x\n", ""}, // not a failure name
        {": x\nWriter_failure: y\n", ""},
        {"gap\ngap: stream-0.wav: sequence 4, expected 3", "stream-0.wav: sequence 4, expected 3"},
    };
    for (const auto& [errors, reason] : cases) {
        EXPECT_EQ(rendererFailureReason(errors), reason) << errors;
    }
}

} // namespace
} // namespace vaskel::jack_bridge
