// How an idle capture waits between passes: the longest sleep its rings allow, and the idle
// sleeper that learns from every pass whether the producer is steady and decides each wait.
#pragma once

#include "transport/transport_layout.h"

#include <cstdint>

namespace vaskel {

// No idle sleep is longer than this, whatever the rings hold: half the progress file's 120 ms
// cadence, so the capture of a steady producer writes a snapshot every other wake-up, on time, and
// sees a published failure or a stop request within 60 ms. A wake-up is dear (on a virtual machine
// the work right after one runs several times slower than the same work done back to back), so the
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

// What one pass over the rings found, as far as the idle sleeper learns from it.
struct PassSeen {
    bool consumedAny = false;
    bool sawFull = false;          // a ring held slotsPerStream chunks
    std::uint64_t mostWaiting = 0; // the most chunks any ring held
};

// Decides how a capture waits after a pass that consumed nothing: a yield while a chunk may be
// just behind; after a quiet spell a sleep, short enough that no ring fills meanwhile. It learns
// from every pass whether the producer is steady, publishing in real time: then its next chunk
// is a chunk's duration away, and the capture sleeps right after a chunk instead of spinning.
// It reads no clock and sleeps itself: the capture passes the time and does the waiting.
class IdleSleeper {
public:
    // For the rings of `config`, a sleep no finer than `resolutionNs` and an idle timeout after
    // `idleLimitNs` without a chunk.
    IdleSleeper(const transport::TransportConfig& config, std::int64_t resolutionNs,
                std::int64_t idleLimitNs);

    // Learns from a pass: wake-ups that find a ring full shorten the sleep, calm ones lengthen
    // it again and, two in a row, show the producer steady.
    void afterPass(const PassSeen& pass);

    // The wait of a pass that consumed nothing, `quietNs` after the last chunk (at most the
    // idle limit): 0 to yield, otherwise the nanoseconds to sleep.
    [[nodiscard]] std::int64_t nextWait(std::int64_t quietNs);

private:
    std::uint64_t realTimeChunks(std::int64_t ns) const;

    const std::uint32_t sampleRate_;
    const std::uint32_t framesPerChunk_;
    const std::int64_t idleLimitNs_;
    const std::int64_t boundNs_;
    const std::int64_t shortestSleepNs_;
    std::int64_t sleepNs_;
    bool sleptLast_ = false;
    std::int64_t lastSleepNs_ = 0;
    int calmWakes_ = 0;
};

} // namespace vaskel
