#include "common/fine_sleep.h"

#include "common/steady_clock.h"

#include <algorithm>
#include <limits>

namespace vaskel {

std::int64_t FineSleeper::measureResolution() const {
    constexpr int kTries = 5;
    std::int64_t shortest = std::numeric_limits<std::int64_t>::max();
    for (int i = 0; i < kTries; ++i) {
        const std::int64_t start = SteadyClock::now();
        sleepFor(1);
        shortest = std::min(shortest, SteadyClock::now() - start);
    }
    return std::max<std::int64_t>(shortest, 1);
}

} // namespace vaskel
