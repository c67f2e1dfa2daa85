// The check of one chunk header against what its stream expects next.
#pragma once

#include "transport/failure_code.h"
#include "transport/transport_layout.h"

#include <cstdint>

namespace vaskel {

// FailureCode::None when `chunk` is the chunk stream `stream` expects next: number `sequence`,
// starting at frame `framePosition`. Otherwise the first check that fails decides, in this order:
// the sequence (behind: duplicate, ahead: gap), the first frame (ahead: gap, behind: duplicate),
// then stream id, channel count, a frame count of 0, a frame count above framesPerChunk and the
// bits per sample (protocol mismatch). Sequence and position come first, so a chunk that is
// behind is reported as such even if its other fields are wrong too.
[[nodiscard]] constexpr FailureCode checkChunk(const transport::ChunkHeader& chunk,
                                               std::uint32_t stream, std::uint64_t sequence,
                                               std::uint64_t framePosition,
                                               const transport::TransportConfig& config) {
    if (chunk.sequence < sequence) {
        return FailureCode::DuplicateOrOutOfOrder;
    }
    if (chunk.sequence > sequence) {
        return FailureCode::Gap;
    }
    if (chunk.firstFrame > framePosition) {
        return FailureCode::Gap;
    }
    if (chunk.firstFrame < framePosition) {
        return FailureCode::DuplicateOrOutOfOrder;
    }
    if (chunk.streamId != stream || chunk.channelCount != config.channelCount ||
        chunk.frameCount == 0 || chunk.frameCount > config.framesPerChunk ||
        chunk.bitsPerSample != transport::kBitsPerSample) {
        return FailureCode::ProtocolMismatch;
    }
    return FailureCode::None;
}

} // namespace vaskel
