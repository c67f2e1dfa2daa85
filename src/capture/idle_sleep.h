// How long an idle capture may sleep between passes.
#pragma once

#include <cstdint>

namespace vaskel {

// No idle sleep is longer than this, whatever the rings hold: half the progress file's 120 ms
// cadence, so a paced capture writes a snapshot every other wake-up, on time, and sees a
// published failure or a stop request within 60 ms. A wake-up is dear (on a virtual machine the
// work right after one runs several times slower than the same work done back to back), so the
// fewer a second the better, as long as the ring allows.
inline constexpr std::int64_t kMaxIdleSleepNs = 60000000;

// The sleep an idle pass may take, in nanoseconds, so that no ring can fill while the capture
// sleeps: a quarter of one ring's duration (every stream has the same ring of `slotsPerStream`
// chunks of `framesPerChunk` frames at `sampleRate`), at most kMaxIdleSleepNs. 0, no sleep at
// all, when that is shorter than the platform's sleep resolution (a sleep would overrun it) or
// there is no rate to go by.
constexpr std::int64_t idleSleepBound(std::uint32_t slotsPerStream, std::uint32_t framesPerChunk,
                                      std::uint32_t sampleRate, std::int64_t resolutionNs) {
    if (sampleRate == 0) {
        return 0;
    }
    const std::uint64_t ringFrames = std::uint64_t{slotsPerStream} * framesPerChunk;
    std::int64_t bound = kMaxIdleSleepNs;
    // A ring of a second or more is far past the cap; below that the product stays well inside
    // 64 bits (fewer than 2^32 frames times 10^9).
    if (ringFrames < sampleRate) {
        const std::uint64_t quarter = ringFrames * 1000000000 / (std::uint64_t{sampleRate} * 4);
        if (quarter < static_cast<std::uint64_t>(bound)) {
            bound = static_cast<std::int64_t>(quarter);
        }
    }
    return bound < resolutionNs ? 0 : bound;
}

} // namespace vaskel
