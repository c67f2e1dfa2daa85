// Reading a stream file back: what its header says, how that agrees with the file's length,
// and what its samples hold. The check and repair tools build on this; the renderer does not.
#pragma once

#include "output/wav_format.h"
#include "platform/error.h"
#include "platform/file.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>

namespace vaskel {

// How a file's header stands against its length.
enum class HeaderState {
    Finalised,    // sizes agree with the file: every reader sees all of it
    Placeholder,  // data size 0 in front of samples: a capture that stopped early
    SizeMismatch, // sizes set but not those of the file (a finalisation cut short, a copy)
    Unrecognised, // not a stream file this system writes
    Empty,        // 0 bytes: a capture stopped before the header reached the disk; nothing to
                  // recover
};

// "finalised", "placeholder", "size_mismatch", "unrecognised", "empty".
const char* headerStateName(HeaderState state);

// The largest header the layouts here need to see: the RF64 form.
inline constexpr std::size_t kLongestStreamHeader = kRf64HeaderSize;

struct WavLayout {
    HeaderState state = HeaderState::Unrecognised;
    std::string reason; // why Unrecognised, in words
    bool rf64 = false;
    std::uint16_t channels = 0;
    std::uint32_t sampleRate = 0;
    std::uint64_t fileSize = 0;
    std::uint64_t dataOffset = 0;        // where the samples begin
    std::uint64_t headerDataSize = 0;    // the data size the header states
    std::uint64_t frames = 0;            // whole frames on disk after the header
    std::uint32_t partialFrameBytes = 0; // bytes of a frame cut short at the end

    std::uint32_t blockAlign() const { return std::uint32_t{channels} * 4; }
    // The bytes a reader should see: the whole frames on disk.
    std::uint64_t wholeFrameBytes() const { return frames * blockAlign(); }
};

// Classifies a file from its first bytes (up to kLongestStreamHeader) and its length.
WavLayout classifyStreamHeader(std::span<const std::uint8_t> head, std::uint64_t fileSize);

struct SampleStats {
    float peak = 0.0f;                 // largest magnitude of a finite sample
    std::uint64_t beyondFullScale = 0; // finite samples with magnitude above 1.0
    std::uint64_t nanCount = 0;
    std::optional<std::uint64_t> firstNanFrame;
    std::uint64_t infiniteCount = 0;
    std::optional<std::uint64_t> firstInfiniteFrame;
    std::string dataMd5; // of the whole frames' bytes, as md5sum prints it
    // Bytes of the whole frames up to the end of the last frame that holds a non-zero byte:
    // what follows is a run of zeros.
    std::uint64_t nonZeroBytes = 0;
};

// Peak in dBFS (1.0 is 0 dBFS); empty when there is no non-zero finite sample.
std::optional<double> peakDbfs(float peak);

// One file read back: layout, and sample statistics when its samples could be read.
struct StreamFileReport {
    std::filesystem::path path;
    std::string error; // set when the file could not be read at all
    // A capture or a repair holds the file's lock: a capture's header is a placeholder until it
    // ends, so its samples are not read.
    bool beingWritten = false;
    WavLayout layout;
    std::optional<SampleStats> samples;
};

// Called between reads with the bytes of samples read so far and the total to read.
using ReadProgress = std::function<void(std::uint64_t done, std::uint64_t total)>;

// Opens the file once (a link, a file with other names, anything but a regular file is refused
// with the reason, as platform::File says), probes its lock on that handle, and reads through it
// the header and, for a file it recognises that no capture or repair holds, every whole frame,
// in large reads.
StreamFileReport inspectStreamFile(const std::filesystem::path& path,
                                   const ReadProgress& progress = {});

// Where the run of zero bytes that ends at `end` begins, not before `from`: `end` when the byte
// before it is not zero. Reads backwards from `end` in large reads, as far as the zeros go.
[[nodiscard]] platform::ErrorOr<std::uint64_t> zeroRunStart(const platform::File& file,
                                                            std::uint64_t from, std::uint64_t end);

// What a file holds beyond the length the capture recorded as on the disk (output/
// durable_record.h) before a power cut or a kill: zeros the file system may have made up (a size
// that reached the disk before its pages), and bytes that may be audio but were never known to be
// on the disk. Both 0 for a finalised file, which reached the disk whole before the capture
// ended.
struct UnverifiedTail {
    std::uint64_t durableBytes = 0;    // the recorded length, header included
    std::uint64_t zeroBytes = 0;       // whole frames of zeros at the end, past the recorded length
    std::uint64_t unverifiedBytes = 0; // other whole-frame bytes past the recorded length
};

// The tail of a file of `layout` whose whole frames end in a run of zeros `nonZeroBytes` after
// the data starts (SampleStats::nonZeroBytes), against the recorded length `durableBytes`.
UnverifiedTail unverifiedTail(const WavLayout& layout, std::uint64_t nonZeroBytes,
                              std::uint64_t durableBytes);

// Reads up to kLongestStreamHeader bytes and the length of the file, and classifies them; fails
// when the file cannot be opened (as platform::File opens it) or read.
[[nodiscard]] platform::ErrorOr<WavLayout> readStreamHead(const std::filesystem::path& path);
[[nodiscard]] platform::ErrorOr<WavLayout> readStreamHead(const platform::File& file);

} // namespace vaskel
