#include "capture/capture_result.h"
#include "output/progress_file.h"
#include "test_support.h"

#include <cstring>
#include <gtest/gtest.h>
#include <initializer_list>
#include <new>
#include <string>

namespace vaskel {
namespace {

using testing::makeConfig;

transport::TransportConfig spanConfig(std::uint32_t streams, std::uint64_t start,
                                      std::uint64_t end) {
    return makeConfig(streams, 4, 256, 2, 48000, start, end);
}

CaptureResult withFrames(std::initializer_list<std::uint64_t> frames) {
    CaptureResult result;
    std::size_t i = 0;
    for (const std::uint64_t f : frames) {
        result.streams[i++].writtenFrames = f;
    }
    result.streamCount = static_cast<std::uint32_t>(frames.size());
    return result;
}

std::string snapshot(const transport::TransportConfig& config, const CaptureResult& result,
                     bool complete) {
    return formatProgress(progressCounts(config, result), complete);
}

TEST(ProgressSnapshot, TwoStreamsOfThreeHundredFrames) {
    EXPECT_EQ(snapshot(spanConfig(2, 0, 400), withFrames({300, 300}), false),
              "{\"schemaVersion\":1,\"state\":\"capturing\",\"streamCount\":2,"
              "\"activeStreams\":2,\"completedStreams\":1,\"writtenFrames\":600,"
              "\"totalFrames\":800}");
    EXPECT_EQ(snapshot(spanConfig(2, 0, 400), withFrames({400, 400}), true),
              "{\"schemaVersion\":1,\"state\":\"complete\",\"streamCount\":2,"
              "\"activeStreams\":2,\"completedStreams\":2,\"writtenFrames\":800,"
              "\"totalFrames\":800}");
}

TEST(ProgressSnapshot, FirstSnapshotHasOnlyTheTotal) {
    const ProgressCounts counts = progressCounts(spanConfig(3, 1000, 5000), CaptureResult{});
    EXPECT_EQ(counts.streamCount, 3u);
    EXPECT_EQ(counts.activeStreams, 0u);
    EXPECT_EQ(counts.completedStreams, 0u);
    EXPECT_EQ(counts.writtenFrames, 0u);
    EXPECT_EQ(counts.totalFrames, 12000u);
    EXPECT_EQ(formatProgress(counts, false),
              "{\"schemaVersion\":1,\"state\":\"capturing\",\"streamCount\":3,"
              "\"activeStreams\":0,\"completedStreams\":0,\"writtenFrames\":0,"
              "\"totalFrames\":12000}");
}

TEST(ProgressSnapshot, NoDeclaredEndOrEmptySpanGivesNoEstimate) {
    for (const bool complete : {false, true}) {
        const ProgressCounts open = progressCounts(spanConfig(2, 0, 0), withFrames({500, 700}));
        EXPECT_EQ(open.activeStreams, 2u);
        EXPECT_EQ(open.completedStreams, 0u);
        EXPECT_EQ(open.writtenFrames, 1200u);
        EXPECT_EQ(open.totalFrames, 0u);
        EXPECT_EQ(formatProgress(open, complete),
                  std::string("{\"schemaVersion\":1,\"state\":\"") +
                      (complete ? "complete" : "capturing") +
                      "\",\"streamCount\":2,\"activeStreams\":2,\"completedStreams\":0,"
                      "\"writtenFrames\":1200,\"totalFrames\":0}");
    }

    // Equal non-zero start and end: span 0 as well.
    const ProgressCounts equal = progressCounts(spanConfig(2, 5000, 5000), withFrames({9, 0}));
    EXPECT_EQ(equal.activeStreams, 1u);
    EXPECT_EQ(equal.completedStreams, 0u);
    EXPECT_EQ(equal.writtenFrames, 9u);
    EXPECT_EQ(equal.totalFrames, 0u);

    // An end before the start has no span at all.
    const ProgressCounts reversed = progressCounts(spanConfig(2, 5000, 10), withFrames({9, 9}));
    EXPECT_EQ(reversed.completedStreams, 0u);
    EXPECT_EQ(reversed.totalFrames, 0u);
}

TEST(ProgressSnapshot, CompletedStreamsAreEstimatedFromTheTotal) {
    const ProgressCounts counts = progressCounts(spanConfig(2, 0, 1000), withFrames({1500, 0}));
    EXPECT_EQ(counts.activeStreams, 1u);
    EXPECT_EQ(counts.completedStreams, 1u);
    EXPECT_EQ(counts.writtenFrames, 1500u);
    EXPECT_EQ(counts.totalFrames, 2000u);

    // More than streamCount x span frames: capped at streamCount.
    const ProgressCounts over = progressCounts(spanConfig(2, 100, 200), withFrames({500, 400}));
    EXPECT_EQ(over.completedStreams, 2u);
    EXPECT_EQ(over.writtenFrames, 900u);
    EXPECT_EQ(over.totalFrames, 200u);
}

TEST(ProgressSnapshot, OnlyTheConfiguredStreamsCountAndSumsAreSixtyFourBit) {
    CaptureResult result = withFrames({10, 0, 20});
    result.streams[3].writtenFrames = 1000000; // beyond streamCount: not part of this capture
    const ProgressCounts counts = progressCounts(spanConfig(3, 0, 100), result);
    EXPECT_EQ(counts.activeStreams, 2u);
    EXPECT_EQ(counts.writtenFrames, 30u);
    EXPECT_EQ(counts.completedStreams, 0u);

    CaptureResult large;
    for (std::uint32_t i = 0; i < 128; ++i) {
        large.streams[i].writtenFrames = std::uint64_t{1} << 40;
    }
    const ProgressCounts big = progressCounts(spanConfig(128, 0, std::uint64_t{1} << 41), large);
    EXPECT_EQ(big.activeStreams, 128u);
    EXPECT_EQ(big.writtenFrames, std::uint64_t{1} << 47);
    EXPECT_EQ(big.totalFrames, std::uint64_t{1} << 48);
    EXPECT_EQ(big.completedStreams, 64u);
    EXPECT_EQ(formatProgress(big, false),
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
