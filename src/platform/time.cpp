#include "platform/time.h"

#include <algorithm>
#include <limits>

namespace vaskel::platform {

void sleepUntil(const Deadline& deadline) {
    for (std::int64_t left = deadline.remaining(); left > 0; left = deadline.remaining()) {
        sleepMilliseconds(sleepMillisecondsFor(left));
    }
}

std::int64_t FineSleep::measureResolution() const {
    // Once per process: the timer does not change while it runs, and a renderer captures once.
    static const std::int64_t measured = [this] {
        constexpr int kTries = 10;
        std::int64_t shortest = std::numeric_limits<std::int64_t>::max();
        for (int i = 0; i < kTries; ++i) {
            const std::int64_t start = SteadyClock::now();
            sleepFor(1);
            shortest = std::min(shortest, SteadyClock::now() - start);
        }
        return std::max<std::int64_t>(shortest, 1);
    }();
    return measured;
}

} // namespace vaskel::platform
