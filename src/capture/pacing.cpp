#include "capture/pacing.h"

#include "platform/time.h"

#include <algorithm>

namespace vaskel {

void pacingDelay(std::uint32_t delayUs, const std::atomic<bool>& stop) {
    if (delayUs == 0) {
        return;
    }
    const std::int64_t delay = static_cast<std::int64_t>(delayUs) * 1000;
    if (delayUs < kSleepThresholdUs) {
        const platform::Deadline deadline = platform::Deadline::after(delay);
        while (!deadline.expired()) {
            platform::spinPause();
        }
        return;
    }
    // Slept a slice at a time, so a stop is seen within one slice however long the delay.
    const platform::Deadline deadline = platform::Deadline::after(delay);
    while (!deadline.expired() && !stop.load(std::memory_order_relaxed)) {
        platform::sleepUntil(
            platform::Deadline::after(std::min(deadline.remaining(), kPacingSliceNs)));
    }
}

} // namespace vaskel
