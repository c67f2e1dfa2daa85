#include "capture/capture_loop.h"

#include "capture/capture_output.h"
#include "capture/chunk_check.h"
#include "capture/idle_sleep.h"
#include "capture/ring_scan.h"
#include "platform/time.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <vector>

namespace vaskel {

using namespace transport;

namespace {

constexpr std::int64_t kProgressIntervalNs = 120000000;

// The most chunks one stream gives in one visit, written together in one gathered write. Each
// write is a system call that costs as much as a small chunk's bytes: several at once keep a
// capture of many small chunks as cheap as one buffered in the process, which a renderer killed
// at any moment would lose. More would keep the other streams waiting longer.
constexpr std::uint64_t kMaxBatch = 16;

// Longer idle timeouts never fire: their nanoseconds would not fit.
constexpr std::uint64_t kMaxIdleTimeoutMs =
    static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) / 1000000;

class Capture {
public:
    Capture(std::byte* base, const TransportConfig& config, const std::filesystem::path& root,
            std::uint32_t delayUs, std::uint64_t idleTimeoutMs, const CaptureEnvironment& env,
            CaptureResult& result)
        : base_(base), header_(headerAt(base)), config_(config), delayUs_(delayUs),
          idleLimitNs_(idleTimeoutMs > kMaxIdleTimeoutMs
                           ? std::numeric_limits<std::int64_t>::max()
                           : static_cast<std::int64_t>(idleTimeoutMs) * 1000000),
          env_(env), result_(result), idle_(config, sleepResolution(), idleLimitNs_),
          output_(root, config_, env) {}

    // True when the capture completed; false when it ended with the failure now in the result.
    bool run() {
        if (const FailureCode failure = setUp(); failure != FailureCode::None) {
            return fail(failure);
        }
        for (;;) {
            const Sweep sweep = drainOnePass();
            if (sweep.failure != FailureCode::None) {
                return fail(sweep.failure);
            }
            idle_.afterPass(sweep.seen);
            if (sweep.seen.consumedAny) {
                noteActivity();
            }
            // A failure published by either side ends the capture with the shared word's value.
            if (const std::uint32_t published = loadFailureCode(header_); published != 0) {
                result_.failureCode = published;
                return false;
            }
            // Checked between passes, so every chunk taken is written whole. The producer is
            // told as by an idle timeout, a code it already understands.
            if (stopRequested()) {
                result_.interrupted = true;
                return fail(FailureCode::ProducerAbort);
            }
            // One reading for the idle test and the quiet spell; exactly the idle limit does
            // not time out yet.
            const std::int64_t quietNs = env_.now() - lastActivity_;
            const StreamScan scan = scanStreamStates(base_, config_);
            if (scan == StreamScan::Aborted) {
                return fail(FailureCode::ProducerAbort);
            }
            // The sweep read the rings before the states: a producer may have published its
            // last chunk and closed the stream in between. Complete only if the rings are still
            // empty now that every stream is known to be closed.
            if (scan == StreamScan::AllClosed && sweep.allEmpty && ringsEmpty(base_, config_)) {
                return complete();
            }
            if (quietNs > idleLimitNs_) {
                return fail(FailureCode::ProducerAbort);
            }
            if (!sweep.seen.consumedAny) {
                waitIdle(quietNs);
            }
        }
    }

private:
    struct Sweep {
        PassSeen seen;
        bool allEmpty = true;
        FailureCode failure = FailureCode::None;
    };

    bool fail(FailureCode failure) {
        recordFailure(header_, result_, failure);
        return false;
    }

    bool stopRequested() const { return env_.stop->load(std::memory_order_relaxed); }

    // The resolution the idle sleeper plans with: the injected sleep's, or that of the
    // platform's fine sleep, opened here for the whole capture.
    std::int64_t sleepResolution() {
        if (env_.sleep) {
            return env_.sleep->resolutionNs;
        }
        fineSleeper_.emplace();
        return fineSleeper_->measureResolution();
    }

    // Per-stream state is made once here; the passes allocate nothing.
    FailureCode setUp() {
        lastActivity_ = env_.now();
        nextSequence_.assign(config_.streamCount, 0);
        framePosition_.assign(config_.streamCount, config_.logicalStartFrame);
        if (const FailureCode failure = output_.open(result_); failure != FailureCode::None) {
            return failure;
        }
        lastProgress_ = env_.now();
        return FailureCode::None;
    }

    // Visits every stream once, in index order, taking the chunks waiting in its ring, up to
    // kMaxBatch (one with a pacing delay, so each chunk keeps its own). Leaves the pass early on
    // a failure, and when a stop is asked for during a chunk's pacing delay.
    Sweep drainOnePass() {
        Sweep sweep;
        const std::uint64_t most = delayUs_ == 0 ? kMaxBatch : 1;
        for (std::uint32_t i = 0; i < config_.streamCount; ++i) {
            StreamControlBlock& block = controlBlockAt(base_, i);
            const std::uint64_t r = loadOwnReadIndex(block);
            const std::uint64_t w = loadWriteIndex(block);
            if (r == w) {
                continue;
            }
            sweep.allEmpty = false;
            sweep.seen.sawFull = sweep.seen.sawFull || w - r >= config_.slotsPerStream;
            sweep.seen.mostWaiting = std::max(sweep.seen.mostWaiting, w - r);
            std::uint64_t taken = 0;
            sweep.failure = consumeChunks(i, block, r, std::min(w - r, most), taken);
            sweep.seen.consumedAny = sweep.seen.consumedAny || taken != 0;
            for (std::uint64_t k = 0; k < taken; ++k) {
                env_.onChunk();
                pacingDelay(delayUs_, *env_.stop);
            }
            if (sweep.failure != FailureCode::None || stopRequested()) {
                return sweep;
            }
        }
        return sweep;
    }

    // Checks chunks `r` .. `r` + `count` - 1 of stream `i` in order, writes the payloads of those
    // that pass in one gathered write straight from their slots, and only then hands their slots
    // back: no readIndex passes a chunk before its bytes are in the kernel, so a renderer killed
    // at any moment keeps every chunk it consumed. `taken` counts the chunks written and handed
    // back; the failure that rejected the next chunk, or the write's, is returned.
    FailureCode consumeChunks(std::uint32_t i, StreamControlBlock& block, std::uint64_t r,
                              std::uint64_t count, std::uint64_t& taken) {
        std::array<platform::WritePiece, kMaxBatch> payloads;
        std::array<std::uint32_t, kMaxBatch> frames{};
        std::uint64_t sequence = nextSequence_[i];
        std::uint64_t position = framePosition_[i];
        FailureCode rejected = FailureCode::None;
        std::size_t passed = 0;
        for (; passed < count; ++passed) {
            ChunkSlot& slot = slotAt(base_, config_, i, r + passed);
            // One copy of the header: every check and count below uses it, whatever the
            // producer writes into the slot meanwhile.
            ChunkHeader chunk;
            std::memcpy(&chunk, &slot.header, sizeof chunk);
            rejected = checkChunk(chunk, i, sequence, position, config_);
            if (rejected != FailureCode::None) {
                break;
            }
            payloads[passed] = {slot.payload, static_cast<std::size_t>(chunkPayloadBytes(
                                                  config_.channelCount, chunk.frameCount))};
            frames[passed] = chunk.frameCount;
            sequence += 1;
            position += chunk.frameCount;
        }
        taken = 0;
        if (passed != 0) {
            if (const FailureCode failure = output_.append(i, std::span(payloads.data(), passed));
                failure != FailureCode::None) {
                return failure;
            }
        }
        StreamStats& stats = result_.streams[i];
        for (; taken < passed; ++taken) {
            nextSequence_[i] += 1;
            framePosition_[i] += frames[taken];
            stats.writtenChunks += 1;
            stats.writtenFrames += frames[taken];
            stats.maxOccupancy = loadMaxOccupancy(block);
            storeReadIndex(block, r + taken + 1);
        }
        return rejected;
    }

    // After a pass that consumed: restarts the idle timer and keeps the progress cadence.
    void noteActivity() {
        lastActivity_ = env_.now();
        const std::int64_t t = env_.now();
        if (t - lastProgress_ >= kProgressIntervalNs) {
            output_.writeProgress(result_, false);
            lastProgress_ = t;
        }
    }

    void waitIdle(std::int64_t quietNs) {
        const std::int64_t ns = idle_.nextWait(quietNs);
        if (ns == 0) {
            env_.yield();
        } else if (env_.sleep) {
            env_.sleep->sleepFor(ns);
        } else {
            fineSleeper_->sleepFor(ns);
        }
    }

    // Finalises every stream in index order; a stream short of the declared end stops it there,
    // with the streams before it finalised.
    bool complete() {
        for (std::uint32_t i = 0; i < config_.streamCount; ++i) {
            if (config_.logicalEndFrame != 0 && framePosition_[i] != config_.logicalEndFrame) {
                return fail(FailureCode::LogicalRangeMismatch);
            }
            if (const FailureCode failure = output_.finish(i, result_.streams[i].writtenFrames);
                failure != FailureCode::None) {
                return fail(failure);
            }
        }
        // The complete snapshot promises every file on the disk, so they get there first.
        if (const FailureCode failure = output_.syncToDisk(); failure != FailureCode::None) {
            return fail(failure);
        }
        output_.writeProgress(result_, true);
        return true;
    }

    std::byte* base_;
    TransportHeader& header_;
    const TransportConfig config_;
    const std::uint32_t delayUs_;
    const std::int64_t idleLimitNs_;
    const CaptureEnvironment& env_;
    CaptureResult& result_;
    // Held from set-up to the end of the capture (on Windows it may raise the system timer
    // resolution, which its release restores).
    std::optional<platform::FineSleep> fineSleeper_;
    IdleSleeper idle_;
    CaptureOutput output_;
    std::vector<std::uint64_t> nextSequence_;
    std::vector<std::uint64_t> framePosition_;
    std::int64_t lastActivity_ = 0;
    std::int64_t lastProgress_ = 0;
};

} // namespace

CaptureResult runCapture(TransportMapping& mapping, const std::filesystem::path& outputRoot,
                         std::uint32_t delayUs, std::uint64_t idleTimeoutMs,
                         const CaptureEnvironment& environment) {
    CaptureResult result;
    if (!mapping.attached()) {
        result.failureCode = code(FailureCode::ProtocolMismatch);
        return result;
    }
    TransportHeader& header = headerAt(mapping.view());
    const TransportConfig config = mapping.config();
    result.streamCount = config.streamCount;
    // The one boundary. Failures travel as values inside; what escapes is an allocation that
    // failed (the per-stream arrays, a path), and without its output the capture cannot go on.
    try {
        // The capture's writers and per-stream arrays are released, closing every file, at the
        // end of this statement, before anything below.
        const bool completed =
            Capture(mapping.view(), config, outputRoot, delayUs, idleTimeoutMs, environment, result)
                .run();
        if (completed) {
            result.success = true;
            storeConsumerState(header, kConsumerCompleted);
        }
    } catch (...) {
        result.success = false;
        recordFailure(header, result, FailureCode::WriterFailure);
    }
    return result;
}

} // namespace vaskel
