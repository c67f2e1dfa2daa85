#include "output/wav_format.h"

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

void writeWavHeader(std::ostream& stream, std::uint32_t sampleRate, std::uint16_t channelCount,
                    std::uint32_t dataSize) {
    const auto header = makeWavHeader(sampleRate, channelCount, dataSize);
    stream.seekp(0, std::ios::beg);
    stream.write(reinterpret_cast<const char*>(header.data()),
                 static_cast<std::streamsize>(header.size()));
}

} // namespace vaskel
