#include "capture/capture_result.h"
#include "output/progress_file.h"
#include "test_support.h"

#include <cstring>
#include <gtest/gtest.h>
#include <new>
#include <ostream>
#include <string>
#include <vector>

namespace vaskel {

// Failures show the counts as the snapshot would.
void PrintTo(const ProgressCounts& counts, std::ostream* out) {
    *out << formatProgress(counts, false);
}

namespace {

using testing::makeConfig;

transport::TransportConfig spanConfig(std::uint32_t streams, std::uint64_t start,
                                      std::uint64_t end) {
    return makeConfig(streams, 4, 256, 2, 48000, start, end);
}

// A result whose streams 0, 1, ... wrote these frames.
CaptureResult withFrames(const std::vector<std::uint64_t>& frames) {
    CaptureResult result;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        result.streams[i].writtenFrames = frames[i];
    }
    return result;
}

TEST(ProgressCountsOfAResult, EveryRuleOfTheSnapshotNumbers) {
    constexpr std::uint64_t k40 = std::uint64_t{1} << 40;
    struct Row {
        const char* what;
        std::uint32_t streams;
        std::uint64_t start, end;
        std::vector<std::uint64_t> frames;
        ProgressCounts expected; // streams, active, completed, written, total
    };
    const Row rows[] = {
        {"two streams of 300 frames, span 400", 2, 0, 400, {300, 300}, {2, 2, 1, 600, 800}},
        {"both streams at the end", 2, 0, 400, {400, 400}, {2, 2, 2, 800, 800}},
        {"first snapshot: only the total", 3, 1000, 5000, {}, {3, 0, 0, 0, 12000}},
        {"no declared end: no estimate", 2, 0, 0, {500, 700}, {2, 2, 0, 1200, 0}},
        {"equal non-zero start and end: span 0", 2, 5000, 5000, {9, 0}, {2, 1, 0, 9, 0}},
        {"end before start: no span", 2, 5000, 10, {9, 9}, {2, 2, 0, 18, 0}},
        {"completed estimated from the total", 2, 0, 1000, {1500, 0}, {2, 1, 1, 1500, 2000}},
        {"estimate capped at streamCount", 2, 100, 200, {500, 400}, {2, 2, 2, 900, 200}},
        {"streams beyond streamCount ignored", 3, 0, 100, {10, 0, 20, 1000000}, {3, 2, 0, 30, 300}},
        {"sums in 64 bits",
         128,
         0,
         2 * k40,
         std::vector<std::uint64_t>(128, k40),
         {128, 128, 64, 128 * k40, 256 * k40}},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(
            progressCounts(spanConfig(row.streams, row.start, row.end), withFrames(row.frames)),
            row.expected)
            << row.what;
    }
}

TEST(ProgressCountsOfAResult, SnapshotTextByteForByte) {
    const auto config = spanConfig(2, 0, 400);
    EXPECT_EQ(formatProgress(progressCounts(config, withFrames({300, 300})), false),
              "{\"schemaVersion\":1,\"state\":\"capturing\",\"streamCount\":2,"
              "\"activeStreams\":2,\"completedStreams\":1,\"writtenFrames\":600,"
              "\"totalFrames\":800}");
    EXPECT_EQ(formatProgress(progressCounts(config, withFrames({400, 400})), true),
              "{\"schemaVersion\":1,\"state\":\"complete\",\"streamCount\":2,"
              "\"activeStreams\":2,\"completedStreams\":2,\"writtenFrames\":800,"
              "\"totalFrames\":800}");
    EXPECT_EQ(
        formatProgress(ProgressCounts{128, 128, 64, std::uint64_t{1} << 47, std::uint64_t{1} << 48},
                       false),
        "{\"schemaVersion\":1,\"state\":\"capturing\",\"streamCount\":128,"
        "\"activeStreams\":128,\"completedStreams\":64,\"writtenFrames\":140737488355328,"
        "\"totalFrames\":281474976710656}");
}

TEST(CaptureResult, StartsInItsInitialState) {
    // Built over garbage, so a field without an initial value would show it.
    alignas(CaptureResult) unsigned char storage[sizeof(CaptureResult)];
    std::memset(storage, 0xA5, sizeof storage);
    const CaptureResult* result = new (storage) CaptureResult;

    EXPECT_FALSE(result->success);
    EXPECT_EQ(result->failureCode, 0u);
    EXPECT_EQ(result->streamCount, 0u);
    ASSERT_EQ(result->streams.size(), 128u);
    for (std::size_t i = 0; i < result->streams.size(); ++i) {
        const StreamStats& stats = result->streams[i];
        EXPECT_EQ(stats.writtenChunks, 0u) << "stream " << i;
        EXPECT_EQ(stats.writtenFrames, 0u) << "stream " << i;
        EXPECT_EQ(stats.maxOccupancy, 0u) << "stream " << i;
    }
    result->~CaptureResult();
}

} // namespace
} // namespace vaskel
