#include "output/wav_format.h"

#include "common/byte_order.h"

#include <algorithm>

namespace vaskel {

static_assert(kRf64FmtChunkAt + kFmtThroughDataHeader == kRf64HeaderSize);
static_assert(kRf64DataSizeMarkerAt == kRf64HeaderSize - 4);

namespace {

void putTag(std::span<std::uint8_t> out, std::size_t at, const char (&tag)[5]) {
    for (std::size_t i = 0; i < 4; ++i) {
        out[at + i] = static_cast<std::uint8_t>(tag[i]);
    }
}

} // namespace

std::array<std::uint8_t, kWavHeaderSize>
makeWavHeader(std::uint32_t sampleRate, std::uint16_t channelCount, std::uint32_t dataSize) {
    std::array<std::uint8_t, kWavHeaderSize> header{};
    const std::span<std::uint8_t> out = header;
    putTag(out, 0, "RIFF");
    storeLE32(out, kWavRiffSizeAt, riffSize(dataSize));
    putTag(out, kWavWaveTagAt, "WAVE");
    const std::span<std::uint8_t> fmt = out.subspan(kWavFmtChunkAt);
    putTag(fmt, 0, "fmt ");
    storeLE32(fmt, kFmtSizeAt, kFmtChunkSize);
    storeLE16(fmt, kFmtFormatAt, static_cast<std::uint16_t>(kWavFormatIeeeFloat));
    storeLE16(fmt, kFmtChannelsAt, channelCount);
    storeLE32(fmt, kFmtSampleRateAt, sampleRate);
    // Formed in 32 bits, as every reader of the field does.
    storeLE32(fmt, kFmtByteRateAt, sampleRate * channelCount * kWavBytesPerSample);
    storeLE16(fmt, kFmtBlockAlignAt, static_cast<std::uint16_t>(channelCount * kWavBytesPerSample));
    storeLE16(fmt, kFmtBitsAt, static_cast<std::uint16_t>(kWavBitsPerSample));
    putTag(out, kWavDataChunkAt, "data");
    storeLE32(out, kWavDataSizeAt, dataSize);
    return header;
}

std::array<std::uint8_t, kRf64HeaderSize>
makeRf64Header(std::uint32_t sampleRate, std::uint16_t channelCount, std::uint64_t dataSize) {
    const auto wav = makeWavHeader(sampleRate, channelCount, 0);
    std::array<std::uint8_t, kRf64HeaderSize> header{};
    const std::span<std::uint8_t> out = header;
    putTag(out, 0, "RF64");
    storeLE32(out, kWavRiffSizeAt, kRf64SizeMarker);
    putTag(out, kWavWaveTagAt, "WAVE");
    putTag(out, kRf64Ds64ChunkAt, "ds64");
    storeLE32(out, kRf64Ds64SizeAt, kDs64ChunkSize);
    storeLE64(out, kRf64RiffSizeAt, dataSize + kRf64HeaderSize - 8);
    storeLE64(out, kRf64DataSizeAt, dataSize);
    storeLE64(out, kRf64SampleCountAt, dataSize / (channelCount * kWavBytesPerSample));
    storeLE32(out, kRf64TableLengthAt, 0);
    // The fmt chunk and the data chunk's header exactly as the 44-byte header has them; then the
    // data size marker in place of the size.
    std::copy_n(wav.begin() + kWavFmtChunkAt, kFmtThroughDataHeader,
                header.begin() + kRf64FmtChunkAt);
    storeLE32(out, kRf64DataSizeMarkerAt, kRf64SizeMarker);
    return header;
}

} // namespace vaskel
