#include "output/wav_format.h"

#include "common/byte_order.h"

#include <algorithm>

namespace vaskel {

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
    storeLE32(out, 4, riffSize(dataSize));
    putTag(out, 8, "WAVE");
    putTag(out, 12, "fmt ");
    storeLE32(out, 16, 16);
    storeLE16(out, 20, static_cast<std::uint16_t>(kWavFormatIeeeFloat));
    storeLE16(out, 22, channelCount);
    storeLE32(out, 24, sampleRate);
    // Formed in 32 bits, as every reader of the field does.
    storeLE32(out, 28, sampleRate * channelCount * kWavBytesPerSample);
    storeLE16(out, 32, static_cast<std::uint16_t>(channelCount * kWavBytesPerSample));
    storeLE16(out, 34, static_cast<std::uint16_t>(kWavBitsPerSample));
    putTag(out, 36, "data");
    storeLE32(out, 40, dataSize);
    return header;
}

std::array<std::uint8_t, kRf64HeaderSize>
makeRf64Header(std::uint32_t sampleRate, std::uint16_t channelCount, std::uint64_t dataSize) {
    const auto wav = makeWavHeader(sampleRate, channelCount, 0);
    std::array<std::uint8_t, kRf64HeaderSize> header{};
    const std::span<std::uint8_t> out = header;
    putTag(out, 0, "RF64");
    storeLE32(out, 4, kRf64SizeMarker);
    putTag(out, 8, "WAVE");
    putTag(out, 12, "ds64");
    storeLE32(out, 16, kDs64ChunkSize);
    storeLE64(out, kRf64RiffSizeAt, dataSize + kRf64HeaderSize - 8);
    storeLE64(out, kRf64DataSizeAt, dataSize);
    storeLE64(out, kRf64SampleCountAt, dataSize / (channelCount * kWavBytesPerSample));
    storeLE32(out, 44, 0); // table length
    // The fmt chunk and the data tag exactly as the 44-byte header has them.
    std::copy_n(wav.begin() + 12, 28, header.begin() + 48);
    storeLE32(out, 76, kRf64SizeMarker);
    return header;
}

void putLittleEndian(std::uint8_t* out, std::uint64_t value, int bytes) {
    storeLittleEndian({out, static_cast<std::size_t>(bytes)}, value);
}

void writeWavHeader(std::ostream& stream, std::uint32_t sampleRate, std::uint16_t channelCount,
                    std::uint32_t dataSize) {
    const auto header = makeWavHeader(sampleRate, channelCount, dataSize);
    stream.seekp(0, std::ios::beg);
    stream.write(reinterpret_cast<const char*>(header.data()),
                 static_cast<std::streamsize>(header.size()));
}

} // namespace vaskel
