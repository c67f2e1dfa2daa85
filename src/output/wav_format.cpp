#include "output/wav_format.h"

#include <algorithm>

namespace vaskel {

namespace {

void putU16(std::uint8_t* out, std::uint16_t value) {
    out[0] = static_cast<std::uint8_t>(value);
    out[1] = static_cast<std::uint8_t>(value >> 8);
}

void putU32(std::uint8_t* out, std::uint32_t value) {
    out[0] = static_cast<std::uint8_t>(value);
    out[1] = static_cast<std::uint8_t>(value >> 8);
    out[2] = static_cast<std::uint8_t>(value >> 16);
    out[3] = static_cast<std::uint8_t>(value >> 24);
}

void putTag(std::uint8_t* out, const char (&tag)[5]) {
    for (int i = 0; i < 4; ++i) {
        out[i] = static_cast<std::uint8_t>(tag[i]);
    }
}

} // namespace

std::array<std::uint8_t, kWavHeaderSize>
makeWavHeader(std::uint32_t sampleRate, std::uint16_t channelCount, std::uint32_t dataSize) {
    std::array<std::uint8_t, kWavHeaderSize> header{};
    std::uint8_t* out = header.data();
    putTag(out + 0, "RIFF");
    putU32(out + 4, riffSize(dataSize));
    putTag(out + 8, "WAVE");
    putTag(out + 12, "fmt ");
    putU32(out + 16, 16);
    putU16(out + 20, static_cast<std::uint16_t>(kWavFormatIeeeFloat));
    putU16(out + 22, channelCount);
    putU32(out + 24, sampleRate);
    // Formed in 32 bits, as every reader of the field does.
    putU32(out + 28, sampleRate * channelCount * kWavBytesPerSample);
    putU16(out + 32, static_cast<std::uint16_t>(channelCount * kWavBytesPerSample));
    putU16(out + 34, static_cast<std::uint16_t>(kWavBitsPerSample));
    putTag(out + 36, "data");
    putU32(out + 40, dataSize);
    return header;
}

std::array<std::uint8_t, kRf64HeaderSize>
makeRf64Header(std::uint32_t sampleRate, std::uint16_t channelCount, std::uint64_t dataSize) {
    const auto wav = makeWavHeader(sampleRate, channelCount, 0);
    std::array<std::uint8_t, kRf64HeaderSize> header{};
    std::uint8_t* out = header.data();
    putTag(out + 0, "RF64");
    putU32(out + 4, kRf64SizeMarker);
    putTag(out + 8, "WAVE");
    putTag(out + 12, "ds64");
    putU32(out + 16, kDs64ChunkSize);
    putLittleEndian(out + kRf64RiffSizeAt, dataSize + kRf64HeaderSize - 8, 8);
    putLittleEndian(out + kRf64DataSizeAt, dataSize, 8);
    putLittleEndian(out + kRf64SampleCountAt, dataSize / (channelCount * kWavBytesPerSample), 8);
    putU32(out + 44, 0); // table length
    // The fmt chunk and the data tag exactly as the 44-byte header has them.
    std::copy_n(wav.begin() + 12, 28, out + 48);
    putU32(out + 76, kRf64SizeMarker);
    return header;
}

void putLittleEndian(std::uint8_t* out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

void writeWavHeader(std::ostream& stream, std::uint32_t sampleRate, std::uint16_t channelCount,
                    std::uint32_t dataSize) {
    const auto header = makeWavHeader(sampleRate, channelCount, dataSize);
    stream.seekp(0, std::ios::beg);
    stream.write(reinterpret_cast<const char*>(header.data()),
                 static_cast<std::streamsize>(header.size()));
}

} // namespace vaskel
