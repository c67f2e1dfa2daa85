#include "capture/idle_sleep.h"

#include <algorithm>

namespace vaskel {

namespace {

// How long no chunk may have come on any stream before idle passes sleep rather than yield.
// Twice the time one 16 KiB chunk takes to hand over at full speed (8-10 us here): a producer
// that keeps up with the renderer never sends it to sleep between chunks, while the gaps of a
// real-time producer, milliseconds long, are seen after a few passes.
constexpr std::int64_t kQuietSpellNs = 20000;

// Wake-ups in a row that found chunks waiting, no more than real time brings, and no ring full
// before the producer counts as steady. One is not enough: a producer starting at full speed
// during a sleep looks the same.
constexpr int kCalmWakesForSteady = 2;

// The longest sleep until the producer is known to be steady. The ring bound assumes chunks come
// in real time; one at full speed fills its ring in microseconds and would wait out the whole
// sleep whenever it stalled for a moment.
constexpr std::int64_t kUnsteadySleepNs = 1000000;

// A wake-up that finds a ring full halves the idle sleep, down to this fraction of the bound:
// the machine woke the renderer late, or the producer caught up in a burst, and the next sleep
// must leave more of the ring free. Never below it, so waiting stays cheap. Each calm wake-up
// then gives back this fraction of the bound, so one bad moment does not cost for good.
constexpr std::int64_t kSleepShrinkLimit = 8;
constexpr std::int64_t kSleepRegrowth = 64;

} // namespace

IdleSleeper::IdleSleeper(const transport::TransportConfig& config, std::int64_t resolutionNs,
                         std::int64_t idleLimitNs)
    : sampleRate_(config.sampleRate), framesPerChunk_(config.framesPerChunk),
      idleLimitNs_(idleLimitNs),
      boundNs_(idleSleepBound(config.slotsPerStream, config.framesPerChunk, config.sampleRate,
                              resolutionNs)),
      shortestSleepNs_(std::max(boundNs_ / kSleepShrinkLimit, resolutionNs)), sleepNs_(boundNs_) {}

// A producer is steady when wake-ups keep finding chunks that arrived during the sleep, no more
// than real time brings in it, without any ring having filled. More means a producer at full
// speed that stalled for a moment; a full ring means it runs ahead of real time, or that the
// sleep was too long for this machine. Either way the spell is kept whole until wake-ups are
// calm again, so chunks that follow each other closely are never slept through, and a full
// ring found on waking halves the sleep.
void IdleSleeper::afterPass(const PassSeen& pass) {
    if (pass.sawFull) {
        calmWakes_ = 0;
        if (sleptLast_) {
            sleepNs_ = std::max(sleepNs_ / 2, shortestSleepNs_);
        }
    } else if (sleptLast_ && pass.mostWaiting > realTimeChunks(lastSleepNs_)) {
        calmWakes_ = 0;
    } else if (sleptLast_ && pass.consumedAny) {
        calmWakes_ = std::min(calmWakes_ + 1, kCalmWakesForSteady);
        sleepNs_ = std::min(sleepNs_ + boundNs_ / kSleepRegrowth, boundNs_);
    }
    sleptLast_ = false;
}

// The most chunks a real-time producer can have published during a sleep of `ns`: what the
// time holds, one it was ahead by, and one for the rounding. The sleep is at most the cap, so
// the product stays far inside 64 bits.
std::uint64_t IdleSleeper::realTimeChunks(std::int64_t ns) const {
    const std::uint64_t frames = static_cast<std::uint64_t>(ns) * sampleRate_ / 1000000000;
    return frames / framesPerChunk_ + 2;
}

// A pass that found nothing yields while a chunk may be just behind; after a quiet spell it
// sleeps for the bound, short enough that no ring fills meanwhile. The first chunk restarts
// the spell, so the passes after it spin again at once, unless the producer is steady: its
// next chunk is a chunk's duration away, and spinning for it would only cost.
std::int64_t IdleSleeper::nextWait(std::int64_t quietNs) {
    const bool steady = calmWakes_ >= kCalmWakesForSteady;
    if (sleepNs_ == 0 || (quietNs < kQuietSpellNs && !steady)) {
        return 0;
    }
    const std::int64_t sleepNs = steady ? sleepNs_ : std::min(sleepNs_, kUnsteadySleepNs);
    // Never far past the idle limit: the pass after the sleep is the one that times out.
    const std::int64_t leftNs = idleLimitNs_ - quietNs;
    const std::int64_t ns = leftNs < sleepNs ? leftNs + 1 : sleepNs;
    sleptLast_ = true;
    lastSleepNs_ = ns;
    return ns;
}

} // namespace vaskel
