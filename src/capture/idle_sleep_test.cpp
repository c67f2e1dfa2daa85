#include "capture/idle_sleep.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <limits>
#include <vector>

namespace vaskel {
namespace {

struct BoundCase {
    const char* what;
    std::uint32_t slots;
    std::uint32_t frames;
    std::uint32_t rate;
    std::int64_t resolution;
    std::int64_t expected;
};

TEST(IdleSleepBound, AQuarterOfTheRingAtMostTheCapAndNoneBelowTheResolution) {
    constexpr std::uint32_t kMax32 = std::numeric_limits<std::uint32_t>::max();
    const BoundCase cases[] = {
        // 1 frame at 192 kHz lasts 5208 ns: a quarter is 1302 ns, below any real timer.
        {"smallest ring, high rate", 1, 1, 192000, 50000, 0},
        {"smallest ring, a timer that fine", 1, 1, 192000, 1302, 1302},
        {"largest ring at 1 Hz", 64, 2048, 1, 50000, kMaxIdleSleepNs},
        {"16 x 1024 frames at 48 kHz", 16, 1024, 48000, 50000, kMaxIdleSleepNs},
        {"a ring of exactly four times the cap", 8, 1440, 48000, 50000, kMaxIdleSleepNs},
        {"a ring 8 frames short of that", 8, 1439, 48000, 50000, 59958333},
        {"16 x 64 frames at 48 kHz", 16, 64, 48000, 50000, 5333333},
        {"16 x 64 frames at 44.1 kHz, rounded down", 16, 64, 44100, 50000, 5804988},
        {"a ring of 1 ms", 1, 48, 48000, 50000, 250000},
        {"bound just below the resolution", 1, 48, 48000, 250001, 0},
        {"bound at the resolution", 1, 48, 48000, 250000, 250000},
        {"cap just below the resolution", 64, 2048, 48000, kMaxIdleSleepNs + 1, 0},
        {"no rate", 16, 1024, 0, 0, 0},
        {"values that would overflow", kMax32, kMax32, kMax32 - 1, 0, kMaxIdleSleepNs},
        {"ring one frame short of a second", 1, 47999, 48000, 0, kMaxIdleSleepNs},
    };
    for (const BoundCase& c : cases) {
        EXPECT_EQ(idleSleepBound(c.slots, c.frames, c.rate, c.resolution), c.expected) << c.what;
    }
}

// One pass as the idle sleeper sees it: what it found and, when it consumed nothing, the wait
// asked for `quietNs` after the last chunk: 0 a yield, otherwise the sleep's length.
struct Pass {
    PassSeen found;
    std::int64_t quietNs = 0;
    std::int64_t wait = 0;
};
Pass idle(std::int64_t quietNs, std::int64_t wait) {
    return {PassSeen{}, quietNs, wait};
}
Pass chunks(std::uint64_t waiting, bool full = false) {
    return {PassSeen{true, full, waiting}};
}

struct SleeperCase {
    const char* what;
    std::uint32_t framesPerChunk; // 2 slots at 48 kHz: 48 frames make a bound of 500 us
    std::int64_t resolutionNs;
    std::int64_t idleLimitNs;
    std::vector<Pass> passes;
};

TEST(IdleSleeper, DecidesEachWaitFromThePassesBefore) {
    constexpr std::int64_t kLimit = 10000000000;
    const SleeperCase cases[] = {
        {"a quiet spell of 20 us, then the bound",
         48,
         50000,
         kLimit,
         {idle(0, 0), idle(19999, 0), idle(20000, 500000), idle(20000, 500000)}},
        {"a timer coarser than the bound never sleeps",
         48,
         500001,
         kLimit,
         {idle(20000, 0), idle(1000000000, 0)}},
        {"a sleep never far past the idle limit", // the pass after it times out
         48,
         50000,
         5000000,
         {idle(4800000, 200001), idle(5000000, 1)}},
        {"1 ms until two calm wake-ups show the producer steady, then the bound after a chunk, "
         "until a ring is full",
         480,
         50000,
         kLimit,
         {idle(20000, 1000000), chunks(1), idle(0, 0), idle(20000, 1000000), chunks(2),
          idle(0, 5000000), chunks(1, true), idle(0, 0), idle(20000, 1000000)}},
        {"only a wake-up that finds chunks is calm, not the passes after it that find more",
         480,
         50000,
         kLimit,
         {idle(20000, 1000000), chunks(1), chunks(1), idle(0, 0)}},
        {"more chunks than real time brings is a producer at full speed, not calm",
         480,
         50000,
         kLimit,
         {idle(20000, 1000000), chunks(3), idle(20000, 1000000), chunks(1), idle(0, 0)}},
        {"a full ring on waking halves the sleep, to an eighth of the bound",
         48,
         50000,
         kLimit,
         {chunks(2, true), idle(20000, 500000), chunks(2, true), idle(20000, 250000),
          chunks(2, true), idle(20000, 125000), chunks(2, true), idle(20000, 62500),
          chunks(2, true), idle(20000, 62500)}},
        {"never below the resolution",
         48,
         100000,
         kLimit,
         {idle(20000, 500000), chunks(2, true), idle(20000, 250000), chunks(2, true),
          idle(20000, 125000), chunks(2, true), idle(20000, 100000)}},
        {"each calm wake-up gives back a sixty-fourth of the bound",
         48,
         50000,
         kLimit,
         {idle(20000, 500000), chunks(2, true), idle(20000, 250000), chunks(1), idle(20000, 257812),
          chunks(1), idle(0, 265624)}},
    };
    for (const SleeperCase& c : cases) {
        IdleSleeper sleeper(testing::makeConfig(1, 2, c.framesPerChunk), c.resolutionNs,
                            c.idleLimitNs);
        for (std::size_t k = 0; k < c.passes.size(); ++k) {
            const Pass& pass = c.passes[k];
            sleeper.afterPass(pass.found);
            if (!pass.found.consumedAny) {
                EXPECT_EQ(sleeper.nextWait(pass.quietNs), pass.wait) << c.what << ", pass " << k;
            }
        }
    }
}

} // namespace
} // namespace vaskel
