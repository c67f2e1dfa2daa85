// The record a capture returns: whether it completed, the failure that ended it, and what each
// stream delivered.
#pragma once

#include "output/progress_file.h"
#include "transport/failure_code.h"
#include "transport/transport_layout.h"

#include <array>
#include <cstdint>
#include <string>
#include <system_error>

namespace vaskel {

// One entry per stream the transport can carry, fixed in size.
inline constexpr std::uint32_t kMaxStreamStats = transport::kMaxStreams;

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
    // The capture ended because the user asked it to stop, not because of its failure code.
    bool interrupted = false;
    std::array<StreamStats, kMaxStreamStats> streams{};
    // Why the output failed, where the renderer knows: the system's reason and the file it
    // concerns ("stream-3.wav", or the output root as given). Empty otherwise.
    std::error_code failureReason;
    std::string failureFile;
};

// Ends a capture with the renderer's own `failure`: published unless another party published
// one first, and kept in the result either way. A rejected chunk or an output error also marks
// the consumer failed; a timeout, an abort or a range mismatch leaves it attached.
void recordFailure(transport::TransportHeader& header, CaptureResult& result, FailureCode failure);

// The progress snapshot's numbers: streams that delivered any frame, the frames written in
// total, and the estimate of completed streams from the declared span.
ProgressCounts progressCounts(const transport::TransportConfig& config,
                              const CaptureResult& result);

} // namespace vaskel
