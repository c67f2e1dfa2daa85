#include "entry/renderer.h"
#include "platform/time.h"
#include "producer_test_support.h"
#include "test_support.h"
#include "tools/producer/capture_verify.h"
#include "tools/producer/producer_run.h"
#include "transport/transport_mapping.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <map>
#include <sstream>
#include <thread>

namespace vaskel::producer_tool {
namespace {

using testing::nativeWords;
using testing::outcomeLine;
using testing::runInProcess;

TEST(ProducerJudge, VerdictFromTheSharedStatesAndTheChild) {
    struct Case {
        Observation seen;
        std::optional<Outcome> verdict;
    };
    const std::vector<Case> cases = {
        // Nothing decided while a renderer is attached and nothing failed.
        {{0, 0, false, std::nullopt, false}, std::nullopt},
        {{1, 0, false, std::nullopt, false}, std::nullopt},
        {{2, 0, false, std::nullopt, false}, Outcome::Completed},
        {{2, 0, false, 0, false}, Outcome::Completed},
        // Failures of the capture: chunk rejected (consumerState 3) or others (stays 1).
        {{3, 3, false, std::nullopt, false}, Outcome::CaptureFailed},
        {{1, 6, false, std::nullopt, false}, Outcome::CaptureFailed},
        {{1, 2, true, std::nullopt, false}, Outcome::CaptureFailed},
        // Refused at attach: a code but no consumer.
        {{0, 1, false, std::nullopt, false}, Outcome::NotAttached},
        // Our own code before any renderer came: wait for one to see it.
        {{0, 2, true, std::nullopt, false}, std::nullopt},
        {{0, 2, true, std::nullopt, true}, Outcome::NotAttached},
        // The child ended: before attaching, or attached without completing.
        {{0, 0, false, 3, false}, Outcome::NotAttached},
        {{1, 0, false, -1, false}, Outcome::CaptureFailed},
        // Silence for the timeout.
        {{0, 0, false, std::nullopt, true}, Outcome::NotAttached},
        {{1, 0, false, std::nullopt, true}, Outcome::RendererTimeout},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(judge(cases[i].seen), cases[i].verdict) << "case " << i;
    }
}

// Options for a production under `name`, which the test owns.
ProducerOptions optionsFor(const platform::NativeString& name, std::vector<std::string> words) {
    words.push_back("placeholder");
    ParsedCommandLine parsed = parseProducerCommandLine(nativeWords(words));
    EXPECT_EQ(parsed.mode, Mode::Run) << parsed.error;
    parsed.options.mappingName = name;
    return parsed.options;
}

bool regionExists(const platform::NativeString& name) {
    return static_cast<bool>(platform::Region::open(name));
}

TEST(ProducerRun, InterruptAbortsAndRemovesTheRegion) {
    const platform::NativeString name = vaskel::testing::uniqueRegionName("interrupt");
    const std::atomic<bool> stop{true};
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(runProduction(optionsFor(name, {"--frames", "100"}), stop, out, err), 130);
    EXPECT_EQ(outcomeLine(out.str())["outcome"], "interrupted");
    EXPECT_NE(err.str().find("interrupted"), std::string::npos);
    EXPECT_FALSE(regionExists(name));
}

TEST(ProducerRun, InterruptMidCaptureStopsTheRendererWithProducerAbort) {
    vaskel::testing::ScratchDir root("interrupted");
    // Ten seconds in real time: far from done when the interrupt comes.
    const auto result =
        runInProcess({"--streams", "2", "--pace", "1"}, root.path(), 20000, 5000, 150);
    EXPECT_EQ(result.exitCode, 130) << result.err;
    ASSERT_TRUE(result.attached);
    EXPECT_EQ(result.capture.failureCode, 6u); // producer_abort: the streams were aborted
    EXPECT_GT(result.capture.streams[0].writtenFrames, 0u);
    const auto outcome = outcomeLine(result.out);
    EXPECT_EQ(outcome.at("outcome"), "interrupted");
}

TEST(ProducerRun, NoRendererMeansNotAttachedAfterTheTimeout) {
    const platform::NativeString name = vaskel::testing::uniqueRegionName("lonely");
    const std::atomic<bool> stop{false};
    std::ostringstream out;
    std::ostringstream err;
    const std::int64_t start = platform::SteadyClock::now();
    EXPECT_EQ(
        runProduction(optionsFor(name, {"--frames", "100", "--timeout-ms", "100"}), stop, out, err),
        3);
    EXPECT_GE(platform::SteadyClock::now() - start, 100000000);
    const auto outcome = outcomeLine(out.str());
    EXPECT_EQ(outcome.at("outcome"), "not_attached");
    EXPECT_EQ(outcome.at("consumerState"), "0");
    EXPECT_EQ(outcome.count("rendererExit"), 0u);
    EXPECT_NE(out.str().find("waiting for a renderer"), std::string::npos);
    EXPECT_NE(err.str().find("within 100 ms"), std::string::npos) << err.str();
    EXPECT_FALSE(regionExists(name));
}

TEST(ProducerRun, ARendererThatAttachesButNeverDrainsTimesOut) {
    const platform::NativeString name = vaskel::testing::uniqueRegionName("frozen");
    std::atomic<bool> done{false};
    std::thread frozen([&] {
        transport::TransportMapping mapping;
        ASSERT_TRUE(waitForRegion(mapping, name, 5000));
        while (!done.load()) {
            platform::sleepMilliseconds(1);
        }
    });
    const std::atomic<bool> stop{false};
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(runProduction(optionsFor(name, {"--frames", "100000", "--timeout-ms", "200"}), stop,
                            out, err),
              5);
    done.store(true);
    frozen.join();
    EXPECT_EQ(outcomeLine(out.str()).at("outcome"), "renderer_timeout");
    EXPECT_EQ(outcomeLine(out.str()).at("consumerState"), "1");
    EXPECT_NE(err.str().find("neither drained nor reported for 200 ms"), std::string::npos);
    // A renderer started by hand: its output root is not known here, its role is named.
    EXPECT_NE(err.str().find("run: vaskel_wav repair <the renderer's output root>"),
              std::string::npos)
        << err.str();
}

TEST(ProducerRun, TakenNameIsASetupFailure) {
    const platform::NativeString name = vaskel::testing::uniqueRegionName("taken");
    const platform::ErrorOr<platform::Region> other = platform::Region::create(name, 4096);
    ASSERT_TRUE(other);
    const std::atomic<bool> stop{false};
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(runProduction(optionsFor(name, {"--frames", "100"}), stop, out, err), 6);
    EXPECT_NE(err.str().find("cannot create the region"), std::string::npos);
}

TEST(ProducerRun, ARendererThatCannotStartIsASetupFailureThatSaysWhy) {
    const platform::NativeString name = vaskel::testing::uniqueRegionName("nostart");
    ProducerOptions options = optionsFor(name, {"--frames", "100"});
    options.rendererPath = "vaskel-no-such-renderer";
    options.rendererArguments = {vaskel::testing::native("out")};
    const std::atomic<bool> stop{false};
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(runProduction(options, stop, out, err), 6);
    const std::string said =
        "vaskel_producer: cannot start the renderer \"vaskel-no-such-renderer\": ";
    ASSERT_EQ(err.str().rfind(said, 0), 0u) << err.str();
    EXPECT_GT(err.str().size(), said.size() + 1) << "no reason given";
    EXPECT_FALSE(regionExists(name));
}

// The renderer child's output goes to a directory of the run's own, never to one someone
// planted in the temporary directory under a name the run could be expected to use: what the
// planted names lead to stays as it was, and the run leaves nothing behind.
TEST(ProducerRun, TheRendererChildsOutputGoesOnlyToADirectoryOfItsOwn) {
    vaskel::testing::ScratchDir temporary("planted");
    vaskel::testing::ScratchDir root("planted-root");
    const auto victim = temporary / "victim";
    vaskel::testing::writeFile(victim, "someone else's");
    std::vector<std::filesystem::path> planted;
    for (int i = 0; i < 4; ++i) {
        const auto dir =
            temporary / ("vaskel-producer-" + std::to_string(platform::currentProcessId()) + "-" +
                         std::to_string(i));
        std::filesystem::create_directory(dir);
        for (const char* name : {"stdout", "stderr"}) {
            std::error_code linked;
            std::filesystem::create_symlink(victim, dir / name, linked);
            if (linked) {
                vaskel::testing::writeFile(dir / name, "someone else's"); // no links (Windows)
            }
            planted.push_back(dir / name);
        }
    }
    const platform::NativeString name = vaskel::testing::uniqueRegionName("planted");
    ProducerOptions options = optionsFor(name, {"--frames", "2048"});
    options.rendererPath = vaskel::testing::rendererPath();
    options.rendererArguments = {vaskel::testing::nativePath(root.path())};
    const std::atomic<bool> stop{false};
    std::ostringstream out;
    std::ostringstream err;
    // The temporary directory as both platforms find it.
    std::map<std::string, std::string> before;
    for (const char* variable : {"TMPDIR", "TMP"}) {
        const char* value = std::getenv(variable);
        before[variable] = value != nullptr ? value : "";
        vaskel::testing::setEnvironmentVariable(variable, temporary.path().string());
    }
    const int exitCode = runProduction(options, stop, out, err);
    for (const auto& [variable, value] : before) {
        vaskel::testing::setEnvironmentVariable(variable, value);
    }
    EXPECT_EQ(exitCode, 0) << out.str() << err.str();
    EXPECT_NE(out.str().find("streamId=0,writtenChunks="), std::string::npos)
        << "the renderer's summary is passed on: " << out.str();
    EXPECT_EQ(vaskel::testing::readFile(victim), "someone else's");
    for (const auto& path : planted) {
        EXPECT_EQ(vaskel::testing::readFile(path), "someone else's") << path;
    }
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator(temporary.path())) {
        ++entries;
    }
    EXPECT_EQ(entries, 5u) << "the run's own directory was not removed";
}

// Whole captures against the renderer's capture on a thread: what is published arrives, bit
// for bit, whatever the chunking, pacing and stream layout.
TEST(ProducerRun, CapturesVerifyAcrossChunkingAndLayouts) {
    const std::vector<std::vector<std::string>> runs = {
        {"--streams", "3", "--frames", "20000", "--frames-per-chunk", "256", "--slots", "4",
         "--signal", "pattern", "--chunks", "random", "--seed", "5"},
        {"--streams", "1", "--channels", "1", "--rate", "44100", "--frames", "5000",
         "--frames-per-chunk", "2048", "--slots", "1", "--start-frame", "777"},
        {"--streams", "2", "--frames", "3000", "--frames-per-chunk", "1", "--slots", "64", "--end",
         "none", "--signal", "pattern"},
        {"--streams", "128", "--frames", "1000", "--frames-per-chunk", "512", "--slots", "2",
         "--signal", "pattern"},
    };
    for (const auto& arguments : runs) {
        vaskel::testing::ScratchDir root("run");
        const auto result = runInProcess(arguments, root.path(), 5000, 5000);
        ASSERT_EQ(result.exitCode, 0) << ::testing::PrintToString(arguments) << result.err;
        EXPECT_TRUE(result.capture.success);
        EXPECT_EQ(outcomeLine(result.out).at("outcome"), "completed");
        const ParsedCommandLine parsed = parseProducerCommandLine(nativeWords([&] {
            auto words = arguments;
            words.push_back("n");
            return words;
        }()));
        const VerifyReport report = verifyCapture(root.path(), parsed.options.signal);
        std::ostringstream text;
        printReport(report, text);
        EXPECT_TRUE(report.ok()) << text.str();
    }
}

TEST(ProducerRun, PacedRunTakesItsTimeAndStillVerifies) {
    vaskel::testing::ScratchDir root("paced");
    // 0.3 s of audio at 3x real time: about 0.1 s, one chunk ahead of the clock.
    const std::vector<std::string> arguments = {"--streams", "2",      "--seconds",          "0.3",
                                                "--pace",    "3",      "--frames-per-chunk", "480",
                                                "--signal",  "pattern"};
    const std::int64_t start = platform::SteadyClock::now();
    const auto result = runInProcess(arguments, root.path(), 5000, 5000);
    const std::int64_t elapsed = platform::SteadyClock::now() - start;
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_GE(elapsed, 80000000); // (14400 - 480) frames at 144000 frames per second
    auto words = arguments;
    words.push_back("n");
    EXPECT_TRUE(
        verifyCapture(root.path(), parseProducerCommandLine(nativeWords(words)).options.signal)
            .ok());
}

// A renderer child killed mid-capture: the run ends at once rather than after its timeout, says
// the renderer was killed, and names the command that makes the files playable, quoted so that
// a shell runs it as printed. A shell that execs the renderer kills it, as a user's kill -9 would.
TEST(ProducerRun, AKilledRendererChildEndsTheRunAtOnceWithTheRepairCommand) {
    if (vaskel::testing::kWindowsTarget) {
        GTEST_SKIP() << "NOT RUN on Windows: the renderer is killed by a POSIX shell that execs it";
    }
    vaskel::testing::ScratchDir dir("killed-renderer");
    const auto root = dir / "take one";
    const auto killer = dir / "renderer.sh";
    vaskel::testing::writeFile(killer, "#!/bin/sh\n"
                                       "(while [ ! -e \"$2/stream-0.wav\" ]; do sleep 0.02; done\n"
                                       " sleep 0.3; kill -9 $$) &\n"
                                       "exec '" +
                                           vaskel::testing::rendererPath().string() + "' \"$@\"\n");
    std::filesystem::permissions(killer, std::filesystem::perms::owner_all);
    const std::string region =
        std::filesystem::path(vaskel::testing::uniqueRegionName("killed")).string();
    const std::int64_t start = platform::SteadyClock::now();
    // 30 s of audio in real time and a 60 s timeout: only a death seen at once ends it soon.
    const auto result = testing::runTool({region, "--streams", "2", "--seconds", "30", "--pace",
                                          "1", "--timeout-ms", "60000", "--run-renderer",
                                          killer.string(), root.string()});
    const std::int64_t elapsed = platform::SteadyClock::now() - start;
    EXPECT_EQ(result.exitCode, 4) << result.out << result.err;
    EXPECT_LT(elapsed, 10 * platform::kNanosecondsPerSecond);
    const auto outcome = outcomeLine(result.out);
    EXPECT_EQ(outcome.at("outcome"), "capture_failed");
    EXPECT_EQ(outcome.at("rendererExit"), "-1");
    EXPECT_NE(result.err.find("capture failed: the renderer was killed before completing"),
              std::string::npos)
        << result.err;
    const std::string said = "run: vaskel_wav repair \"" + root.string() + "\"";
    const std::size_t at = result.err.find(said);
    ASSERT_NE(at, std::string::npos) << result.err;
    // The command as printed, run by a shell, repairs the files.
    const std::string command = result.err.substr(at + 5, said.size() - 5);
    const auto repaired = vaskel::testing::runChild(
        "/bin/sh",
        nativeWords({"-c", "PATH='" + vaskel::testing::rendererPath().parent_path().string() +
                               "':$PATH " + command}));
    EXPECT_EQ(repaired.exitCode, 0) << repaired.out << repaired.err;
    EXPECT_NE(repaired.out.find("repair: 2 repaired"), std::string::npos) << repaired.out;
}

} // namespace
} // namespace vaskel::producer_tool
