#include "wavfile/wav_inspect.h"

#include "common/byte_order.h"
#include "common/md5.h"
#include "output/wav_format.h"
#include "platform/file.h"
#include "transport/transport_layout.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace vaskel {

namespace {

constexpr std::size_t kReadBytes = 4 << 20;
constexpr std::uint32_t kMagnitudeMask = 0x7FFFFFFF;
constexpr std::uint32_t kInfinityBits = 0x7F800000;
constexpr std::uint32_t kOneBits = 0x3F800000;

bool tagAt(std::span<const std::uint8_t> bytes, std::size_t at, const char (&tag)[5]) {
    return std::memcmp(bytes.data() + at, tag, 4) == 0;
}

// Why a file was not read, in words: a link, a file with other names or anything but a regular
// file is not one this tool reads; otherwise the system's reason.
std::string unreadable(const std::error_code& opened) {
    if (opened == platform::Error::SymbolicLink) {
        return "not read: it is a symbolic link; check the file it points to by its own name";
    }
    if (opened == platform::Error::HasOtherLinks) {
        return "not read: it has other hard links";
    }
    if (opened == platform::Error::NotRegularFile) {
        return "not read: it is not a regular file";
    }
    return "cannot be read: " + platform::errorMessage(opened);
}

WavLayout unrecognised(WavLayout layout, std::string reason) {
    layout.state = HeaderState::Unrecognised;
    layout.reason = std::move(reason);
    return layout;
}

// The fmt chunk with its 16-byte body at the start of `fmt`: 32-bit IEEE float with consistent
// derived fields.
bool readFormat(std::span<const std::uint8_t> fmt, WavLayout& layout) {
    if (!tagAt(fmt, 0, "fmt ") || loadLE32(fmt, kFmtSizeAt) != kFmtChunkSize) {
        layout.reason = "its fmt chunk is not where or as this system writes it";
        return false;
    }
    const std::uint16_t format = loadLE16(fmt, kFmtFormatAt);
    const std::uint16_t bits = loadLE16(fmt, kFmtBitsAt);
    if (format != kWavFormatIeeeFloat || bits != kWavBitsPerSample) {
        layout.reason = "its samples are not 32-bit float (format " + std::to_string(format) +
                        ", " + std::to_string(bits) + " bits)";
        return false;
    }
    layout.channels = loadLE16(fmt, kFmtChannelsAt);
    layout.sampleRate = loadLE32(fmt, kFmtSampleRateAt);
    // A capture writes one or two channels. Any other count, however consistent, is another
    // writer's file: what this one would take for a partial trailing frame may be its samples.
    if (layout.channels == 0 || layout.channels > transport::kMaxChannels) {
        layout.reason = "it has " + std::to_string(layout.channels) +
                        " channels (stream files of ours have 1 or 2)";
        return false;
    }
    if (layout.sampleRate == 0 || loadLE16(fmt, kFmtBlockAlignAt) != layout.blockAlign() ||
        loadLE32(fmt, kFmtByteRateAt) != layout.sampleRate * layout.blockAlign()) {
        layout.reason = "its fmt chunk contradicts itself";
        return false;
    }
    return true;
}

} // namespace

const char* headerStateName(HeaderState state) {
    switch (state) {
    case HeaderState::Finalised:
        return "finalised";
    case HeaderState::Placeholder:
        return "placeholder";
    case HeaderState::SizeMismatch:
        return "size_mismatch";
    case HeaderState::Empty:
        return "empty";
    case HeaderState::Unrecognised:
        break;
    }
    return "unrecognised";
}

WavLayout classifyStreamHeader(std::span<const std::uint8_t> head, std::uint64_t fileSize) {
    WavLayout layout;
    layout.fileSize = fileSize;
    if (fileSize == 0) {
        layout.state = HeaderState::Empty;
        return layout;
    }
    if (head.size() < kWavFmtChunkAt || !(tagAt(head, 0, "RIFF") || tagAt(head, 0, "RF64")) ||
        !tagAt(head, kWavWaveTagAt, "WAVE")) {
        return unrecognised(layout, "it is not a RIFF/WAVE file");
    }
    layout.rf64 = tagAt(head, 0, "RF64");
    layout.dataOffset = layout.rf64 ? kLongestStreamHeader : kWavHeaderSize;
    if (head.size() < layout.dataOffset) {
        return unrecognised(layout, "its header is cut short (" + std::to_string(fileSize) +
                                        " of " + std::to_string(layout.dataOffset) + " bytes)");
    }
    const std::size_t fmtAt = layout.rf64 ? kRf64FmtChunkAt : kWavFmtChunkAt;
    if (layout.rf64 && (!tagAt(head, kRf64Ds64ChunkAt, "ds64") ||
                        loadLE32(head, kRf64Ds64SizeAt) != kDs64ChunkSize)) {
        return unrecognised(layout, "its ds64 chunk is not where or as this system writes it");
    }
    if (!readFormat(head.subspan(fmtAt), layout)) {
        return unrecognised(layout, layout.reason);
    }
    const std::size_t dataAt = layout.dataOffset - 8;
    if (!tagAt(head, dataAt, "data")) {
        return unrecognised(layout, "its data chunk is not where this system writes it");
    }

    const std::uint64_t onDisk = fileSize - layout.dataOffset;
    layout.frames = onDisk / layout.blockAlign();
    layout.partialFrameBytes = static_cast<std::uint32_t>(onDisk % layout.blockAlign());
    std::uint64_t riff = 0;
    if (layout.rf64) {
        riff = loadLE64(head, kRf64RiffSizeAt);
        layout.headerDataSize = loadLE64(head, kRf64DataSizeAt);
        const bool markers = loadLE32(head, kWavRiffSizeAt) == kRf64SizeMarker &&
                             loadLE32(head, dataAt + 4) == kRf64SizeMarker;
        layout.state = markers && layout.headerDataSize == onDisk && riff == fileSize - 8
                           ? HeaderState::Finalised
                           : HeaderState::SizeMismatch;
        return layout;
    }
    riff = loadLE32(head, kWavRiffSizeAt);
    layout.headerDataSize = loadLE32(head, dataAt + 4);
    if (layout.headerDataSize == onDisk && riff == layout.headerDataSize + kRiffOverhead) {
        layout.state = HeaderState::Finalised;
    } else if (riff == kRiffOverhead && layout.headerDataSize == 0) {
        layout.state = HeaderState::Placeholder;
    } else if (riff == fileSize - 8 && layout.headerDataSize != 0 &&
               layout.headerDataSize < onDisk) {
        // A consistent file whose data chunk is followed by chunks of another writer: those
        // bytes are not samples, so nothing here may count them as such. (A data size of 0
        // with a true RIFF size is a finalisation cut short between the two fields.)
        return unrecognised(layout, "other chunks follow its data chunk");
    } else {
        layout.state = HeaderState::SizeMismatch;
    }
    return layout;
}

std::optional<double> peakDbfs(float peak) {
    if (!(peak > 0.0f)) {
        return std::nullopt;
    }
    return 20.0 * std::log10(static_cast<double>(peak));
}

platform::ErrorOr<WavLayout> readStreamHead(const platform::File& file) {
    const platform::ErrorOr<std::uint64_t> size = file.size();
    if (!size) {
        return size.error();
    }
    std::uint8_t head[kLongestStreamHeader] = {};
    const platform::ErrorOr<std::size_t> got = file.readAt(0, head, sizeof head);
    if (!got) {
        return got.error();
    }
    return classifyStreamHeader(std::span(head, *got), *size);
}

platform::ErrorOr<WavLayout> readStreamHead(const std::filesystem::path& path) {
    platform::File file;
    if (const std::error_code opened = file.open(path, platform::File::Access::Read)) {
        return opened;
    }
    return readStreamHead(file);
}

namespace {

// Folds one read of whole samples into the statistics. The magnitude's bit pattern orders finite
// floats like their values; anything at or above the infinity pattern is infinite or NaN, which
// is rare and counted one by one.
void scanSamples(const std::uint8_t* data, std::size_t samples, std::uint64_t firstSample,
                 std::uint32_t channels, SampleStats& stats, std::uint32_t& peakBits) {
    std::uint32_t blockMax = 0;
    std::uint64_t beyond = 0;
    for (std::size_t i = 0; i < samples; ++i) {
        std::uint32_t bits;
        std::memcpy(&bits, data + 4 * i, 4);
        bits &= kMagnitudeMask;
        blockMax = std::max(blockMax, bits);
        beyond += bits > kOneBits ? 1 : 0;
    }
    if (blockMax < kInfinityBits) {
        peakBits = std::max(peakBits, blockMax);
        stats.beyondFullScale += beyond;
        return;
    }
    for (std::size_t i = 0; i < samples; ++i) {
        std::uint32_t bits;
        std::memcpy(&bits, data + 4 * i, 4);
        bits &= kMagnitudeMask;
        const std::uint64_t frame = (firstSample + i) / channels;
        if (bits > kInfinityBits) {
            ++stats.nanCount;
            stats.firstNanFrame = stats.firstNanFrame.value_or(frame);
        } else if (bits == kInfinityBits) {
            ++stats.infiniteCount;
            stats.firstInfiniteFrame = stats.firstInfiniteFrame.value_or(frame);
        } else {
            peakBits = std::max(peakBits, bits);
            stats.beyondFullScale += bits > kOneBits ? 1 : 0;
        }
    }
}

} // namespace

StreamFileReport inspectStreamFile(const std::filesystem::path& path,
                                   const ReadProgress& progress) {
    StreamFileReport report;
    report.path = path;
    platform::File file;
    const std::error_code opened = file.open(path, platform::File::Access::Read);
    // Windows: a holder that shares nothing.
    report.beingWritten = opened == platform::Error::LockBusy;
    if (opened) {
        report.error = report.beingWritten ? "" : unreadable(opened);
        return report;
    }
    const platform::ErrorOr<WavLayout> head = readStreamHead(file);
    if (!head) {
        report.error = "cannot be read";
        return report;
    }
    report.layout = *head;
    // Probed on the handle that read the header, for a moment only: a capture that starts
    // meanwhile waits for it.
    const std::error_code locked = file.lock();
    file.unlock();
    report.beingWritten = locked == platform::Error::LockBusy;
    if (locked && !report.beingWritten) {
        report.error = "its lock cannot be probed: " + platform::errorMessage(locked);
        return report;
    }
    if (report.layout.state == HeaderState::Unrecognised ||
        report.layout.state == HeaderState::Empty || report.beingWritten) {
        return report;
    }
    const std::uint64_t total = report.layout.wholeFrameBytes();
    // One buffer per file; the per-sample work allocates nothing.
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(
        std::min<std::uint64_t>(kReadBytes, std::max<std::uint64_t>(total, 4))));
    SampleStats stats;
    Md5 md5;
    std::uint32_t peakBits = 0;
    std::uint64_t done = 0;
    while (done < total) {
        const std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), total - done));
        const platform::ErrorOr<std::size_t> got =
            file.readAt(report.layout.dataOffset + done, buffer.data(), want);
        if (!got || *got != want) {
            report.error = "cannot be read to its end";
            return report;
        }
        md5.update(buffer.data(), want);
        for (std::size_t i = want; i > 0; --i) {
            if (buffer[i - 1] != 0) {
                const std::uint64_t align = report.layout.blockAlign();
                stats.nonZeroBytes = (done + i + align - 1) / align * align;
                break;
            }
        }
        scanSamples(buffer.data(), want / 4, done / 4, report.layout.channels, stats, peakBits);
        done += want;
        if (progress) {
            progress(done, total);
        }
    }
    std::memcpy(&stats.peak, &peakBits, 4);
    stats.dataMd5 = md5.finishHex();
    report.samples = stats;
    return report;
}

platform::ErrorOr<std::uint64_t> zeroRunStart(const platform::File& file, std::uint64_t from,
                                              std::uint64_t end) {
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(std::min<std::uint64_t>(
        kReadBytes, std::max<std::uint64_t>(end - std::min(from, end), 1))));
    std::uint64_t at = end;
    while (at > from) {
        const std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), at - from));
        const platform::ErrorOr<std::size_t> got = file.readAt(at - want, buffer.data(), want);
        if (!got) {
            return got.error();
        }
        if (*got != want) {
            return make_error_code(platform::Error::ShortRead);
        }
        for (std::size_t i = want; i > 0; --i) {
            if (buffer[i - 1] != 0) {
                return at - want + i;
            }
        }
        at -= want;
    }
    return at;
}

UnverifiedTail unverifiedTail(const WavLayout& layout, std::uint64_t nonZeroBytes,
                              std::uint64_t durableBytes) {
    UnverifiedTail tail;
    tail.durableBytes = durableBytes;
    const std::uint64_t end = layout.dataOffset + layout.wholeFrameBytes();
    if (layout.state == HeaderState::Finalised || layout.blockAlign() == 0 || end <= durableBytes) {
        return tail;
    }

    // Whole frames from the recorded length on (the capture records the end of a chunk, and so
    // of a frame; a length that is not is taken to the next frame).
    const std::uint64_t align = layout.blockAlign();
    const std::uint64_t from =
        layout.dataOffset +
        (std::max(durableBytes, layout.dataOffset) - layout.dataOffset + align - 1) / align * align;
    const std::uint64_t nonZeroEnd = std::max(layout.dataOffset + nonZeroBytes, from);
    if (from >= end) {
        return tail;
    }
    tail.zeroBytes = end - std::min(nonZeroEnd, end);
    tail.unverifiedBytes = std::min(nonZeroEnd, end) - from;
    return tail;
}

} // namespace vaskel
