#include "tools/producer/signal_source.h"

#include <cmath>
#include <cstring>
#include <gtest/gtest.h>
#include <set>

namespace vaskel::producer_tool {
namespace {

SignalSettings signalOf(SignalKind kind, std::uint32_t rate = 48000) {
    SignalSettings signal;
    signal.kind = kind;
    signal.sampleRate = rate;
    return signal;
}

bool sameBits(float a, float b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

TEST(SignalSource, ToneFrequenciesAreDistinctAndBelowNyquist) {
    std::set<std::uint32_t> tones;
    for (std::uint32_t stream = 0; stream < 16; ++stream) {
        tones.insert(toneFrequency(stream, 48000));
    }
    EXPECT_EQ(tones.size(), 16u);
    EXPECT_EQ(toneFrequency(0, 48000), 220u);
    EXPECT_EQ(toneFrequency(2, 48000), 440u);
    for (const std::uint32_t rate : {1000u, 8000u, 44100u}) {
        for (std::uint32_t stream = 0; stream < 128; ++stream) {
            EXPECT_LT(2 * toneFrequency(stream, rate), rate) << stream << " at " << rate;
        }
    }
}

// A person hears the stream's tone: over one second channel 0 swings to ±0.5 and crosses zero
// twice per period; channel 1 carries the same tone at half the amplitude.
TEST(SignalSource, SineIsTheStreamsTone) {
    const SignalSettings signal = signalOf(SignalKind::Sine);
    for (const std::uint32_t stream : {0u, 5u}) {
        const std::uint32_t tone = toneFrequency(stream, 48000);
        float peak = 0;
        std::uint32_t crossings = 0;
        float previous = sampleValue(signal, stream, 0, 0);
        for (std::uint64_t frame = 1; frame <= 48000; ++frame) {
            const float left = sampleValue(signal, stream, frame, 0);
            peak = std::max(peak, std::fabs(left));
            crossings += (previous < 0) != (left < 0) ? 1 : 0;
            previous = left;
            EXPECT_NEAR(sampleValue(signal, stream, frame, 1), left / 2, 1e-6f);
        }
        EXPECT_NEAR(peak, 0.5f, 1e-3f);
        EXPECT_NEAR(crossings, 2 * tone, 2) << stream;
    }
}

TEST(SignalSource, SinePhaseStaysExactForLateFrames) {
    const SignalSettings signal = signalOf(SignalKind::Sine, 44100);
    const std::uint64_t late = 44100ull * 1000000000000ull; // a whole number of seconds
    for (std::uint64_t frame = 0; frame < 300; ++frame) {
        EXPECT_TRUE(
            sameBits(sampleValue(signal, 3, frame, 0), sampleValue(signal, 3, late + frame, 0)))
            << frame;
    }
}

TEST(SignalSource, PatternTellsStreamsFramesAndChannelsApart) {
    const SignalSettings signal = signalOf(SignalKind::Pattern);
    std::set<float> values;
    std::size_t count = 0;
    for (std::uint32_t stream = 0; stream < 4; ++stream) {
        for (std::uint64_t frame = 0; frame < 2000; ++frame) {
            for (std::uint32_t channel = 0; channel < 2; ++channel) {
                const float value = sampleValue(signal, stream, frame, channel);
                EXPECT_GE(value, -1.0f);
                EXPECT_LT(value, 1.0f);
                values.insert(value);
                ++count;
            }
        }
    }
    // 16000 samples drawn from 2^24 values: a handful of chance collisions at most.
    EXPECT_GT(values.size(), count - 20);
    // Swapped channels, a neighbouring stream or a shifted frame all show.
    EXPECT_NE(sampleValue(signal, 1, 100, 0), sampleValue(signal, 1, 100, 1));
    EXPECT_NE(sampleValue(signal, 1, 100, 0), sampleValue(signal, 2, 100, 0));
    EXPECT_NE(sampleValue(signal, 1, 100, 0), sampleValue(signal, 1, 101, 0));
}

TEST(SignalSource, RenderFramesInterleavesChannels) {
    for (const SignalKind kind : {SignalKind::Sine, SignalKind::Pattern}) {
        SignalSettings signal = signalOf(kind);
        for (const std::uint32_t channels : {1u, 2u}) {
            signal.channels = channels;
            std::vector<float> out(3, 9.0f);
            renderFrames(signal, 6, 5000, 37, out);
            ASSERT_EQ(out.size(), 37u * channels);
            for (std::uint32_t f = 0; f < 37; ++f) {
                for (std::uint32_t c = 0; c < channels; ++c) {
                    EXPECT_TRUE(
                        sameBits(out[f * channels + c], sampleValue(signal, 6, 5000 + f, c)));
                }
            }
        }
    }
}

std::vector<std::uint32_t> sizesOf(ChunkSizer sizer, std::uint64_t total) {
    std::vector<std::uint32_t> sizes;
    while (total > 0) {
        sizes.push_back(sizer.next(total));
        total -= sizes.back();
    }
    return sizes;
}

TEST(SignalSource, FixedChunksAreFullUntilTheLast) {
    EXPECT_EQ(sizesOf(ChunkSizer(ChunkMode::Fixed, 1024, 1, 0), 2500),
              (std::vector<std::uint32_t>{1024, 1024, 452}));
    EXPECT_EQ(sizesOf(ChunkSizer(ChunkMode::Fixed, 1, 1, 0), 3),
              (std::vector<std::uint32_t>{1, 1, 1}));
}

TEST(SignalSource, RandomChunksAreSeededAndInRange) {
    const auto sizes = sizesOf(ChunkSizer(ChunkMode::Random, 64, 7, 1), 100000);
    std::uint64_t sum = 0;
    std::set<std::uint32_t> distinct;
    for (const std::uint32_t size : sizes) {
        EXPECT_GE(size, 1u);
        EXPECT_LE(size, 64u);
        sum += size;
        distinct.insert(size);
    }
    EXPECT_EQ(sum, 100000u);
    EXPECT_EQ(distinct.size(), 64u); // every size from 1 to 64 occurs
    EXPECT_EQ(sizes, sizesOf(ChunkSizer(ChunkMode::Random, 64, 7, 1), 100000));
    EXPECT_NE(sizes, sizesOf(ChunkSizer(ChunkMode::Random, 64, 8, 1), 100000));
    EXPECT_NE(sizes, sizesOf(ChunkSizer(ChunkMode::Random, 64, 7, 2), 100000));
}

TEST(SignalSource, StreamHasChunkAgreesWithTheSizer) {
    ProducerOptions options;
    options.signal.frames = 5000;
    options.framesPerChunk = 300;
    for (const ChunkMode mode : {ChunkMode::Fixed, ChunkMode::Random}) {
        options.chunks = mode;
        for (const std::uint32_t stream : {0u, 3u}) {
            const std::size_t count =
                sizesOf(ChunkSizer(mode, 300, options.seed, stream), 5000).size();
            EXPECT_TRUE(streamHasChunk(options, stream, count - 1));
            EXPECT_FALSE(streamHasChunk(options, stream, count));
        }
    }
    options.signal.frames = 0;
    EXPECT_FALSE(streamHasChunk(options, 0, 0));
}

} // namespace
} // namespace vaskel::producer_tool
