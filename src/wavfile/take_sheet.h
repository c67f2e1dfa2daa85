// The take sheet vaskel_jack leaves in an output root (streams.json), read back for the tools:
// which ports each stream file holds, and the capture's client, rate, chunk size and start
// time. Read strictly: the writer's shape and nothing else, every count bounded, so a sheet
// planted or damaged by anyone costs at most its (bounded) size in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vaskel {

inline constexpr const char* kTakeSheetName = "streams.json";
// A sheet of the most streams a capture has, stereo, with port names of JACK's longest, is a few
// hundred KiB; anything larger is not one of ours.
inline constexpr std::size_t kTakeSheetLimit = std::size_t{1} << 20;

// A channel's port: its full name, empty when nothing was connected to it.
using SheetPort = std::optional<std::string>;

struct TakeSheetStream {
    std::uint32_t index = 0;       // of its file, stream-<index>.wav
    std::vector<SheetPort> ports;  // per channel, the source port
    std::vector<SheetPort> inputs; // per channel, the bridge's own input port
};

// What the sheet says of the capture as a whole: the part the bridge writes and the reader
// reads back alike.
struct TakeSheetCapture {
    std::string state; // "waiting", "capturing", "complete", "failed" or "interrupted"
    std::string client;
    std::string mapping;
    std::uint32_t sampleRate = 0;
    std::uint32_t framesPerChunk = 0;
    // The bridge's own buffer, in frames of every stream, and its fullest point so far; sheets
    // of bridges without one leave them out.
    std::optional<std::uint64_t> bufferFrames;
    std::optional<std::uint64_t> bufferPeakFrames;
};

// Something that happened while the take was recorded, at a frame of the streams: "xrun",
// "port_disconnected", "client_gone" or "buffer_near_full". In the sheet:
// "events":[{"frame":N,"kind":"...","stream":I or null,"detail":"..."}], the key optional (older
// sheets have none), at most kMaxTakeSheetEvents entries.
struct TakeSheetEvent {
    std::uint64_t frame = 0;
    std::string kind;
    std::optional<std::uint32_t> stream; // the stream it touches; null: the whole take
    std::string detail;                  // a port's name, a client's, a count; may be empty
    friend bool operator==(const TakeSheetEvent&, const TakeSheetEvent&) = default;
};
inline constexpr std::size_t kMaxTakeSheetEvents = 1024;

struct TakeSheetRecord : TakeSheetCapture {
    std::uint32_t channels = 0;                   // per file: 1 or 2
    std::optional<std::string> startTime;         // "2026-03-01T14:05:09.250Z"
    std::optional<std::uint64_t> framesPerStream; // once complete
    std::optional<std::string> verdict;
    std::vector<TakeSheetStream> streams; // at most one per stream index, at most 128
    std::vector<TakeSheetEvent> events;   // in the order they happened

    // The entry of stream-<index>.wav; null when the sheet names no such file.
    const TakeSheetStream* stream(std::uint32_t index) const;
};

// The sheet in `text`, or nothing when it is not one the bridge writes: JSON of exactly that
// shape (keys in any order, each once, none other, all present but "events"), integers within
// their fields' ranges, schemaVersion 1, 1 or 2 channels with that many ports and inputs per
// stream, files named stream-<i>.wav each once, at most 128 streams, events of the four kinds
// naming streams of the sheet, UTF-8 strings, an ISO 8601 UTC start time.
std::optional<TakeSheetRecord> parseTakeSheet(std::string_view text);

} // namespace vaskel
