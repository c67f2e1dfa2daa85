// A renderer asked to stop: during a capture it writes the chunks it took whole, tells the
// producer as an idle timeout does (failureCode 6, consumerState left at 1) and exits 130 with
// "interrupted"; during the attach wait it ends at once and writes nothing. The binary gets real
// signals on Linux; on every platform the stop flag that the handler sets is driven in-process.
#include "capture/capture_loop.h"
#include "entry/renderer.h"
#include "entry/stop_requests.h"
#include "output/output_paths.h"
#include "output/wav_format.h"
#include "producer/transport_producer.h"
#include "test_support.h"

#include <chrono>
#include <gtest/gtest.h>
#include <thread>

namespace vaskel {
namespace {

using namespace transport;
using producer::TransportProducer;
using testing::native;
using testing::nativePath;
using testing::ScratchDir;
using testing::StopSignal;

constexpr std::uint32_t kChunks = 3;
constexpr std::uint32_t kStreamFrames = 256;

// A region of two streams with kChunks chunks of the pattern in each ring, drained by whoever
// attached, the streams left open.
bool publishAndWaitForDrain(TransportProducer& producer, const platform::NativeString& name) {
    if (!producer.create(name, testing::makeConfig(2, 4, kStreamFrames))) {
        return false;
    }
    for (int i = 0; i < 20000 && producer.consumerState() != kConsumerAttached; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    for (std::uint32_t s = 0; s < 2; ++s) {
        for (std::uint32_t c = 0; c < kChunks; ++c) {
            const auto chunk = testing::patternChunk(s, c * kStreamFrames, kStreamFrames, 2);
            if (!producer.tryPublish(s, chunk.data(), kStreamFrames)) {
                return false;
            }
        }
    }
    for (int i = 0; i < 20000; ++i) {
        if (producer.readIndex(0) == kChunks && producer.readIndex(1) == kChunks) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

// What the stop leaves: the producer told by code 6, the renderer still attached, each file its
// placeholder header in front of every chunk taken.
void expectStoppedAsIdle(const TransportProducer& producer, const std::filesystem::path& root) {
    EXPECT_EQ(producer.failureCode(), 6u);
    EXPECT_EQ(producer.consumerState(), kConsumerAttached);
    for (std::uint32_t s = 0; s < 2; ++s) {
        std::string expected = testing::wavHeaderBytes(48000, 2, 0);
        for (std::uint32_t c = 0; c < kChunks; ++c) {
            const auto chunk = testing::patternChunk(s, c * kStreamFrames, kStreamFrames, 2);
            expected.append(reinterpret_cast<const char*>(chunk.data()), chunk.size() * 4);
        }
        EXPECT_TRUE(testing::readFile(streamFilePath(root, s)) == expected) << "stream " << s;
    }
}

struct InterruptCase {
    std::string name;
    StopSignal signal;
    bool whileWaiting; // before any region exists
    bool ignored;      // the signal was ignored when the renderer started (nohup, background job)
};

class RendererInterrupt : public ::testing::TestWithParam<InterruptCase> {};

TEST_P(RendererInterrupt, StopsCleanlyWithExit130) {
    if (testing::kWindowsTarget) {
        GTEST_SKIP() << "a console event cannot be sent to one child process of a Wine test";
    }
    const InterruptCase& c = GetParam();
    ScratchDir dir("interrupt");
    const auto name = testing::uniqueRegionName("interrupt");
    const auto root = dir / "out";
    // The shell ignores the signals as nohup and a script's background job do, and the renderer
    // inherits that.
    const std::vector<platform::NativeString> arguments = {
        native("-c"),
        native(c.ignored ? "trap '' INT TERM HUP; exec \"$0\" \"$@\"" : "exec \"$0\" \"$@\""),
        nativePath(testing::rendererPath()),
        name,
        nativePath(root),
        native("0"),
        native("30000"),
        native("30000")};
    testing::RunningChild renderer("/bin/sh", arguments);
    TransportProducer producer;
    if (c.whileWaiting) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    } else {
        ASSERT_TRUE(publishAndWaitForDrain(producer, name));
    }
    const auto asked = std::chrono::steady_clock::now();
    ASSERT_TRUE(renderer.interrupt(c.signal));
    if (c.ignored) {
        // Time for a signal that was not ignored to end the capture; then the producer ends it.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        producer.closeStream(0);
        producer.closeStream(1);
        const testing::ChildResult result = renderer.wait();
        EXPECT_EQ(result.exitCode, 0) << result.err;
        EXPECT_EQ(producer.consumerState(), kConsumerCompleted);
        return;
    }
    const testing::ChildResult result = renderer.wait();
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(5));
    EXPECT_EQ(result.exitCode, 130);
    EXPECT_EQ(result.out, "");
    if (c.whileWaiting) {
        EXPECT_EQ(result.err, "interrupted\n");
        EXPECT_FALSE(std::filesystem::exists(root)) << "nothing is written before attach";
    } else {
        // The way back follows on the next line.
        EXPECT_EQ(result.err, "interrupted\ninterrupted: 2 stream files keep their audio; run: "
                              "vaskel_wav repair " +
                                  root.string() + "\n");
        expectStoppedAsIdle(producer, root);
        EXPECT_TRUE(std::filesystem::exists(root / "render-progress.json"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Linux, RendererInterrupt,
    ::testing::Values(InterruptCase{"sigint_capturing", StopSignal::Interrupt, false, false},
                      InterruptCase{"sigterm_capturing", StopSignal::Terminate, false, false},
                      InterruptCase{"sigint_waiting", StopSignal::Interrupt, true, false},
                      InterruptCase{"sigterm_waiting", StopSignal::Terminate, true, false},
                      InterruptCase{"sigint_ignored", StopSignal::Interrupt, false, true},
                      InterruptCase{"sigterm_ignored", StopSignal::Terminate, false, true}),
    [](const auto& param) { return param.param.name; });

// Stops that come while the renderer waits out a 20-second delay-us after a chunk. The stop is
// seen within a slice of the delay, not after the whole of it; a second signal right after the
// first (SIGHUP then SIGTERM, as a logout sends them) does not cut the clean stop short.
struct DelayedStopCase {
    std::string name;
    std::vector<StopSignal> signals; // sent back to back
};

class RendererInterruptInADelay : public ::testing::TestWithParam<DelayedStopCase> {};

TEST_P(RendererInterruptInADelay, EndsThroughTheCleanStopWellBeforeTheDelay) {
    if (testing::kWindowsTarget) {
        GTEST_SKIP() << "a console event cannot be sent to one child process of a Wine test";
    }
    ScratchDir dir("interrupt-delay");
    const auto name = testing::uniqueRegionName("interrupt-delay");
    const auto root = dir / "out";
    testing::RendererProcess renderer(
        {name, nativePath(root), native("20000000"), native("60000"), native("30000")});
    TransportProducer producer;
    ASSERT_TRUE(producer.create(name, testing::makeConfig(2, 4, kStreamFrames)));
    for (int i = 0; i < 20000 && producer.consumerState() != kConsumerAttached; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const auto chunk = testing::patternChunk(0, 0, kStreamFrames, 2);
    ASSERT_TRUE(producer.tryPublish(0, chunk.data(), kStreamFrames));
    for (int i = 0; i < 20000 && producer.readIndex(0) != 1; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const auto asked = std::chrono::steady_clock::now();
    for (const StopSignal signal : GetParam().signals) {
        ASSERT_TRUE(renderer.interrupt(signal));
    }
    const testing::ChildResult result = renderer.wait();
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(5));
    EXPECT_EQ(result.exitCode, 130);
    EXPECT_EQ(result.err, "interrupted\ninterrupted: 2 stream files keep their audio; run: "
                          "vaskel_wav repair " +
                              root.string() + "\n");
    EXPECT_EQ(producer.failureCode(), 6u);
    EXPECT_EQ(producer.consumerState(), kConsumerAttached);
    // The chunk taken is in its file whole, behind the placeholder header a repair completes.
    const std::string header = testing::wavHeaderBytes(48000, 2, 0);
    EXPECT_TRUE(testing::readFile(streamFilePath(root, 0)) ==
                header + std::string(reinterpret_cast<const char*>(chunk.data()),
                                     chunk.size() * sizeof(float)));
    EXPECT_TRUE(testing::readFile(streamFilePath(root, 1)) == header);
}

INSTANTIATE_TEST_SUITE_P(Linux, RendererInterruptInADelay,
                         ::testing::Values(DelayedStopCase{"sigint", {StopSignal::Interrupt}},
                                           DelayedStopCase{
                                               "sighup_then_sigterm",
                                               {StopSignal::HangUp, StopSignal::Terminate}}),
                         [](const auto& param) { return param.param.name; });

// What the handler does with each request: a second one within the grace (a logout's SIGHUP and
// SIGTERM) is absorbed, so the clean stop runs to its end; a later one is a user who will not
// wait, and ends the process at once.
TEST(StopRequests, OnlyARequestAfterTheGraceEndsTheProcessAtOnce) {
    using Then = StopRequests::Then;
    constexpr std::int64_t kFirst = 5000000000;
    const struct {
        std::int64_t atNs;
        Then then;
    } requests[] = {
        {kFirst, Then::Stop},
        {kFirst, Then::Absorb},
        {kFirst - 1000, Then::Absorb}, // another thread's earlier reading
        {kFirst + kStopGraceNs - 1, Then::Absorb},
        {kFirst + kStopGraceNs, Then::ExitNow},
    };
    StopRequests handler;
    EXPECT_FALSE(handler.stopFlag().load());
    for (const auto& request : requests) {
        EXPECT_EQ(handler.onRequest(request.atNs), request.then) << request.atNs;
        EXPECT_TRUE(handler.stopFlag().load());
    }
}

// The flag the handler sets, in this process: the capture stops after the chunks it took, and a
// flag already set ends the attach wait before a first attempt, with nothing written.
TEST(RendererInterruptInProcess, TheStopFlagEndsCaptureAndWait) {
    ScratchDir dir("interrupt-flag");
    const auto name = testing::uniqueRegionName("interrupt-flag");
    std::atomic<bool> stop{false};
    int exitCode = -1;
    std::thread renderer([&] {
        exitCode = runRenderer(
            {name, nativePath(dir / "out"), native("0"), native("30000"), native("30000")}, &stop);
    });
    TransportProducer producer;
    const bool drained = publishAndWaitForDrain(producer, name);
    stop.store(true);
    renderer.join();
    ASSERT_TRUE(drained);
    EXPECT_EQ(exitCode, 130);
    expectStoppedAsIdle(producer, dir / "out");

    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(runRenderer({testing::uniqueRegionName("interrupt-none"), nativePath(dir / "never"),
                           native("0"), native("30000"), native("30000")},
                          &stop),
              130);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    EXPECT_FALSE(std::filesystem::exists(dir / "never"));
}

} // namespace
} // namespace vaskel
