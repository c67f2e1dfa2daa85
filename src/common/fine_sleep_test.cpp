#include "common/fine_sleep.h"
#include "common/steady_clock.h"

#include <gtest/gtest.h>
#include <iostream>

namespace vaskel {
namespace {

TEST(FineSleep, NeverEndsEarlyAndReportsAResolution) {
    const FineSleeper sleeper;
    for (const std::int64_t request :
         {std::int64_t{1}, std::int64_t{200000}, std::int64_t{1500000}}) {
        const std::int64_t start = SteadyClock::now();
        sleeper.sleepFor(request);
        EXPECT_GE(SteadyClock::now() - start, request) << request << " ns";
    }
    const std::int64_t resolution = sleeper.measureResolution();
    EXPECT_GT(resolution, 0);
    // A figure for the record, not a check: it depends on the system and its load.
    std::cout << "[ measured ] fine sleep resolution " << resolution << " ns\n";
}

} // namespace
} // namespace vaskel
