#include "capture/pacing.h"

#include "common/steady_clock.h"
#include "platform/platform.h"

namespace vaskel {

void pacingDelay(std::uint32_t delayUs) {
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
    sleepUntil(saturatingAdd(SteadyClock::now(), delay));
}

} // namespace vaskel
