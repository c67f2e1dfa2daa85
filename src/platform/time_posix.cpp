#include "platform/time.h"

#include <cerrno>
#include <ctime>
#include <sched.h>

namespace vaskel::platform {

// CLOCK_MONOTONIC counts nanoseconds already: its reading is the clock's.
std::int64_t SteadyClock::now() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * kNanosecondsPerSecond + now.tv_nsec;
}

void sleepMilliseconds(std::uint32_t milliseconds) {
    timespec remaining{static_cast<time_t>(milliseconds / 1000),
                       static_cast<long>(milliseconds % 1000) * 1000000L};
    // A signal may cut the sleep short; sleep out the rest.
    while (::nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

// Nothing to hold: clock_nanosleep needs no timer of its own.
FineSleep::FineSleep() = default;

void FineSleep::sleepFor(std::int64_t nanoseconds) const {
    if (nanoseconds <= 0) {
        return;
    }
    // An absolute deadline, so a signal that cuts the sleep short costs no extra time.
    timespec deadline{};
    ::clock_gettime(CLOCK_MONOTONIC, &deadline);
    const std::int64_t end = static_cast<std::int64_t>(deadline.tv_nsec) + nanoseconds;
    deadline.tv_sec += static_cast<time_t>(end / 1000000000);
    deadline.tv_nsec = static_cast<long>(end % 1000000000);
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

void FineSleep::lowerResolution(const bool&) noexcept {}

void yieldThread() {
    ::sched_yield();
}

void spinPause() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

} // namespace vaskel::platform
