// The renderer's one monotonic clock: signed 64-bit nanoseconds from the performance counter.
#pragma once

#include <cstdint>

namespace vaskel {

inline constexpr std::int64_t kNanosecondsPerSecond = 1000000000;
inline constexpr std::int64_t kMaxSteadyNanoseconds = INT64_MAX;
// The longest single sleep sleepUntil asks for: 10 days.
inline constexpr std::int64_t kMaxSleepChunkNanoseconds = 864000000000000;

// Converts a counter reading to nanoseconds. A 10 MHz counter (the usual Windows rate) is a plain
// multiplication; any other rate is split into whole seconds and remainder so that
// counter * 1000000000 is never formed and cannot overflow.
constexpr std::int64_t counterToNanoseconds(std::int64_t counter, std::int64_t frequency) {
    if (frequency == 10000000) {
        return counter * 100;
    }
    return (counter / frequency) * kNanosecondsPerSecond +
           ((counter % frequency) * kNanosecondsPerSecond) / frequency;
}

// Milliseconds to ask the platform for when `remaining` nanoseconds are left: a started
// millisecond counts whole, and no single sleep is longer than 10 days.
constexpr std::uint32_t sleepMillisecondsFor(std::int64_t remaining) {
    if (remaining > kMaxSleepChunkNanoseconds) {
        remaining = kMaxSleepChunkNanoseconds;
    }
    return static_cast<std::uint32_t>((remaining + 999999) / 1000000);
}

// Adds without passing the largest reading.
constexpr std::int64_t saturatingAdd(std::int64_t now, std::int64_t delta) {
    return now >= kMaxSteadyNanoseconds - delta ? kMaxSteadyNanoseconds : now + delta;
}

class SteadyClock {
public:
    // Nanoseconds since an arbitrary fixed origin; never decreases.
    static std::int64_t now();
};

// Sleeps until SteadyClock::now() >= target.
void sleepUntil(std::int64_t target);

} // namespace vaskel
