#include "capture/disk_work.h"
#include "output/durable_record.h"
#include "output/output_paths.h"
#include "output/stream_writer.h"
#include "producer/transport_producer.h"
#include "test_support.h"

#include <atomic>
#include <chrono>
#include <future>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

namespace vaskel {
namespace {

using testing::makeConfig;
using testing::ScratchDir;

constexpr std::int64_t kMs = 1000000;

// What the disk work asked for, in order: "start offset+bytes", "sync stream-<i>".
std::vector<std::string> diskSeen;
std::error_code recordStep(std::intptr_t, const WritebackStep& step) {
    if (!step.start.empty()) {
        diskSeen.push_back("start " + std::to_string(step.start.offset) + "+" +
                           std::to_string(step.start.bytes));
    }
    return {};
}
std::error_code recordSync(const StreamWriter& writer) {
    diskSeen.push_back("sync " + std::to_string(writer.bytesWritten()));
    return {};
}

// A snapshot due while the last is still being written is skipped, never queued: the disk
// thread writes the newest numbers it was handed, once.
TEST(DiskWork, ASnapshotDueWhileTheLastIsWrittenIsSkippedNotQueued) {
    SnapshotHandOver handOver;
    EXPECT_FALSE(handOver.waiting());
    EXPECT_TRUE(handOver.offer(ProgressCounts{1, 1, 0, 100, 0}));
    EXPECT_FALSE(handOver.offer(ProgressCounts{1, 1, 0, 200, 0}));
    ASSERT_TRUE(handOver.waiting());
    EXPECT_EQ(handOver.counts().writtenFrames, 100u);
    handOver.done();
    EXPECT_FALSE(handOver.waiting());
    EXPECT_TRUE(handOver.offer(ProgressCounts{1, 1, 0, 300, 0}));
    EXPECT_EQ(handOver.counts().writtenFrames, 300u);
}

// At a low byte rate no window ever fills: what was written is still started and synced within
// a round's time, and only then recorded as durable. A round with nothing new does nothing.
TEST(DiskWork, RoundsKeptByTimeStartSyncAndThenRecord) {
    const ScratchDir dir("disk-work");
    platform::Directory root;
    ASSERT_FALSE(root.open(dir.path()));
    std::vector<StreamWriter> writers(1);
    ASSERT_FALSE(writers[0].begin(root, streamFileName(0), makeConfig(1, 4, 64)));
    CaptureEnvironment environment;
    environment.writeback = &recordStep;
    environment.syncFile = &recordSync;
    DiskWork::Settings settings;
    settings.windowBytes = std::uint64_t{1} << 20;
    settings.durable = true;
    settings.roundEveryNs = 500 * kMs;
    DiskWork work(root, writers, environment, settings, 0);
    const std::vector<std::uint8_t> chunk(1000, 1);
    const auto append = [&](std::uint64_t bytes) {
        ASSERT_TRUE(writers[0].append(reinterpret_cast<const std::byte*>(chunk.data()), bytes));
        work.publish(0, writers[0].bytesWritten());
    };
    const auto recorded = [&] {
        // As the tools read it, while the capture still holds it.
        const auto bytes = platform::readSmallRegularFile(dir / kDurableFileName, 1 << 16);
        if (!bytes) {
            return std::vector<std::uint64_t>{};
        }
        const auto parsed = parseDurableRecord(
            std::span(reinterpret_cast<const std::uint8_t*>(bytes->data()), bytes->size()));
        return parsed ? parsed->lengths : std::vector<std::uint64_t>{};
    };
    struct Step {
        std::int64_t at;
        std::uint64_t append;
        std::vector<std::string> seen;
        std::vector<std::uint64_t> recorded;
    };
    const Step steps[] = {
        {100 * kMs, 1000, {}, {}},
        {499 * kMs, 0, {}, {}},
        {500 * kMs, 0, {"start 0+1044", "sync 1044"}, {1044}},
        {900 * kMs, 500, {}, {1044}},
        {999 * kMs, 0, {}, {1044}},
        {1000 * kMs, 0, {"start 1044+500", "sync 1544"}, {1544}},
        {2000 * kMs, 0, {}, {1544}},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.at / kMs);
        if (step.append != 0) {
            append(step.append);
        }
        diskSeen.clear();
        work.tick(step.at);
        EXPECT_EQ(diskSeen, step.seen);
        EXPECT_EQ(recorded(), step.recorded);
        EXPECT_FALSE(work.failed());
    }
}

// The disk may take seconds to answer; the drain goes on meanwhile. Here every sync of the
// disk thread hangs until the producer has published 200 chunks through a ring of 4: only a
// drain that never waits for the disk lets it.
std::atomic<bool> disksHang{false};
std::error_code hangingSync(const StreamWriter& writer) {
    while (disksHang.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return writer.sync();
}

TEST(DiskWork, TheDrainGoesOnWhileTheDiskHangs) {
    const ScratchDir dir("disk-hangs");
    const platform::NativeString name = testing::uniqueRegionName("disk-hangs");
    const auto config = makeConfig(1, 4, 64, 2);
    producer::TransportProducer producer;
    ASSERT_TRUE(producer.create(name, config));
    transport::TransportMapping mapping;
    ASSERT_TRUE(mapping.attach(name));
    disksHang = true;
    CaptureEnvironment environment;
    environment.syncFile = &hangingSync;
    environment.onDisk = [](std::intptr_t) { return true; };
    environment.durableRoundNs = 0; // a round at every tick
    auto capture = std::async(std::launch::async, [&] {
        return runCapture(mapping, dir / "out", 0, 60000, environment);
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    std::uint32_t published = 0;
    while (published < 200 && std::chrono::steady_clock::now() < deadline) {
        const auto samples = testing::patternChunk(0, published * 64ull, 64, 2);
        if (producer.tryPublish(0, samples.data(), 64)) {
            ++published;
        } else {
            std::this_thread::yield();
        }
    }
    const bool hungThroughout = disksHang.exchange(false);
    producer.closeStream(0);
    const CaptureResult result = capture.get();
    EXPECT_TRUE(hungThroughout);
    EXPECT_EQ(published, 200u) << "the drain waited for the disk";
    EXPECT_TRUE(result.success);
    EXPECT_EQ(result.streams[0].writtenChunks, 200u);
}

} // namespace
} // namespace vaskel
