#include "common/steady_clock.h"

#include "platform/platform.h"

namespace vaskel {

std::int64_t SteadyClock::now() {
    // Read once per process: the counter's rate never changes while the system runs.
    static const std::int64_t counterFrequency = platform::performanceFrequency();
    return counterToNanoseconds(platform::performanceCounter(), counterFrequency);
}

void sleepUntil(std::int64_t target) {
    for (std::int64_t now = SteadyClock::now(); now < target; now = SteadyClock::now()) {
        platform::sleepMilliseconds(sleepMillisecondsFor(target - now));
    }
}

} // namespace vaskel
