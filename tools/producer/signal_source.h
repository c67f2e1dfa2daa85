// The producer's test signal and chunk sizes. Both are pure functions of the settings, so a
// later --verify can regenerate every sample that was published, bit for bit.
#pragma once

#include "tools/producer/producer_options.h"

#include <cstdint>
#include <random>
#include <vector>

namespace vaskel::producer_tool {

// The tone of a stream: 220 Hz, 330 Hz, 440 Hz, ... (repeating after 16 streams), lowered to a
// quarter of the sample rate where it would not fit below the Nyquist frequency.
std::uint32_t toneFrequency(std::uint32_t stream, std::uint32_t sampleRate);

// The sample of (stream, logical frame, channel). Sine: the stream's tone at amplitude 0.5 on
// channel 0 and 0.25 on channel 1, its phase exact for any frame number. Pattern: a hash of the
// three numbers, a different exactly representable value in [-1, 1) for every nearby triple.
float sampleValue(const SignalSettings& signal, std::uint32_t stream, std::uint64_t frame,
                  std::uint32_t channel);

// `frames` interleaved frames of `stream` starting at logical frame `firstFrame`, into `out`
// (resized to frames × channels).
void renderFrames(const SignalSettings& signal, std::uint32_t stream, std::uint64_t firstFrame,
                  std::uint32_t frames, std::vector<float>& out);

// The frame counts of one stream's chunks, in order: framesPerChunk each (the last one shorter),
// or drawn from 1..framesPerChunk by a generator seeded from (seed, stream).
class ChunkSizer {
public:
    ChunkSizer(ChunkMode mode, std::uint32_t framesPerChunk, std::uint64_t seed,
               std::uint32_t stream);
    // The next chunk's frames when `remaining` frames are still to be published (> 0).
    std::uint32_t next(std::uint64_t remaining);

private:
    ChunkMode mode_;
    std::uint32_t framesPerChunk_;
    std::mt19937_64 random_;
};

// True when `stream` publishes at least chunk + 1 chunks under these options.
bool streamHasChunk(const ProducerOptions& options, std::uint32_t stream, std::uint64_t chunk);

} // namespace vaskel::producer_tool
