// Time as the programs wait on it: one monotonic clock in nanoseconds, one Deadline on it, the
// plain sleeps and the fine sleep an idle capture uses, and the ways to give up the processor.
#pragma once

#include "platform/handle.h"

#include <cstdint>

namespace vaskel::platform {

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

// Adds a non-negative `delta` without passing the largest reading.
constexpr std::int64_t saturatingAdd(std::int64_t now, std::int64_t delta) {
    return now >= kMaxSteadyNanoseconds - delta ? kMaxSteadyNanoseconds : now + delta;
}

class SteadyClock {
public:
    // Nanoseconds since an arbitrary fixed origin; never decreases. POSIX: CLOCK_MONOTONIC.
    // Windows: the performance counter, through counterToNanoseconds.
    static std::int64_t now();
};

// A moment on the SteadyClock by which something must be done. One too far off to represent
// is the largest reading, which never comes.
class Deadline {
public:
    // `nanoseconds` from now, saturating; a negative span counts as none.
    static Deadline after(std::int64_t nanoseconds) {
        return Deadline(saturatingAdd(SteadyClock::now(), nanoseconds < 0 ? 0 : nanoseconds));
    }
    // At a reading of the SteadyClock.
    static constexpr Deadline at(std::int64_t steadyNanoseconds) {
        return Deadline(steadyNanoseconds);
    }

    // True once the clock has reached the deadline.
    [[nodiscard]] bool expired() const { return SteadyClock::now() >= when_; }
    // Nanoseconds still to go; 0 once expired.
    [[nodiscard]] std::int64_t remaining() const {
        const std::int64_t now = SteadyClock::now();
        return now < when_ ? when_ - now : 0;
    }

private:
    constexpr explicit Deadline(std::int64_t when) : when_(when) {}
    std::int64_t when_;
};

// Sleeps for at least `milliseconds`.
void sleepMilliseconds(std::uint32_t milliseconds);

// Sleeps until the deadline has expired, a millisecond sleep at a time (sleepMillisecondsFor).
void sleepUntil(const Deadline& deadline);

// A sleep fine enough for waits well below a millisecond, held open while it is used (a
// capture). POSIX holds nothing: clock_nanosleep on CLOCK_MONOTONIC. Windows: a high-resolution
// waitable timer where the system has one; otherwise a plain waitable timer with the system
// timer resolution raised to 1 ms (timeBeginPeriod), which letting go restores.
class FineSleep {
public:
    FineSleep();

    // Sleeps for at least `nanoseconds`; however short the request, the platform's resolution at
    // least. A non-positive request returns at once.
    void sleepFor(std::int64_t nanoseconds) const;

    // The shortest sleep the platform gives, in nanoseconds: the least time that a few sleeps of
    // 1 ns took on the SteadyClock, measured once per process. The least, since a slow one tells
    // of other work on the machine rather than of the timer.
    std::int64_t measureResolution() const;

private:
    // Lowers the system timer resolution that was raised (Windows).
    static void lowerResolution(const bool& raised) noexcept;
    // Released in the reverse order: the timer, then the resolution.
    Owned<ReleasedBy<bool, false, lowerResolution>> resolution_;
    OwnedHandle timer_;
};

// Gives up the rest of the time slice.
void yieldThread();

// The processor's spin-wait hint (PAUSE on x86-64).
void spinPause();

} // namespace vaskel::platform
