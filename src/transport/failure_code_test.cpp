#include "transport/failure_code.h"

#include <gtest/gtest.h>
#include <utility>

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

} // namespace
} // namespace vaskel
