// The wait after every consumed chunk that a delay-us argument asks for.
#pragma once

#include <atomic>
#include <cstdint>

namespace vaskel {

// Delays below this many microseconds are spun; from it on they are slept.
inline constexpr std::uint32_t kSleepThresholdUs = 1000;

// A slept delay is slept in slices of at most this long, the stop flag looked at between them:
// a stop asked for during a delay of any length is seen within 60 ms, as in an idle sleep.
inline constexpr std::int64_t kPacingSliceNs = 60000000;

// A stop flag that nobody sets.
inline constexpr std::atomic<bool> kNeverStop{false};

// 0 returns at once without reading the clock; 1..999 µs spin on the clock with the processor's
// spin-wait hint; 1000 µs and more sleep until the deadline, which saturates, in slices, and end
// early once `stop` is set.
void pacingDelay(std::uint32_t delayUs, const std::atomic<bool>& stop = kNeverStop);

} // namespace vaskel
