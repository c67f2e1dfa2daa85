#include "output/progress_file.h"

#include "common/json_text.h"
#include "output/output_paths.h"
#include "platform/file.h"
#include "platform/time.h"
#include "transport/transport_layout.h"

namespace vaskel {

namespace {

constexpr std::int64_t kCompleteReplaceWindowNs = 2 * platform::kNanosecondsPerSecond;
constexpr std::uint32_t kReplaceRetrySleepMs = 10;

// Windows refuses to replace a file that a reader holds open. The complete snapshot is the one a
// follower waits for, so its replacement is retried for a while; a periodic one is not, the next
// one replaces it anyway. On POSIX the first attempt succeeds and nothing waits.
void replaceSnapshot(const platform::Directory& root, bool complete) {
    std::error_code failed = root.replaceWriteThrough(kProgressTempFileName, kProgressFileName);
    if (!failed || !complete) {
        return;
    }
    const platform::Deadline deadline = platform::Deadline::after(kCompleteReplaceWindowNs);
    // A temporary file that is gone was moved after all (only its write-through failed).
    while (failed && failed != std::errc::no_such_file_or_directory && !deadline.expired()) {
        platform::sleepMilliseconds(kReplaceRetrySleepMs);
        failed = root.replaceWriteThrough(kProgressTempFileName, kProgressFileName);
    }
}

} // namespace

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

std::optional<ProgressSnapshot> parseProgress(std::string_view text) {
    ProgressSnapshot snapshot;
    for (const bool complete : {false, true}) {
        // The writer's own numbers read back: anything it could not have written is refused,
        // more streams than a region holds among them (a reader allocates by that count).
        ProgressCounts& c = snapshot.counts;
        std::string_view rest = text;
        const auto take = [&rest](std::string_view piece) {
            if (!rest.starts_with(piece)) {
                return false;
            }
            rest.remove_prefix(piece.size());
            return true;
        };
        const auto number = [&rest](auto& value) { return takeJsonUnsigned(rest, value); };
        std::string_view state = complete ? "complete" : "capturing";
        if (take("{\"schemaVersion\":1,\"state\":\"") && take(state) &&
            take("\",\"streamCount\":") && number(c.streamCount) && take(",\"activeStreams\":") &&
            number(c.activeStreams) && take(",\"completedStreams\":") &&
            number(c.completedStreams) && take(",\"writtenFrames\":") && number(c.writtenFrames) &&
            take(",\"totalFrames\":") && number(c.totalFrames) && take("}") && rest.empty() &&
            c.streamCount <= transport::kMaxStreams) {
            snapshot.complete = complete;
            return snapshot;
        }
    }
    return std::nullopt;
}

void writeProgressFile(const platform::Directory& outputRoot, const ProgressCounts& counts,
                       bool complete) noexcept {
    try {
        const std::string text = formatProgress(counts, complete);
        // A leftover temporary is removed and the new one created afresh, so a link planted under
        // its name in a directory others can write is never followed. Direct calls, not a file
        // stream: a snapshot comes several times a second.
        if (outputRoot.remove(kProgressTempFileName)) {
            return;
        }
        platform::NewFile file;
        if (file.create(outputRoot, kProgressTempFileName, platform::NewFile::Readers::Anyone) ||
            file.write(text.data(), text.size()) || file.close()) {
            return;
        }
        // A move that still fails leaves the old snapshot, and the new one in the temporary file.
        replaceSnapshot(outputRoot, complete);
    } catch (...) {
        // Progress is best effort and must never disturb the capture.
    }
}

} // namespace vaskel
