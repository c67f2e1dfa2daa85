// The take sheet, streams.json in the output root: which ports each stream file holds, and the
// capture's client, rate, chunk size and start time. Written before the capture starts, again
// when it starts, and completed at its end.
#pragma once

#include "platform/file.h"
#include "wavfile/take_sheet.h" // its name, its fields, and the reader that reads it back

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace vaskel::jack_bridge {

struct TakeSheet : TakeSheetCapture {
    std::uint32_t channels = 1;
    std::optional<std::chrono::system_clock::time_point> startTime; // the first captured frame
    std::optional<std::uint64_t> framesPerStream;                   // at the end
    std::string verdict; // at the end: "completed" or the failure's name
    // Per stream, per channel: the source port ("" unconnected) and this client's input port.
    std::vector<std::vector<std::string>> sources;
    std::vector<std::vector<std::string>> inputs;
    // What happened while recording, in order; the key is left out while there is none.
    std::vector<TakeSheetEvent> events;
};

// A time as ISO 8601 in UTC with milliseconds: "2026-03-01T14:05:09.250Z".
std::string isoUtc(std::chrono::system_clock::time_point time);

// The file's text: a JSON object, one stream per line.
std::string formatTakeSheet(const TakeSheet& sheet);

// Replaces streams.json in the held take folder with `text`: written into an exclusive temporary
// beside it, through the folder's handle, and renamed over it, so a reader sees the old sheet or
// the new one, and a link planted under either name is replaced, never followed.
[[nodiscard]] std::error_code writeTakeSheet(const platform::Directory& take,
                                             const std::string& text);

} // namespace vaskel::jack_bridge
