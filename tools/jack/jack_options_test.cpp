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
        {{"r", "--streams", "128", "--channels", "2", "--slots", "64"}, Action::Run, ""},
        {{"--output", "/tmp/take", "--connect", "a:out_.*"}, Action::Run, ""},
        {{"--output", "", "r"}, Action::Error, "--output"},
        {{"r", "--attach-timeout", "0.5"}, Action::Run, ""},
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
    const auto parsed = parseCommandLine({"r", "--client", "rec", "--seconds", "1.5"});
    EXPECT_EQ(parsed.options.client, "rec");
    EXPECT_EQ(parsed.options.seconds, 1.5);
    EXPECT_EQ(parsed.options.attachTimeout, 30.0);
    EXPECT_EQ(attachTimeoutMilliseconds(0.0001), 1u);
    EXPECT_EQ(attachTimeoutMilliseconds(2.5), 2500u);
    EXPECT_EQ(inputPortNames(2, 2),
              (std::vector<std::string>{"in_0_l", "in_0_r", "in_1_l", "in_1_r"}));
}

TEST(JackOptions, SizesTheRegionFromTheServer) {
    struct Case {
        std::uint32_t rate, buffer, slots;
        double seconds; // 0: none
        std::uint32_t expectedSlots;
        std::uint64_t expectedEnd;
        bool error;
    };
    const std::vector<Case> cases = {
        {48000, 256, 0, 0, 47, 0, false},           // 46.875 periods make 250 ms: round up
        {48000, 1024, 0, 0, 12, 0, false},          // 11.7
        {44100, 2048, 0, 0, 6, 0, false},           // the largest chunk
        {48000, 2000, 0, 0, 6, 0, false},           // exactly 250 ms
        {192000, 32, 0, 0, 64, 0, false},           // a full ring holds less: capped, warned
        {48000, 256, 3, 0, 3, 0, false},            // --slots wins
        {48000, 256, 0, 1.00001, 47, 48000, false}, // round(S x rate)
        {44100, 256, 0, 0.5, 44, 22050, false},
        {48000, 4096, 0, 0, 0, 0, true},      // above a chunk
        {48000, 256, 0, 0.00001, 0, 0, true}, // less than a frame
    };
    for (const auto& c : cases) {
        BridgeOptions options;
        options.slots = c.slots;
        if (c.seconds > 0) {
            options.seconds = c.seconds;
        }
        const RegionPlan plan = planRegion(options, 1, c.rate, c.buffer);
        EXPECT_EQ(!plan.error.empty(), c.error) << c.rate << "/" << c.buffer;
        if (!c.error) {
            EXPECT_EQ(plan.config.slots_per_stream, c.expectedSlots) << c.rate << "/" << c.buffer;
            EXPECT_EQ(plan.config.frames_per_chunk, c.buffer);
            EXPECT_EQ(plan.config.sample_rate, c.rate);
            EXPECT_EQ(plan.config.logical_end_frame, c.expectedEnd);
            EXPECT_EQ(plan.warning.empty(), c.expectedSlots != 64 || c.slots != 0);
        }
    }
}

// A server with the ports of two clients, in its port order; words match as jack_get_ports
// would (here: an exact name, or a prefix followed by ".*").
PortMatches fakeServer(const std::string& word) {
    const std::vector<std::string> outputs = {"synth:out_l", "synth:out_r", "drums:out_1",
                                              "drums:out_2", "drums:out_3"};
    const std::vector<std::string> inputs = {"system:playback_1", "system:playback_2"};
    const auto match = [&word](const std::string& name) {
        return name == word ||
               (word.ends_with(".*") && name.starts_with(word.substr(0, word.size() - 2)));
    };
    PortMatches matches;
    std::copy_if(outputs.begin(), outputs.end(), std::back_inserter(matches.outputs), match);
    std::copy_if(inputs.begin(), inputs.end(), std::back_inserter(matches.inputs), match);
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

// A period change keeps the chunk size; a period only fits while two of them fit a ring.
TEST(JackOptions, TakesALongerPeriodOnlyWhileTwoFitARing) {
    EXPECT_TRUE(periodFits(64, 256, 1));     // shorter: gathered into chunks
    EXPECT_TRUE(periodFits(256, 256, 1));    // the period the ring was made for
    EXPECT_TRUE(periodFits(8192, 256, 64));  // 32 chunks, half of 64
    EXPECT_FALSE(periodFits(8192, 256, 47)); // the default ring at 256 frames
    EXPECT_TRUE(periodFits(1000, 256, 8));   // 4 chunks, the last one short
    EXPECT_FALSE(periodFits(1025, 256, 8));  // 5 chunks
}

} // namespace
} // namespace vaskel::jack_bridge
