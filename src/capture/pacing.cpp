#include "capture/pacing.h"

#include "platform/time.h"

namespace vaskel {

void pacingDelay(std::uint32_t delayUs) {
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
    platform::sleepUntil(platform::Deadline::after(delay));
}

} // namespace vaskel
