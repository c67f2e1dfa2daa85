#include "capture/failure_code.h"

#include <cstring>
#include <gtest/gtest.h>
#include <new>
#include <string>

namespace vaskel {
namespace {

TEST(FailureCodeName, EveryCodeAndTheUnknownRest) {
    const std::pair<FailureCode, const char*> names[] = {
        {FailureCode::None, "none"},
        {FailureCode::ProtocolMismatch, "protocol_mismatch"},
        {FailureCode::Overflow, "overflow"},
        {FailureCode::Gap, "gap"},
        {FailureCode::DuplicateOrOutOfOrder, "duplicate_or_out_of_order"},
        {FailureCode::LogicalRangeMismatch, "logical_range_mismatch"},
        {FailureCode::ProducerAbort, "producer_abort"},
        {FailureCode::WriterFailure, "writer_failure"},
    };
    // The numbering is part of the shared format: the table's position is the code.
    std::uint32_t expected = 0;
    for (const auto& [code, name] : names) {
        EXPECT_EQ(static_cast<std::uint32_t>(code), expected);
        EXPECT_STREQ(failureCodeName(expected), name) << "code " << expected;
        ++expected;
    }
    EXPECT_STREQ(failureCodeName(8), "unknown");
    EXPECT_STREQ(failureCodeName(255), "unknown");
    EXPECT_STREQ(failureCodeName(4294967295u), "unknown");
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
