#include "capture/pacing.h"
#include "platform/time.h"

#include <gtest/gtest.h>

namespace vaskel {
namespace {

// Nanoseconds that one pacingDelay(delayUs) took on the renderer's clock.
std::int64_t measured(std::uint32_t delayUs) {
    const std::int64_t start = platform::SteadyClock::now();
    pacingDelay(delayUs);
    return platform::SteadyClock::now() - start;
}

TEST(PacingDelay, ZeroDoesNotWait) {
    // A zero delay that slept even a millisecond would make this loop run for many minutes and
    // time the test out; the clock is not asked here, so no bound on time is asserted.
    for (int i = 0; i < 2000000; ++i) {
        pacingDelay(0);
    }
}

TEST(PacingDelay, SpunDelaysLastAtLeastTheirLength) {
    for (const std::uint32_t delayUs : {1u, 10u, 500u, 999u}) {
        for (int i = 0; i < 3; ++i) {
            EXPECT_GE(measured(delayUs), std::int64_t{delayUs} * 1000) << delayUs << " us";
        }
    }
}

TEST(PacingDelay, SleptDelaysLastAtLeastTheirLength) {
    for (const std::uint32_t delayUs : {1000u, 1500u, 2001u}) {
        for (int i = 0; i < 3; ++i) {
            EXPECT_GE(measured(delayUs), std::int64_t{delayUs} * 1000) << delayUs << " us";
        }
    }
}

} // namespace
} // namespace vaskel
