#include "platform/time.h"

#include <cstdint>
#include <gtest/gtest.h>
#include <iostream>

namespace vaskel::platform {
namespace {

TEST(SteadyClockArithmetic, TenMegahertzIsAPlainMultiplication) {
    EXPECT_EQ(counterToNanoseconds(0, 10000000), 0);
    EXPECT_EQ(counterToNanoseconds(12345, 10000000), 1234500);
    // Near 2^62 the shortcut still holds where the product fits.
    EXPECT_EQ(counterToNanoseconds(int64_t{1} << 56, 10000000), (int64_t{1} << 56) * 100);
}

TEST(SteadyClockArithmetic, OtherRatesSplitSecondsAndRemainder) {
    EXPECT_EQ(counterToNanoseconds(3000000, 3000000), 1000000000);
    EXPECT_EQ(counterToNanoseconds(1, 3000000), 333); // 333.33 truncated
    EXPECT_EQ(counterToNanoseconds(4000001, 3000000), 1333333666);
    EXPECT_EQ(counterToNanoseconds(2400000000, 2400000000), 1000000000);
    EXPECT_EQ(counterToNanoseconds(2400000001, 2400000000), 1000000000);
    EXPECT_EQ(counterToNanoseconds(1000000000, 1000000000), 1000000000);
}

TEST(SteadyClockArithmetic, CountersNearTwoToTheSixtyTwoDoNotOverflow) {
    const int64_t counter = (int64_t{1} << 62) + 12345;
    // 2^62 / 1e9 ticks is about 146 years of nanoseconds: the reading equals the counter.
    EXPECT_EQ(counterToNanoseconds(counter, 1000000000), counter);
    // 3 MHz at 2^52 counts (about 47 years): counter * 1e9 would overflow, the split does not.
    const int64_t slow = (int64_t{1} << 52) + 2999999;
    EXPECT_EQ(counterToNanoseconds(slow, 3000000),
              (slow / 3000000) * 1000000000 + (slow % 3000000) * 1000000000 / 3000000);
    EXPECT_EQ(counterToNanoseconds(slow, 3000000) / 1000000000, slow / 3000000);
    // 2.4 GHz: the remainder times 1e9 stays below 2.4e18 < 2^63.
    const int64_t big = (int64_t{1} << 62) - 1;
    EXPECT_EQ(counterToNanoseconds(big, 2400000000),
              (big / 2400000000) * 1000000000 + (big % 2400000000) * 1000000000 / 2400000000);
    EXPECT_GT(counterToNanoseconds(big, 2400000000), 0);
}

TEST(SleepUntil, StartedMillisecondCountsWholeAndSleepsAreCappedAtTenDays) {
    constexpr std::int64_t tenDays = 864000000000000;
    const struct {
        std::int64_t remaining;
        std::uint32_t milliseconds;
    } rows[] = {
        {1, 1u},
        {1000000, 1u},
        {1000001, 2u},
        {1500000, 2u},
        // Around the cap: just below still rounds up to it, anything above is cut to it.
        {tenDays - 1000001, 864000000u - 1},
        {tenDays - 1, 864000000u},
        {tenDays, 864000000u},
        {tenDays + 1, 864000000u},
        {tenDays + 1000000, 864000000u},
        {tenDays * 2, 864000000u},
        {INT64_MAX, 864000000u},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(sleepMillisecondsFor(row.remaining), row.milliseconds) << row.remaining;
    }
}

TEST(SleepUntil, SaturatingDeadline) {
    EXPECT_EQ(saturatingAdd(100, 5), 105);
    EXPECT_EQ(saturatingAdd(INT64_MAX - 10, 4294967295000), INT64_MAX);
    EXPECT_EQ(saturatingAdd(INT64_MAX - 4294967295000, 4294967295000), INT64_MAX);
    // A deadline too far off to represent never comes; one a negative span away has come.
    EXPECT_FALSE(Deadline::after(INT64_MAX).expired());
    EXPECT_GT(Deadline::after(INT64_MAX).remaining(), INT64_MAX / 2);
    EXPECT_TRUE(Deadline::after(-1).expired());
    EXPECT_EQ(Deadline::after(-1).remaining(), 0);
    EXPECT_EQ(Deadline::at(0).remaining(), 0);
}

TEST(SteadyClock, NeverDecreasesAndSleepUntilReachesItsTarget) {
    int64_t previous = SteadyClock::now();
    for (int i = 0; i < 10000; ++i) {
        const int64_t now = SteadyClock::now();
        ASSERT_GE(now, previous);
        previous = now;
    }
    const int64_t target = SteadyClock::now() + 3000000;
    sleepUntil(Deadline::at(target));
    EXPECT_GE(SteadyClock::now(), target);
    // A target in the past returns at once.
    sleepUntil(Deadline::at(0));
}

TEST(FineSleep, NeverEndsEarlyAndReportsAResolution) {
    const FineSleep sleeper;
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
} // namespace vaskel::platform
