#include "tools/producer/signal_source.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace vaskel::producer_tool {

namespace {

// splitmix64's finaliser: every input bit reaches every output bit.
std::uint64_t mix(std::uint64_t value) {
    value += 0x9E3779B97F4A7C15ull;
    value = (value ^ (value >> 30)) * 0xBF58476D1CE4E5B9ull;
    value = (value ^ (value >> 27)) * 0x94D049BB133111EBull;
    return value ^ (value >> 31);
}

float patternValue(std::uint32_t stream, std::uint64_t frame, std::uint32_t channel) {
    const std::uint64_t hash = mix(frame ^ mix((std::uint64_t{stream} << 8) | channel));
    // 24 bits scaled by 2^-23: every value is exact in a float, so no rounding can differ.
    return static_cast<float>(hash >> 40) / 8388608.0f - 1.0f;
}

} // namespace

std::uint32_t toneFrequency(std::uint32_t stream, std::uint32_t sampleRate) {
    const std::uint32_t frequency = 220 + 110 * (stream % 16);
    return 2 * std::uint64_t{frequency} < sampleRate ? frequency : sampleRate / 4;
}

float sampleValue(const SignalSettings& signal, std::uint32_t stream, std::uint64_t frame,
                  std::uint32_t channel) {
    if (signal.kind == SignalKind::Pattern) {
        return patternValue(stream, frame, channel);
    }
    const std::uint64_t rate = signal.sampleRate;
    // The phase in whole 1/rate turns, reduced exactly, so a late frame is as precise as an
    // early one.
    const std::uint64_t turn =
        (toneFrequency(stream, signal.sampleRate) % rate) * (frame % rate) % rate;
    const double phase =
        2.0 * std::numbers::pi * static_cast<double>(turn) / static_cast<double>(rate);
    const double amplitude = channel == 0 ? 0.5 : 0.25;
    return static_cast<float>(amplitude * std::sin(phase));
}

void renderFrames(const SignalSettings& signal, std::uint32_t stream, std::uint64_t firstFrame,
                  std::uint32_t frames, std::vector<float>& out) {
    const std::uint32_t channels = signal.channels;
    out.resize(std::size_t{frames} * channels);
    for (std::uint32_t f = 0; f < frames; ++f) {
        for (std::uint32_t c = 0; c < channels; ++c) {
            out[std::size_t{f} * channels + c] = sampleValue(signal, stream, firstFrame + f, c);
        }
    }
}

ChunkSizer::ChunkSizer(ChunkMode mode, std::uint32_t framesPerChunk, std::uint64_t seed,
                       std::uint32_t stream)
    : mode_(mode), framesPerChunk_(framesPerChunk), random_(mix(seed) ^ mix(stream + 1ull)) {}

std::uint32_t ChunkSizer::next(std::uint64_t remaining) {
    std::uint32_t frames = framesPerChunk_;
    if (mode_ == ChunkMode::Random) {
        // A plain modulo rather than a distribution: mt19937_64's output is fixed by the
        // standard, a distribution's mapping is not, and the sizes must not depend on the library.
        frames = static_cast<std::uint32_t>(random_() % framesPerChunk_) + 1;
    }
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(frames, remaining));
}

bool streamHasChunk(const ProducerOptions& options, std::uint32_t stream, std::uint64_t chunk) {
    const std::uint64_t frames = options.signal.frames;
    if (options.chunks == ChunkMode::Fixed) {
        const std::uint64_t chunks =
            frames / options.framesPerChunk + (frames % options.framesPerChunk != 0 ? 1 : 0);
        return chunk < chunks;
    }
    ChunkSizer sizer(options.chunks, options.framesPerChunk, options.seed, stream);
    std::uint64_t remaining = frames;
    for (std::uint64_t index = 0; remaining > 0; ++index) {
        if (index == chunk) {
            return true;
        }
        remaining -= sizer.next(remaining);
    }
    return false;
}

} // namespace vaskel::producer_tool
