#include "capture/pacing.h"

#include "common/steady_clock.h"
#include "platform/platform.h"

#include <algorithm>

namespace vaskel {

void pacingDelay(std::uint32_t delayUs, const std::atomic<bool>& stop) {
    if (delayUs == 0) {
        return;
    }
    const std::int64_t delay = static_cast<std::int64_t>(delayUs) * 1000;
    if (delayUs < kSleepThresholdUs) {
        const std::int64_t deadline = SteadyClock::now() + delay;
        while (SteadyClock::now() < deadline) {
            platform::spinPause();
        }
        return;
    }
    const std::int64_t start = SteadyClock::now();
    const std::int64_t deadline = saturatingAdd(start, delay);
    for (std::int64_t now = start; now < deadline && !stop.load(std::memory_order_relaxed);
         now = SteadyClock::now()) {
        sleepUntil(std::min(deadline, saturatingAdd(now, kPacingSliceNs)));
    }
}

} // namespace vaskel
