// The WAV format of the stream files: a 44-byte RIFF/WAVE header (IEEE float, 32 bits, a 16-byte
// format chunk, then the data chunk) and the size arithmetic around it. Every WAV detail of the
// output lives here and in wav_format.cpp.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace vaskel {

inline constexpr std::size_t kWavHeaderSize = 44;
inline constexpr std::uint32_t kWavFormatIeeeFloat = 3;
inline constexpr std::uint32_t kWavBitsPerSample = 32;
inline constexpr std::uint32_t kWavBytesPerSample = kWavBitsPerSample / 8;
// The RIFF size counts everything after its own field: "WAVE", the format chunk and the data
// chunk's header, 36 bytes, plus the data.
inline constexpr std::uint32_t kRiffOverhead = 36;
// The largest data size whose RIFF size still fits in 32 bits.
inline constexpr std::uint64_t kMaxWavDataSize = 0xFFFFFFFFull - kRiffOverhead;

// Sample bytes of `frames` frames of `channels` 32-bit samples.
constexpr std::uint64_t wavDataSize(std::uint32_t channels, std::uint64_t frames) {
    return std::uint64_t{channels} * frames * kWavBytesPerSample;
}

constexpr bool fitsRiffLimit(std::uint64_t dataSize) {
    return dataSize <= kMaxWavDataSize;
}

// The RIFF size field for `dataSize` data bytes; a size beyond the limit gives 0xFFFFFFFF rather
// than wrapping round to a small number.
constexpr std::uint32_t riffSize(std::uint64_t dataSize) {
    return fitsRiffLimit(dataSize) ? static_cast<std::uint32_t>(dataSize + kRiffOverhead)
                                   : 0xFFFFFFFFu;
}

// The 44 header bytes, every integer put little-endian explicitly.
std::array<std::uint8_t, kWavHeaderSize>
makeWavHeader(std::uint32_t sampleRate, std::uint16_t channelCount, std::uint32_t dataSize);

// Where the fields of the 44-byte header lie. The RIFF size field is at the same place in the
// RF64 header, where it holds the marker.
inline constexpr std::size_t kWavRiffSizeAt = 4;
inline constexpr std::size_t kWavWaveTagAt = 8;
inline constexpr std::size_t kWavFmtChunkAt = 12;
inline constexpr std::size_t kWavDataChunkAt = 36;
inline constexpr std::size_t kWavDataSizeAt = 40;

// The fmt chunk: its size field's value, and where its fields lie from the chunk's start.
inline constexpr std::uint32_t kFmtChunkSize = 16;
inline constexpr std::size_t kFmtSizeAt = 4;
inline constexpr std::size_t kFmtFormatAt = 8;
inline constexpr std::size_t kFmtChannelsAt = 10;
inline constexpr std::size_t kFmtSampleRateAt = 12;
inline constexpr std::size_t kFmtByteRateAt = 16;
inline constexpr std::size_t kFmtBlockAlignAt = 20;
inline constexpr std::size_t kFmtBitsAt = 22;
// From the fmt chunk's tag to the end of the data chunk's header.
inline constexpr std::size_t kFmtThroughDataHeader = kWavHeaderSize - kWavFmtChunkAt;

// RF64 (EBU Tech 3306), for data beyond the RIFF limit: "RF64" instead of "RIFF", both 32-bit
// sizes 0xFFFFFFFF, and a ds64 chunk right after "WAVE" with the 64-bit RIFF size, data size and
// sample count (frames per channel) and an empty table; then the same fmt chunk and the data
// chunk. 80 bytes in all.
inline constexpr std::size_t kRf64HeaderSize = 80;
inline constexpr std::uint32_t kRf64SizeMarker = 0xFFFFFFFF;
inline constexpr std::uint32_t kDs64ChunkSize = 28;
inline constexpr std::size_t kRf64Ds64ChunkAt = 12;
inline constexpr std::size_t kRf64Ds64SizeAt = 16;
inline constexpr std::size_t kRf64RiffSizeAt = 20;
inline constexpr std::size_t kRf64DataSizeAt = 28;
inline constexpr std::size_t kRf64SampleCountAt = 36;
inline constexpr std::size_t kRf64TableLengthAt = 44;
inline constexpr std::size_t kRf64FmtChunkAt = 48;
inline constexpr std::size_t kRf64DataSizeMarkerAt = 76;

std::array<std::uint8_t, kRf64HeaderSize>
makeRf64Header(std::uint32_t sampleRate, std::uint16_t channelCount, std::uint64_t dataSize);

} // namespace vaskel
