#include "tools/jack/chunk_assembler.h"

#include <gtest/gtest.h>
#include <random>

namespace vaskel::jack_bridge {
namespace {

float sampleOf(std::uint32_t stream, std::uint32_t channel, std::uint64_t frame) {
    return static_cast<float>(frame * 8 + stream * 2 + channel);
}

// Periods shorter, longer and not a multiple of the chunk, as a server whose period changes
// delivers them: every chunk but the flushed last one is whole, and every stream carries every
// frame once, in order, its channels interleaved.
TEST(JackChunkAssembler, CutsAndGathersPeriodsIntoWholeChunksWithoutLosingAFrame) {
    constexpr std::uint32_t streams = 3, channels = 2, chunk = 256;
    ChunkAssembler assembler(streams, channels, chunk);
    std::vector<std::vector<float>> published(streams);
    std::vector<std::uint32_t> chunkSizes;
    const auto publish = [&](std::uint32_t stream, const float* interleaved, std::uint32_t frames) {
        published[stream].insert(published[stream].end(), interleaved,
                                 interleaved + std::size_t{frames} * channels);
        if (stream == 0) {
            chunkSizes.push_back(frames);
        }
        return 0;
    };
    std::mt19937 random(7);
    const std::vector<std::uint32_t> periods = {256, 64, 64, 32, 1024, 100, 8192, 1, 333};
    std::vector<std::vector<float>> ports(std::size_t{streams} * channels);
    std::uint64_t frame = 0;
    for (int round = 0; round < 20; ++round) {
        const std::uint32_t period = periods[random() % periods.size()];
        for (std::uint32_t s = 0; s < streams; ++s) {
            for (std::uint32_t ch = 0; ch < channels; ++ch) {
                auto& port = ports[std::size_t{s} * channels + ch];
                port.resize(period);
                for (std::uint32_t i = 0; i < period; ++i) {
                    port[i] = sampleOf(s, ch, frame + i);
                }
            }
        }
        ASSERT_EQ(assembler.add(
                      period,
                      [&](std::uint32_t s, std::uint32_t ch) {
                          return ports[std::size_t{s} * channels + ch].data();
                      },
                      publish),
                  0);
        frame += period;
    }
    const std::uint32_t staged = assembler.staged();
    ASSERT_EQ(assembler.flush(publish), 0);
    EXPECT_EQ(assembler.staged(), 0u);
    for (std::size_t i = 0; i < chunkSizes.size(); ++i) {
        EXPECT_EQ(chunkSizes[i], i + 1 < chunkSizes.size() || staged == 0 ? chunk : staged) << i;
    }
    for (std::uint32_t s = 0; s < streams; ++s) {
        ASSERT_EQ(published[s].size(), frame * channels) << s;
        for (std::uint64_t f = 0; f < frame; ++f) {
            for (std::uint32_t ch = 0; ch < channels; ++ch) {
                ASSERT_EQ(published[s][f * channels + ch], sampleOf(s, ch, f)) << s << '/' << f;
            }
        }
    }

    // A refused chunk (a full ring) ends the period at once with the status.
    int calls = 0;
    const std::vector<float> silence(8192, 0.0f);
    const int status = assembler.add(
        8192, [&](std::uint32_t, std::uint32_t) { return silence.data(); },
        [&](std::uint32_t, const float*, std::uint32_t) { return ++calls == 5 ? -9 : 0; });
    EXPECT_EQ(status, -9);
    EXPECT_EQ(calls, 5);
}

} // namespace
} // namespace vaskel::jack_bridge
