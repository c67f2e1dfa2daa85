// One stream's WAV file: a 44-byte RIFF/WAVE header (IEEE float, 32 bits) followed by the
// samples exactly as the producer wrote them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <ostream>

namespace vaskel {

inline constexpr std::size_t kWavHeaderSize = 44;
inline constexpr std::uint32_t kWavFormatIeeeFloat = 3;
inline constexpr std::uint32_t kWavBitsPerSample = 32;
// The largest data size whose RIFF size (data + 36) still fits in 32 bits.
inline constexpr std::uint64_t kMaxWavDataSize = 0xFFFFFFFFull - 36;

// Sample bytes of `frames` frames of `channels` 32-bit samples.
constexpr std::uint64_t wavDataSize(std::uint32_t channels, std::uint64_t frames) {
    return std::uint64_t{channels} * frames * (kWavBitsPerSample / 8);
}

constexpr bool fitsRiffLimit(std::uint64_t dataSize) {
    return dataSize <= kMaxWavDataSize;
}

constexpr std::uint32_t riffSize(std::uint32_t dataSize) {
    return dataSize + 36;
}

// The 44 header bytes, every integer put little-endian explicitly.
std::array<std::uint8_t, kWavHeaderSize>
makeWavHeader(std::uint32_t sampleRate, std::uint16_t channelCount, std::uint32_t dataSize);

// Seeks to offset 0 and writes the header. Reports nothing: a failure shows in the stream's
// state (a failed seek sets failbit, a short write badbit; a failed stream writes nothing more).
void writeWavHeader(std::ostream& stream, std::uint32_t sampleRate, std::uint16_t channelCount,
                    std::uint32_t dataSize);

// The output file of one stream. Its stream state is the only error channel.
class StreamWriter {
public:
    // Creates or truncates the file for binary output; check isOpen() afterwards.
    void open(const std::filesystem::path& path);
    bool isOpen() const { return file_.is_open(); }

    // One unformatted write straight from the caller's bytes (the shared slot).
    void append(const std::byte* data, std::size_t bytes) {
        file_.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(bytes));
    }

    void writeHeader(std::uint32_t sampleRate, std::uint16_t channelCount, std::uint32_t dataSize) {
        writeWavHeader(file_, sampleRate, channelCount, dataSize);
    }

    void flush() { file_.flush(); }

    // False once any error flag is set; it stays set.
    bool good() const { return file_.good(); }

    std::ofstream& stream() { return file_; }

private:
    std::ofstream file_;
};

} // namespace vaskel
