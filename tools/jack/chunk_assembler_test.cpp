#include "tools/jack/chunk_assembler.h"
#include "tools/jack/frame_buffer.h"

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

// The bridge's buffer: periods written whole or not at all, read back across the storage's end
// in the order written, the fill and its peak counted from frames never wrapped.
TEST(JackFrameBuffer, HandsEveryFrameOverOnceAcrossTheWrapAndRefusesWhatDoesNotFit) {
    constexpr std::uint32_t ports = 3;
    constexpr std::uint64_t capacity = 1000;
    FrameBuffer buffer;
    buffer.reset(ports, capacity);
    struct Step {
        bool write;           // else: read
        std::uint64_t frames; // to write, or at most to read
        bool fits;            // a write: taken whole
        std::uint64_t fill;   // after the step
    };
    const std::vector<Step> steps = {
        {true, 600, true, 600},   {true, 401, false, 600}, // one frame too many: nothing taken
        {true, 400, true, 1000},  {true, 1, false, 1000},  // exactly full
        {false, 700, true, 300},  {true, 650, true, 950},  // written across the end
        {false, 2000, true, 0},                            // read in two runs
        {true, 1000, true, 1000}, {false, 999, true, 1},   {true, 999, true, 1000},
        {false, 1000, true, 0},   {true, 0, true, 0},
    };
    std::uint64_t nextWritten = 0, nextRead = 0, peak = 0;
    std::vector<float> period;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const Step& step = steps[i];
        if (step.write) {
            period.resize(std::size_t{ports} * step.frames);
            for (std::uint32_t p = 0; p < ports; ++p) {
                for (std::uint64_t f = 0; f < step.frames; ++f) {
                    period[p * step.frames + f] = static_cast<float>((nextWritten + f) * 4 + p);
                }
            }
            const bool fitted = buffer.write(step.frames, [&](std::uint32_t p) {
                return period.data() + std::size_t{p} * step.frames;
            });
            EXPECT_EQ(fitted, step.fits) << i;
            if (fitted) {
                nextWritten += step.frames;
                peak = std::max(peak, buffer.fill());
            }
        } else {
            std::uint64_t wanted = std::min(step.frames, buffer.readable());
            while (wanted > 0) {
                const std::uint64_t at = buffer.readPosition();
                const std::uint64_t run = std::min(wanted, capacity - at);
                for (std::uint32_t p = 0; p < ports; ++p) {
                    for (std::uint64_t f = 0; f < run; ++f) {
                        ASSERT_EQ(buffer.port(p, at)[f], static_cast<float>((nextRead + f) * 4 + p))
                            << i << '/' << p << '/' << f;
                    }
                }
                buffer.release(run);
                nextRead += run;
                wanted -= run;
            }
        }
        EXPECT_EQ(buffer.fill(), step.fill) << i;
        EXPECT_EQ(buffer.readable(), step.fill) << i;
    }
    EXPECT_EQ(buffer.peak(), peak);
    EXPECT_EQ(buffer.peak(), capacity);
}

} // namespace
} // namespace vaskel::jack_bridge
