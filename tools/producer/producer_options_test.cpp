#include "test_support.h"
#include "tools/producer/producer_options.h"
#include "tools/producer/producer_run.h"
#include "producer_test_support.h"

#include <atomic>
#include <gtest/gtest.h>
#include <sstream>

namespace vaskel::producer_tool {
namespace {

using testing::nativeWords;

ParsedCommandLine parse(const std::vector<std::string>& words) {
    return parseProducerCommandLine(nativeWords(words));
}

TEST(ProducerOptions, DefaultsDescribeEightStereoStreamsOfTenSeconds) {
    const ParsedCommandLine parsed = parse({"demo"});
    ASSERT_EQ(parsed.mode, Mode::Run) << parsed.error;
    const ProducerOptions& options = parsed.options;
    EXPECT_EQ(options.mappingName, vaskel::testing::native("demo"));
    const transport::TransportConfig config = options.config();
    EXPECT_TRUE(transport::isValidConfig(config));
    EXPECT_EQ(config.streamCount, 8u);
    EXPECT_EQ(config.channelCount, 2u);
    EXPECT_EQ(config.sampleRate, 48000u);
    EXPECT_EQ(config.framesPerChunk, 1024u);
    EXPECT_EQ(config.slotsPerStream, 16u);
    EXPECT_EQ(options.signal.frames, 480000u);
    EXPECT_EQ(config.logicalStartFrame, 0u);
    EXPECT_EQ(config.logicalEndFrame, 480000u);
    EXPECT_EQ(options.signal.kind, SignalKind::Sine);
    EXPECT_EQ(options.chunks, ChunkMode::Fixed);
    EXPECT_EQ(options.pace, 0.0);
    EXPECT_EQ(options.fault, FaultKind::None);
    EXPECT_TRUE(options.rendererPath.empty());
}

TEST(ProducerOptions, EveryOptionReachesItsSetting) {
    const ParsedCommandLine parsed = parse({"--streams",
                                            "3",
                                            "--channels",
                                            "1",
                                            "--rate",
                                            "44100",
                                            "--frames-per-chunk",
                                            "100",
                                            "--slots",
                                            "4",
                                            "--start-frame",
                                            "1000",
                                            "--seconds",
                                            "2.5",
                                            "--signal",
                                            "pattern",
                                            "--chunks",
                                            "random",
                                            "--seed",
                                            "99",
                                            "--pace",
                                            "1.5",
                                            "--timeout-ms",
                                            "1234",
                                            "--fault",
                                            "frame-gap",
                                            "--fault-stream",
                                            "2",
                                            "--fault-chunk",
                                            "7",
                                            "x"});
    ASSERT_EQ(parsed.mode, Mode::Run) << parsed.error;
    const ProducerOptions& o = parsed.options;
    EXPECT_EQ(o.signal.streams, 3u);
    EXPECT_EQ(o.signal.channels, 1u);
    EXPECT_EQ(o.signal.sampleRate, 44100u);
    EXPECT_EQ(o.framesPerChunk, 100u);
    EXPECT_EQ(o.slots, 4u);
    EXPECT_EQ(o.signal.startFrame, 1000u);
    EXPECT_EQ(o.signal.frames, 110250u); // 2.5 s at 44100 Hz
    EXPECT_EQ(o.signal.endFrame, 111250u);
    EXPECT_EQ(o.signal.kind, SignalKind::Pattern);
    EXPECT_EQ(o.chunks, ChunkMode::Random);
    EXPECT_EQ(o.seed, 99u);
    EXPECT_DOUBLE_EQ(o.pace, 1.5);
    EXPECT_EQ(o.timeoutMs, 1234u);
    EXPECT_EQ(o.fault, FaultKind::FrameGap);
    EXPECT_EQ(o.faultStream, 2u);
    EXPECT_EQ(o.faultChunk, 7u);
}

TEST(ProducerOptions, LengthAndDeclaredEnd) {
    // Seconds are exact decimals: 0.001 s at 44100 Hz is 44 frames, truncated.
    EXPECT_EQ(parse({"--rate", "44100", "--seconds", "0.001", "n"}).options.signal.frames, 44u);
    EXPECT_EQ(parse({"--frames", "777", "n"}).options.signal.frames, 777u);

    const ParsedCommandLine none = parse({"--frames", "777", "--end", "none", "n"});
    ASSERT_EQ(none.mode, Mode::Run) << none.error;
    EXPECT_EQ(none.options.signal.endFrame, 0u);

    const ParsedCommandLine fixed = parse({"--frames", "10", "--end", "50", "n"});
    ASSERT_EQ(fixed.mode, Mode::Run) << fixed.error;
    EXPECT_EQ(fixed.options.signal.endFrame, 50u);

    // Zero frames from frame 0 declares no end: the only valid form of an empty capture.
    const ParsedCommandLine empty = parse({"--frames", "0", "n"});
    ASSERT_EQ(empty.mode, Mode::Run) << empty.error;
    EXPECT_EQ(empty.options.signal.endFrame, 0u);
    EXPECT_TRUE(transport::isValidConfig(empty.options.config()));
}

TEST(ProducerOptions, RunRendererTakesEveryFollowingWordVerbatim) {
    const ParsedCommandLine parsed =
        parse({"--streams", "2", "name", "--run-renderer", "bin/r", "out", "--streams", "7"});
    ASSERT_EQ(parsed.mode, Mode::Run) << parsed.error;
    EXPECT_EQ(parsed.options.signal.streams, 2u);
    EXPECT_EQ(parsed.options.rendererPath, std::filesystem::path("bin/r"));
    EXPECT_EQ(parsed.options.rendererArguments, nativeWords({"out", "--streams", "7"}));
}

TEST(ProducerOptions, HelpAndVerifyModes) {
    EXPECT_EQ(parse({"--help"}).mode, Mode::Help);
    EXPECT_EQ(parse({"--streams", "x", "-h"}).mode, Mode::Error); // the bad value comes first
    EXPECT_EQ(parse({"name", "-h"}).mode, Mode::Help);
    EXPECT_EQ(parse({"--version"}).mode, Mode::Version);
    EXPECT_EQ(parse({"--version", "--slots", "0"}).mode, Mode::Error);

    const ParsedCommandLine verify = parse({"--verify", "out/dir", "--streams", "3"});
    ASSERT_EQ(verify.mode, Mode::Verify) << verify.error;
    EXPECT_EQ(verify.options.verifyRoot, std::filesystem::path("out/dir"));
    EXPECT_EQ(verify.options.signal.streams, 3u);
}

// Each bad command line is refused with a message that names the option at fault.
TEST(ProducerOptions, ErrorsNameTheOption) {
    struct Case {
        std::vector<std::string> words;
        std::string named;
    };
    const std::vector<Case> cases = {
        {{"--streams", "0", "n"}, "--streams"},
        {{"--streams", "129", "n"}, "--streams"},
        {{"--streams", "-1", "n"}, "--streams"},
        {{"--channels", "3", "n"}, "--channels"},
        {{"--rate", "0", "n"}, "--rate"},
        {{"--rate", "48k", "n"}, "--rate"},
        {{"--frames-per-chunk", "2049", "n"}, "--frames-per-chunk"},
        {{"--slots", "65", "n"}, "--slots"},
        {{"--start-frame", "x", "n"}, "--start-frame"},
        {{"--seconds", "1.2.3", "n"}, "--seconds"},
        {{"--seconds", ".5", "n"}, "--seconds"},
        {{"--seconds", "5.", "n"}, "--seconds"},
        {{"--frames", "1e3", "n"}, "--frames"},
        {{"--frames", "99999999999999999999", "n"}, "--frames"},
        {{"--signal", "square", "n"}, "--signal"},
        {{"--chunks", "odd", "n"}, "--chunks"},
        {{"--pace", "-1", "n"}, "--pace"},
        {{"--timeout-ms", "0", "n"}, "--timeout-ms"},
        {{"--end", "soon", "n"}, "--end"},
        {{"--fault", "melt", "n"}, "--fault"},
        {{"--fault-code", "0", "n"}, "--fault-code"},
        {{"n", "--streams"}, "--streams needs a value"},
        {{"--bogus", "n"}, "--bogus"},
        {{"a", "b"}, "unexpected argument \"b\""},
        {{"--streams", "2"}, "mapping name"},
        {{"--seconds", "1", "--frames", "5", "n"}, "--seconds and --frames"},
        {{"--start-frame", "5", "--end", "none", "n"}, "--end none"},
        {{"--start-frame", "5", "--end", "4", "n"}, "--end"},
        {{"--start-frame", "18446744073709551615", "--frames", "1", "n"}, "--start-frame"},
        {{"--streams", "4", "--fault", "abort", "--fault-stream", "4", "n"}, "--fault-stream"},
        {{"--fault", "duplicate", "--fault-chunk", "0", "n"}, "--fault-chunk"},
        {{"--fault", "frame-overlap", "--fault-chunk", "0", "n"}, "--fault-chunk"},
        {{"--fault", "short-stream", "--end", "none", "n"}, "short-stream"},
        {{"--frames", "2048", "--frames-per-chunk", "1024", "--fault", "stall", "--fault-chunk",
          "2", "n"},
         "--fault-chunk"},
        {{"--verify", "out", "n"}, "--verify"},
        {{"--verify"}, "--verify needs a value"},
        {{"n", "--run-renderer", "renderer"}, "--run-renderer"},
    };
    for (const Case& c : cases) {
        const ParsedCommandLine parsed = parse(c.words);
        EXPECT_EQ(parsed.mode, Mode::Error) << ::testing::PrintToString(c.words);
        EXPECT_NE(parsed.error.find(c.named), std::string::npos)
            << ::testing::PrintToString(c.words) << " gave: " << parsed.error;
    }
}

TEST(ProducerOptions, FaultChunkMustExistInItsStream) {
    // 2048 frames in chunks of 1024 are chunks 0 and 1.
    const std::vector<std::string> base = {"--frames", "2048",         "--frames-per-chunk", "1024",
                                           "--fault",  "sequence-gap", "--fault-chunk"};
    auto with = [&](const std::string& chunk) {
        std::vector<std::string> words = base;
        words.push_back(chunk);
        words.push_back("n");
        return parse(words);
    };
    EXPECT_EQ(with("1").mode, Mode::Run);
    EXPECT_EQ(with("2").mode, Mode::Error);
    // Region faults have no chunk, so any chunk number is accepted with them.
    EXPECT_EQ(parse({"--fault", "wrong-version", "--fault-chunk", "999999", "n"}).mode, Mode::Run);
}

TEST(ProducerOptions, MainShowsHelpOrRefusesWithExitCodeTwo) {
    const std::atomic<bool> stop{false};
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(producerMain(nativeWords({"--help"}), stop, out, err), 0);
    EXPECT_EQ(out.str(), producerHelp());
    EXPECT_EQ(err.str(), "");
    // The limits in the help are the transport's own.
    for (const std::string& line :
         {"\n  --streams N              streams, 1 to " + std::to_string(transport::kMaxStreams),
          "\n  --slots N                ring slots per stream, 1 to " +
              std::to_string(transport::kMaxSlotsPerStream)}) {
        EXPECT_NE(out.str().find(line + " (default"), std::string::npos) << line;
    }

    out.str("");
    EXPECT_EQ(producerMain(nativeWords({"--version"}), stop, out, err), 0);
    EXPECT_EQ(out.str(), "vaskel_producer " + std::string(VASKEL_TEST_VERSION) + "\n");
    EXPECT_EQ(err.str(), "");

    out.str("");
    EXPECT_EQ(producerMain(nativeWords({"--slots", "0", "n"}), stop, out, err), 2);
    EXPECT_EQ(out.str(), "");
    EXPECT_EQ(err.str(), "vaskel_producer: --slots: expected a whole number from 1 to 64, got "
                         "\"0\"\ntry: vaskel_producer --help\n");
}

} // namespace
} // namespace vaskel::producer_tool
