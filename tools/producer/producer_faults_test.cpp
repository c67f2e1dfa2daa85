// Every fault the tool injects, against the renderer's capture: in this process on every
// platform, and end to end (vaskel_producer --run-renderer vaskel_renderer) on Linux in full and
// under Wine for a few, since every process start there costs seconds.
#include "producer_test_support.h"
#include "test_support.h"
#include "tools/producer/capture_verify.h"
#include "tools/producer/producer_options.h"
#include "transport/failure_code.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <sstream>

namespace vaskel::producer_tool {
namespace {

using testing::linesOf;
using testing::nativeWords;
using testing::outcomeLine;

struct FaultCase {
    std::string fault;
    std::uint32_t failureCode; // what the region's failure word ends with
    int exitCode;              // of the renderer, and the producer's own
    std::string rendererWord;  // the renderer's last word on standard error; empty on success
    bool underWine;            // also run end to end on Windows
};

void PrintTo(const FaultCase& c, std::ostream* out) {
    *out << c.fault;
}

const std::vector<FaultCase>& faultCases() {
    static const std::vector<FaultCase> cases = {
        {"sequence-gap", 3, 4, "gap", true},
        {"duplicate", 4, 4, "duplicate_or_out_of_order", false},
        {"frame-gap", 3, 4, "gap", false},
        {"frame-overlap", 4, 4, "duplicate_or_out_of_order", false},
        {"wrong-stream-id", 1, 4, "protocol_mismatch", false},
        {"wrong-channels", 1, 4, "protocol_mismatch", false},
        {"zero-frames", 1, 4, "protocol_mismatch", false},
        {"too-many-frames", 1, 4, "protocol_mismatch", false},
        {"wrong-bits", 1, 4, "protocol_mismatch", false},
        {"abort", 6, 4, "producer_abort", false},
        {"publish-failure", 2, 4, "overflow", false},
        {"stall", 6, 4, "producer_abort", true},
        {"short-stream", 5, 4, "logical_range_mismatch", false},
        {"header-rewrite", 0, 0, "", false},
        {"wrong-version", 1, 3, "mapping_open_timeout", true},
        {"invalid-config", 1, 3, "mapping_open_timeout", false},
        {"short-region", 0, 3, "mapping_open_timeout", false},
    };
    return cases;
}

// Three streams of random chunks; the fault hits stream 1 at chunk 5, past the first fill of
// its four-slot ring, so the renderer has attached and drained by then. A region that is never
// attached is given up after a second when no renderer child says so sooner.
std::vector<std::string> producerArguments(const FaultCase& c) {
    return {"--streams",
            "3",
            "--frames",
            "20000",
            "--frames-per-chunk",
            "256",
            "--slots",
            "4",
            "--signal",
            "pattern",
            "--chunks",
            "random",
            "--seed",
            "11",
            "--fault",
            c.fault,
            "--fault-stream",
            "1",
            "--fault-chunk",
            "5",
            "--timeout-ms",
            c.exitCode == 3 ? "1000" : "30000"};
}

// Short renderer timeouts only where the fault waits for them.
std::uint32_t idleTimeoutMs(const FaultCase& c) {
    return c.fault == "stall" ? 300 : 20000;
}
std::uint32_t mappingOpenTimeoutMs(const FaultCase& c) {
    return c.exitCode == 3 ? 300 : 20000;
}

SignalSettings signalOf(const std::vector<std::string>& arguments) {
    std::vector<std::string> words = arguments;
    words.push_back("n");
    return parseProducerCommandLine(nativeWords(words)).options.signal;
}

std::string caseName(const ::testing::TestParamInfo<FaultCase>& param) {
    std::string name = param.param.fault;
    std::replace(name.begin(), name.end(), '-', '_');
    return name;
}

class ProducerFault : public ::testing::TestWithParam<FaultCase> {};

TEST_P(ProducerFault, InProcessCaptureEndsWithTheFaultsFailure) {
    const FaultCase& c = GetParam();
    vaskel::testing::ScratchDir root("fault");
    const auto result = testing::runInProcess(producerArguments(c), root.path(), idleTimeoutMs(c),
                                              mappingOpenTimeoutMs(c));
    EXPECT_EQ(result.exitCode, c.exitCode) << result.out << result.err;
    const auto outcome = outcomeLine(result.out);
    EXPECT_EQ(outcome.at("failureCode"), std::to_string(c.failureCode));
    EXPECT_EQ(outcome.count("rendererExit"), 0u);
    if (c.exitCode == 3) {
        EXPECT_FALSE(result.attached);
        EXPECT_EQ(outcome.at("outcome"), "not_attached");
        return;
    }
    ASSERT_TRUE(result.attached);
    EXPECT_EQ(result.capture.failureCode, c.failureCode);
    EXPECT_EQ(result.capture.success, c.exitCode == 0);
    if (c.exitCode == 0) {
        EXPECT_TRUE(verifyCapture(root.path(), signalOf(producerArguments(c))).ok());
    } else {
        EXPECT_EQ(failureCodeName(result.capture.failureCode), c.rendererWord);
        EXPECT_EQ(outcome.at("outcome"), "capture_failed");
    }
}

INSTANTIATE_TEST_SUITE_P(Every, ProducerFault, ::testing::ValuesIn(faultCases()), caseName);

std::vector<FaultCase> endToEndCases() {
    std::vector<FaultCase> cases;
    for (const FaultCase& c : faultCases()) {
        if (!vaskel::testing::kWindowsTarget || c.underWine) {
            cases.push_back(c);
        }
    }
    return cases;
}

std::vector<std::string> withRenderer(std::vector<std::string> arguments,
                                      const std::filesystem::path& root, std::uint32_t idleMs,
                                      std::uint32_t openMs) {
    const platform::NativeString name = vaskel::testing::uniqueRegionName("e2e");
    arguments.push_back(toDisplay(name));
    arguments.push_back("--run-renderer");
    arguments.push_back(vaskel::testing::rendererPath().string());
    arguments.push_back(root.string());
    arguments.push_back("0");
    arguments.push_back(std::to_string(idleMs));
    arguments.push_back(std::to_string(openMs));
    return arguments;
}

class ProducerFaultEndToEnd : public ::testing::TestWithParam<FaultCase> {};

TEST_P(ProducerFaultEndToEnd, RendererReportsTheFaultsFailure) {
    const FaultCase& c = GetParam();
    vaskel::testing::ScratchDir root("e2e-fault");
    const auto result = testing::runTool(
        withRenderer(producerArguments(c), root.path(), idleTimeoutMs(c), mappingOpenTimeoutMs(c)));
    EXPECT_EQ(result.exitCode, c.exitCode) << result.out << result.err;
    const auto outcome = outcomeLine(result.out);
    EXPECT_EQ(outcome.at("rendererExit"), std::to_string(c.exitCode));
    EXPECT_EQ(outcome.at("failureCode"), std::to_string(c.failureCode));
    if (c.exitCode == 0) {
        EXPECT_TRUE(verifyCapture(root.path(), signalOf(producerArguments(c))).ok());
        return;
    }
    // The renderer's failure word, passed on, then the producer's own explanation.
    const auto errors = linesOf(result.err);
    ASSERT_FALSE(errors.empty());
    EXPECT_EQ(errors.front(), c.rendererWord) << result.err;
    EXPECT_EQ(errors.back().rfind("vaskel_producer: ", 0), 0u) << result.err;
}

INSTANTIATE_TEST_SUITE_P(Tool, ProducerFaultEndToEnd, ::testing::ValuesIn(endToEndCases()),
                         caseName);

TEST(ProducerEndToEnd, CaptureVerifiesAndTheRegionIsGone) {
    vaskel::testing::ScratchDir root("e2e-good");
    const std::vector<std::string> signal = {"--streams", "3",       "--seconds", "0.5",
                                             "--signal",  "pattern", "--chunks",  "random"};
    const auto arguments = withRenderer(signal, root.path(), 20000, 20000);
    const auto result = testing::runTool(arguments);
    ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
    EXPECT_EQ(result.err, "");

    // The region line, the renderer's summary as it printed it, the outcome.
    const auto lines = linesOf(result.out);
    ASSERT_EQ(lines.size(), 6u) << result.out;
    const std::string name = arguments[signal.size()];
    EXPECT_EQ(lines[0].rfind("region " + name + ": 3 streams, 2 channels, 48000 Hz", 0), 0u);
    EXPECT_EQ(lines[1], "mapping=" + name + ",streamCount=3");
    EXPECT_EQ(lines[2].rfind("streamId=0,writtenChunks=", 0), 0u);
    EXPECT_NE(lines[4].find(",writtenFrames=24000,"), std::string::npos);
    EXPECT_EQ(lines[5],
              "outcome=completed,failureCode=0,failureName=none,consumerState=2,rendererExit=0");
    EXPECT_FALSE(platform::Region::open(vaskel::testing::native(name)));

    // The tool's own verification agrees, and reports each file.
    std::vector<std::string> verify = signal;
    verify.insert(verify.begin(), {"--verify", root.path().string()});
    const auto verified = testing::runTool(verify);
    EXPECT_EQ(verified.exitCode, 0) << verified.out << verified.err;
    const auto report = linesOf(verified.out);
    ASSERT_EQ(report.size(), 5u) << verified.out;
    EXPECT_EQ(report[2], "stream-2.wav: ok, 24000 frames, 2 channels, 48000 Hz");
    EXPECT_EQ(report[4], "verify: ok, 3 of 3 stream files match, progress file matches");

    // A different signal setting makes the same files fail verification.
    verify.push_back("--channels");
    verify.push_back("1");
    EXPECT_EQ(testing::runTool(verify).exitCode, 1);
}

TEST(ProducerEndToEnd, BadCommandLineNamesTheOption) {
    const auto result = testing::runTool({"--frames-per-chunk", "4096", "demo"});
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(linesOf(result.err).front(), "vaskel_producer: --frames-per-chunk: expected a whole "
                                           "number from 1 to 2048, got \"4096\"");
}

// In real time the renderer spends most of its passes asleep between chunks; with one slot of
// 64 frames the ring lasts 1.3 ms and each sleep a quarter of it. Every sample still arrives.
TEST(ProducerEndToEnd, ARealTimeCaptureThatSleepsBetweenChunksStaysExact) {
    if (vaskel::testing::kWindowsTarget) {
        // ProducerRun.PacedRunTakesItsTimeAndStillVerifies sleeps on the Windows timer in process.
        GTEST_SKIP() << "a Linux-only case: process starts under Wine are slow";
    }
    vaskel::testing::ScratchDir root("e2e-realtime");
    const std::vector<std::string> arguments = {"--streams", "3", "--seconds",          "0.4",
                                                "--pace",    "1", "--frames-per-chunk", "64",
                                                "--slots",   "1", "--signal",           "pattern"};
    const auto result = testing::runTool(withRenderer(arguments, root.path(), 20000, 20000));
    ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
    const VerifyReport report = verifyCapture(root.path(), signalOf(arguments));
    std::ostringstream text;
    printReport(report, text);
    EXPECT_TRUE(report.ok()) << text.str();
}

TEST(ProducerEndToEnd, RendererThatRefusesItsCommandLineNeverAttaches) {
    if (vaskel::testing::kWindowsTarget) {
        GTEST_SKIP() << "a Linux-only case: process starts under Wine are slow";
    }
    vaskel::testing::ScratchDir root("e2e-usage");
    const platform::NativeString name = vaskel::testing::uniqueRegionName("e2e-usage");
    const auto result = testing::runTool({"--frames", "100", toDisplay(name), "--run-renderer",
                                          vaskel::testing::rendererPath().string(),
                                          root.path().string(), "0", "0"});
    EXPECT_EQ(result.exitCode, 3);
    EXPECT_EQ(linesOf(result.err).front(), "idle_timeout_invalid");
    EXPECT_EQ(outcomeLine(result.out).at("rendererExit"), "2");
    EXPECT_NE(result.err.find("the renderer ended with exit code 2"), std::string::npos);
}

} // namespace
} // namespace vaskel::producer_tool
