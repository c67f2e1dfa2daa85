// The platform's fine sleep, held open for one scope (a capture), and how fine it is.
#pragma once

#include "platform/platform.h"

#include <cstdint>

namespace vaskel {

class FineSleeper {
public:
    FineSleeper() : sleep_(platform::openFineSleep()) {}
    ~FineSleeper() { platform::closeFineSleep(sleep_); }
    FineSleeper(const FineSleeper&) = delete;
    FineSleeper& operator=(const FineSleeper&) = delete;

    // Sleeps for at least `nanoseconds`.
    void sleepFor(std::int64_t nanoseconds) const { platform::fineSleep(sleep_, nanoseconds); }

    // The shortest sleep the platform gives, in nanoseconds: the least time that a few sleeps of
    // 1 ns took on the SteadyClock, measured once per process. The least, since a slow one tells
    // of other work on the machine rather than of the timer.
    std::int64_t measureResolution() const;

private:
    platform::FineSleep sleep_;
};

} // namespace vaskel
