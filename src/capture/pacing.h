// The wait after every consumed chunk that a delay-us argument asks for.
#pragma once

#include <cstdint>

namespace vaskel {

// Delays below this many microseconds are spun; from it on they are slept.
inline constexpr std::uint32_t kSleepThresholdUs = 1000;

// 0 returns at once without reading the clock; 1..999 µs spin on the clock with the processor's
// spin-wait hint; 1000 µs and more sleep until the deadline, which saturates.
void pacingDelay(std::uint32_t delayUs);

} // namespace vaskel
