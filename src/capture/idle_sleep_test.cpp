#include "capture/idle_sleep.h"

#include <gtest/gtest.h>
#include <limits>

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

} // namespace
} // namespace vaskel
