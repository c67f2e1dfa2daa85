// The one-line JSON snapshot that lets other processes follow a capture.
#pragma once

#include "platform/file.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace vaskel {

// The numbers of one snapshot, in file order.
struct ProgressCounts {
    std::uint32_t streamCount = 0;
    std::uint32_t activeStreams = 0;
    std::uint32_t completedStreams = 0;
    std::uint64_t writtenFrames = 0;
    std::uint64_t totalFrames = 0;

    bool operator==(const ProgressCounts&) const = default;
};

// The exact file content: one line of ASCII, no white space, no line terminator.
std::string formatProgress(const ProgressCounts& counts, bool complete);

// A snapshot read back, for tools that report on a capture's directory. Empty when the text is
// not one this writer makes.
struct ProgressSnapshot {
    bool complete = false;
    ProgressCounts counts;
};
std::optional<ProgressSnapshot> parseProgress(std::string_view text);

// Writes the snapshot to render-progress.json.tmp in the held output root, created afresh and
// exclusively, and moves it over render-progress.json with a replacing write-through rename,
// all through the root's handle: whatever is put at the root's name meanwhile, the snapshot
// lands in the directory the capture writes. Best effort: never throws and reports nothing; on
// failure the previous snapshot stays.
void writeProgressFile(const platform::Directory& outputRoot, const ProgressCounts& counts,
                       bool complete) noexcept;

} // namespace vaskel
