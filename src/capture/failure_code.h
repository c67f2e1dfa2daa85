// The failure vocabulary both sides of the transport share, and the capture's result record.
#pragma once

#include <array>
#include <cstdint>

namespace vaskel {

// Values are part of the shared-memory format.
enum class FailureCode : std::uint32_t {
    None = 0,
    ProtocolMismatch = 1,
    Overflow = 2,
    Gap = 3,
    DuplicateOrOutOfOrder = 4,
    LogicalRangeMismatch = 5,
    ProducerAbort = 6,
    WriterFailure = 7,
};

// The user-visible name of a code; every value above 7 is "unknown".
const char* failureCodeName(std::uint32_t code);

inline constexpr std::uint32_t kMaxStreamStats = 128;

struct StreamStats {
    std::uint64_t writtenChunks = 0;
    std::uint64_t writtenFrames = 0;
    std::uint64_t maxOccupancy = 0;
};

struct CaptureResult {
    bool success = false;
    // A FailureCode, kept as the raw word: the shared word may hold any value.
    std::uint32_t failureCode = 0;
    std::uint32_t streamCount = 0;
    std::array<StreamStats, kMaxStreamStats> streams{};
};

} // namespace vaskel
