#include "tools/jack/jack_options.h"

#include <gtest/gtest.h>

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
        {{"r", "--connect", "a:out", "--connect", "a:out"}, Action::Error, "more --connect"},
        {{"r", "--streams", "2", "--connect", "a:out", "--connect", "a:out"}, Action::Run, ""},
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
        const RegionPlan plan = planRegion(options, c.rate, c.buffer);
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

} // namespace
} // namespace vaskel::jack_bridge
