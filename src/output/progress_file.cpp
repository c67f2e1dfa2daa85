#include "output/progress_file.h"

#include "output/output_paths.h"
#include "platform/platform.h"

#include <algorithm>
#include <fstream>

namespace vaskel {

ProgressCounts computeProgress(const transport::TransportConfig& config,
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

std::string formatProgress(const ProgressCounts& counts, bool complete) {
    std::string text = "{\"schemaVersion\":1,\"state\":\"";
    text += complete ? "complete" : "capturing";
    text += "\",\"streamCount\":" + std::to_string(counts.streamCount);
    text += ",\"activeStreams\":" + std::to_string(counts.activeStreams);
    text += ",\"completedStreams\":" + std::to_string(counts.completedStreams);
    text += ",\"writtenFrames\":" + std::to_string(counts.writtenFrames);
    text += ",\"totalFrames\":" + std::to_string(counts.totalFrames);
    text += "}";
    return text;
}

void writeProgressFile(const std::filesystem::path& outputRoot,
                       const transport::TransportConfig& config, const CaptureResult& result,
                       bool complete) noexcept {
    try {
        const std::string text = formatProgress(computeProgress(config, result), complete);
        const std::filesystem::path tempPath = outputRoot / kProgressTempFileName;
        const std::filesystem::path snapshotPath = outputRoot / kProgressFileName;
        {
            std::ofstream file(tempPath, std::ios::binary | std::ios::out | std::ios::trunc);
            if (!file.is_open()) {
                return;
            }
            file.write(text.data(), static_cast<std::streamsize>(text.size()));
            file.flush();
            if (!file.good()) {
                return;
            }
        }
        // Its outcome is deliberately not looked at: a failed move leaves the old snapshot.
        platform::replaceFileWriteThrough(tempPath, snapshotPath);
    } catch (...) {
        // Progress is best effort and must never disturb the capture.
    }
}

} // namespace vaskel
