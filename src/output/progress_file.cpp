#include "output/progress_file.h"

#include "output/output_paths.h"
#include "platform/platform.h"

#include <fstream>

namespace vaskel {

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

void writeProgressFile(const std::filesystem::path& outputRoot, const ProgressCounts& counts,
                       bool complete) noexcept {
    try {
        const std::string text = formatProgress(counts, complete);
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
