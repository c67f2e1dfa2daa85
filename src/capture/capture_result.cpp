#include "capture/capture_result.h"

#include <algorithm>

namespace vaskel {

ProgressCounts progressCounts(const transport::TransportConfig& config,
                              const CaptureResult& result) {
    ProgressCounts counts;
    counts.streamCount = config.streamCount;
    const std::uint32_t streams = std::min(config.streamCount, kMaxStreamStats);
    for (std::uint32_t i = 0; i < streams; ++i) {
        const std::uint64_t frames = result.streams[i].writtenFrames;
        counts.writtenFrames += frames;
        if (frames != 0) {
            ++counts.activeStreams;
        }
    }
    if (config.logicalEndFrame >= config.logicalStartFrame) {
        const std::uint64_t span = config.logicalEndFrame - config.logicalStartFrame;
        counts.totalFrames = std::uint64_t{config.streamCount} * span;
        if (span != 0) {
            counts.completedStreams = static_cast<std::uint32_t>(
                std::min<std::uint64_t>(counts.writtenFrames / span, config.streamCount));
        }
    }
    return counts;
}

void recordFailure(transport::TransportHeader& header, CaptureResult& result, FailureCode failure) {
    transport::publishFailureCode(header, code(failure));
    result.failureCode = code(failure);
    if (failure != FailureCode::ProducerAbort && failure != FailureCode::LogicalRangeMismatch) {
        transport::storeConsumerState(header, transport::kConsumerFailed);
    }
}

} // namespace vaskel
