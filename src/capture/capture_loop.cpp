#include "capture/capture_loop.h"

#include "capture/capture_output.h"
#include "capture/chunk_check.h"
#include "capture/disk_work.h"
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

// The most chunks one stream gives to one gathered write. The passes still take one chunk a
// stream each; their writes wait and are made together once any stream has this many, or once
// a pass finds nothing more (capture_loop.cpp, Batch). Each write is a system call that costs
// as much as a small chunk's bytes: together they keep a capture of many small chunks as cheap
// as one buffered in the process, which a renderer killed at any moment would lose. More would
// hold the producer's slots longer.
constexpr std::uint32_t kMaxBatch = 16;

// And the most bytes waiting in all streams together: at full speed the slots go back to the
// producer after a few MiB, not after every stream's sixteen chunks.
constexpr std::uint64_t kMaxBatchBytes = std::uint64_t{4} << 20;

// The most the files may hold beyond what is known to be on the disk before the drain stops
// taking chunks until the disk catches up. A writer faster than the disk would otherwise fill
// the page cache and leave it all to the final sync (or meet the kernel's dirty limits inside a
// write). Real-time sources never come near it: 128 stereo streams at 48 kHz take 2.7 s to
// write this much, and the rings of a live source are its own; a disk busy for that long loses
// a take whichever thread waits.
constexpr std::uint64_t kMaxDiskBacklogBytes = std::uint64_t{128} << 20;
constexpr std::uint32_t kBacklogWaitMs = 1;

// Longer idle timeouts never fire: their nanoseconds would not fit.
constexpr std::uint64_t kMaxIdleTimeoutMs =
    static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) / 1000000;

// The chunks the passes took and whose writes wait: per stream in its order, and the order in
// which the passes took them across streams, which is the order they are handed back in. Sized
// once for the whole capture.
class Batch {
public:
    struct Taken {
        ChunkSlot* slot = nullptr;
        std::uint64_t sequence = 0;
        std::uint32_t frames = 0;
    };

    Batch(std::uint32_t streams, std::uint32_t most)
        : most_(std::clamp<std::uint32_t>(most, 1, kMaxBatch)), taken_(streams * most_),
          pieces_(streams * most_), count_(streams, 0), order_(streams * most_) {}

    std::uint32_t count(std::uint32_t stream) const { return count_[stream]; }
    bool empty() const { return chunks_ == 0; }
    // After a pass: whether the waiting writes must be made now.
    bool full() const { return chunks_ != 0 && (fullest_ >= most_ || bytes_ >= kMaxBatchBytes); }
    // The most chunks one stream has waiting.
    std::uint32_t fullest() const { return fullest_; }

    void add(std::uint32_t stream, ChunkSlot& slot, const ChunkHeader& chunk,
             std::size_t payloadBytes) {
        const std::size_t at = std::size_t{stream} * most_ + count_[stream];
        taken_[at] = {&slot, chunk.sequence, chunk.frameCount};
        pieces_[at] = {slot.payload, payloadBytes};
        count_[stream] += 1;
        fullest_ = std::max(fullest_, count_[stream]);
        order_[chunks_++] = stream;
        bytes_ += payloadBytes;
    }

    std::span<const platform::WritePiece> pieces(std::uint32_t stream) const {
        return std::span(pieces_).subspan(std::size_t{stream} * most_, count_[stream]);
    }
    const Taken& taken(std::uint32_t stream, std::uint32_t k) const {
        return taken_[std::size_t{stream} * most_ + k];
    }
    std::span<const std::uint32_t> order() const { return std::span(order_).first(chunks_); }

    void clear() {
        for (std::size_t k = 0; k < chunks_; ++k) {
            count_[order_[k]] = 0;
        }
        chunks_ = 0;
        fullest_ = 0;
        bytes_ = 0;
    }

private:
    const std::uint32_t most_;
    std::vector<Taken> taken_;
    std::vector<platform::WritePiece> pieces_;
    std::vector<std::uint32_t> count_;
    std::vector<std::uint32_t> order_;
    std::size_t chunks_ = 0;
    std::uint32_t fullest_ = 0;
    std::uint64_t bytes_ = 0;
};

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
          output_(root, config_, env),
          // With a pacing delay every chunk is written and handed back on its own, before its
          // delay, as the delay is meant to follow each chunk.
          batch_(config.streamCount, delayUs == 0 ? env.batchChunks : 1),
          released_(config.streamCount, 0) {}

    // True when the capture completed; false when it ended with the failure now in the result.
    bool run() {
        if (const FailureCode failure = setUp(); failure != FailureCode::None) {
            return fail(failure);
        }
        const std::int64_t started = timerNow();
        for (;;) {
            // The disk far behind: no chunk is taken until it catches up. The drain itself
            // never waits in a call on the device; it takes nothing, and looks again shortly,
            // still seeing a stop, a published failure and the disk's own.
            if (output_.disk().backlog() > kMaxDiskBacklogBytes) {
                if (stopRequested()) {
                    return stopWith(FailureCode::ProducerAbort, true);
                }
                if (const std::uint32_t published = loadFailureCode(header_); published != 0) {
                    result_.failureCode = published;
                    return false;
                }
                if (output_.disk().failed()) {
                    const DiskFailure& disk = output_.disk().failure();
                    return failOutput({disk.reason, disk.file});
                }
                const std::int64_t heldStarted = timerNow();
                platform::sleepMilliseconds(kBacklogWaitMs);
                waitedNs_ += timerNow() - heldStarted;
                // The producer is not idle while the disk holds the capture back.
                lastActivity_ = env_.now();
                continue;
            }
            const std::int64_t passStarted = timerNow();
            const std::int64_t waitedBefore = waitedNs_;
            const Sweep sweep = drainOnePass();
            // A rejected chunk ends the pass, and the capture, after the chunks taken before it
            // are written and handed back; a failed write of those is the earlier failure.
            if (sweep.failure != FailureCode::None) {
                const FailureCode written = writeBatch();
                return fail(written != FailureCode::None ? written : sweep.failure);
            }
            // A batch holds its slots from the producer: at most a quarter of a ring a stream,
            // so a producer at full speed always has the rest to fill meanwhile.
            if (!sweep.seen.consumedAny || batch_.full() ||
                batch_.fullest() * 4 >= config_.slotsPerStream) {
                if (const FailureCode failure = writeBatch(); failure != FailureCode::None) {
                    return fail(failure);
                }
            }
            idle_.afterPass(sweep.seen);
            if (sweep.seen.consumedAny) {
                noteActivity();
            }
            // The disk thread's failures are the output's, seen between passes.
            if (output_.disk().failed()) {
                const DiskFailure& disk = output_.disk().failure();
                return failOutput({disk.reason, disk.file});
            }
            // A failure published by either side ends the capture with the shared word's value;
            // the chunks taken in this pass stay taken.
            if (const std::uint32_t published = loadFailureCode(header_); published != 0) {
                if (const FailureCode failure = writeBatch(); failure != FailureCode::None) {
                    return fail(failure);
                }
                result_.failureCode = published;
                return false;
            }
            // Checked between passes, so every chunk taken is written whole. The producer is
            // told as by an idle timeout, a code it already understands.
            if (stopRequested()) {
                return stopWith(FailureCode::ProducerAbort, true);
            }
            // One reading for the idle test and the quiet spell; exactly the idle limit does
            // not time out yet.
            const std::int64_t quietNs = env_.now() - lastActivity_;
            const StreamScan scan = scanStreamStates(base_, config_);
            if (scan == StreamScan::Aborted) {
                return stopWith(FailureCode::ProducerAbort, false);
            }
            // The sweep read the rings before the states: a producer may have published its
            // last chunk and closed the stream in between. Complete only if the rings are still
            // empty now that every stream is known to be closed. (A pass that found every ring
            // empty consumed nothing, so no write waits.)
            if (scan == StreamScan::AllClosed && sweep.allEmpty && ringsEmpty(base_, config_)) {
                return complete();
            }
            if (quietNs > idleLimitNs_) {
                return stopWith(FailureCode::ProducerAbort, false);
            }
            if (!sweep.seen.consumedAny) {
                waitIdle(quietNs);
            }
            if (env_.passTimer != nullptr) {
                PassTimer& timer = *env_.passTimer;
                const std::int64_t passNs = timerNow() - passStarted - (waitedNs_ - waitedBefore);
                timer.longestPassNs = std::max(timer.longestPassNs, passNs);
                timer.passesNs += passNs;
                timer.waitsNs = waitedNs_;
                timer.captureNs = timerNow() - started;
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
        output_.stopDiskThread();
        recordFailure(header_, result_, failure);
        return false;
    }

    // An output failure, with the system's reason and the file it concerns for the message.
    bool failOutput(OutputError error) {
        result_.failureReason = error.reason;
        result_.failureFile = std::move(error.file);
        return fail(FailureCode::WriterFailure);
    }

    // The ends that are not the output's fault: the chunks taken so far are written first.
    bool stopWith(FailureCode failure, bool interrupted) {
        if (const FailureCode written = writeBatch(); written != FailureCode::None) {
            return fail(written);
        }
        result_.interrupted = interrupted;
        return fail(failure);
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
        if (OutputError error = output_.open(result_)) {
            result_.failureReason = error.reason;
            result_.failureFile = std::move(error.file);
            return FailureCode::WriterFailure;
        }
        for (std::uint32_t i = 0; i < config_.streamCount; ++i) {
            released_[i] = output_.bytesWritten(i);
        }
        lastProgress_ = env_.now();
        return FailureCode::None;
    }

    // Visits every stream once, in index order, taking at most one chunk from each: the chunk
    // its ring holds next, checked against what the stream expects. A chunk that passes joins
    // the batch; its write and its readIndex step follow in writeBatch (at once with a pacing
    // delay). Leaves the pass early on a rejected chunk, and when a stop is asked for during a
    // chunk's pacing delay.
    Sweep drainOnePass() {
        Sweep sweep;
        for (std::uint32_t i = 0; i < config_.streamCount; ++i) {
            StreamControlBlock& block = controlBlockAt(base_, i);
            const std::uint64_t handedBack = loadOwnReadIndex(block);
            // Chunks taken earlier and not yet written still count as read.
            const std::uint64_t r = handedBack + batch_.count(i);
            const std::uint64_t w = loadWriteIndex(block);
            if (r == w) {
                continue;
            }
            sweep.allEmpty = false;
            const std::uint64_t waiting = w - handedBack;
            sweep.seen.sawFull = sweep.seen.sawFull || waiting >= config_.slotsPerStream;
            sweep.seen.mostWaiting = std::max(sweep.seen.mostWaiting, waiting);
            ChunkSlot& slot = slotAt(base_, config_, i, r);
            // One copy of the header: every check and count below uses it, whatever the
            // producer writes into the slot meanwhile.
            ChunkHeader chunk;
            std::memcpy(&chunk, &slot.header, sizeof chunk);
            sweep.failure = checkChunk(chunk, i, nextSequence_[i], framePosition_[i], config_);
            if (sweep.failure != FailureCode::None) {
                return sweep;
            }
            batch_.add(i, slot, chunk,
                       static_cast<std::size_t>(
                           chunkPayloadBytes(config_.channelCount, chunk.frameCount)));
            nextSequence_[i] += 1;
            framePosition_[i] += chunk.frameCount;
            sweep.seen.consumedAny = true;
            if (delayUs_ != 0) {
                sweep.failure = writeBatch();
                if (sweep.failure != FailureCode::None || stopRequested()) {
                    return sweep;
                }
            }
        }
        return sweep;
    }

    // Writes the waiting chunks, one gathered write per stream straight from their slots, and
    // then hands them back in the order the passes took them: each counted, its readIndex
    // stored, its pacing delay. A chunk is handed back only once its bytes are in the kernel and
    // its slot still holds it: a renderer killed at any moment keeps every chunk it handed
    // back, and a producer that rewrote a slot during the write has broken the ring. At the
    // first chunk that cannot be handed back (its stream's write failed, or its slot was
    // rewritten) the capture fails, and every file is cut back to its handed-back chunks: the
    // files hold every chunk released and nothing else.
    FailureCode writeBatch() {
        if (batch_.empty()) {
            return FailureCode::None;
        }
        // Every stream's write is made, even after one failed: a chunk taken before the failed
        // one's still goes back to the producer.
        env_.onBatch();
        std::array<bool, kMaxStreamStats> unwritten{};
        const std::int64_t writesStarted = timerNow();
        for (std::uint32_t i = 0; i < config_.streamCount; ++i) {
            unwritten[i] = batch_.count(i) != 0 && !output_.append(i, batch_.pieces(i));
        }
        if (env_.passTimer != nullptr) {
            env_.passTimer->writesNs += timerNow() - writesStarted;
        }
        FailureCode failure = FailureCode::None;
        std::array<std::uint32_t, kMaxStreamStats> handed{};
        std::uint32_t handedBack = 0;
        for (const std::uint32_t i : batch_.order()) {
            if (unwritten[i]) {
                OutputError error = output_.error(i);
                result_.failureReason = error.reason;
                result_.failureFile = std::move(error.file);
                failure = FailureCode::WriterFailure;
                break;
            }
            const Batch::Taken& taken = batch_.taken(i, handed[i]);
            // Read once more after the write: a rewritten slot shows a sequence other than the
            // one checked, ahead of it as a producer that overran the ring leaves it.
            const std::uint64_t now = std::atomic_ref<std::uint64_t>(taken.slot->header.sequence)
                                          .load(std::memory_order_relaxed);
            if (now != taken.sequence) {
                failure =
                    now > taken.sequence ? FailureCode::Gap : FailureCode::DuplicateOrOutOfOrder;
                break;
            }
            handed[i] += 1;
            released_[i] += batch_.pieces(i)[handed[i] - 1].bytes;
            StreamControlBlock& block = controlBlockAt(base_, i);
            StreamStats& stats = result_.streams[i];
            stats.writtenChunks += 1;
            stats.writtenFrames += taken.frames;
            stats.maxOccupancy = loadMaxOccupancy(block);
            storeReadIndex(block, loadOwnReadIndex(block) + 1);
            env_.onHandBack(i);
            ++handedBack;
        }
        for (std::uint32_t i = 0; i < config_.streamCount; ++i) {
            if (batch_.count(i) == 0) {
                continue;
            }
            // A failed write may have left part of its bytes, whatever its writer counted.
            if (failure != FailureCode::None) {
                output_.cutBack(i, released_[i]);
            }
            output_.disk().publish(i, released_[i]);
        }
        batch_.clear();
        // Every chunk of the batch is handed back before anyone looks: then each gets its
        // pacing delay (with a delay, a batch is one chunk, so each chunk's delay follows it).
        for (std::uint32_t k = 0; k < handedBack; ++k) {
            env_.onChunk();
            pacingDelay(delayUs_, *env_.stop);
        }
        if (failure == FailureCode::None) {
            output_.diskTick();
        }
        return failure;
    }

    // After a pass that consumed: restarts the idle timer and keeps the progress cadence. The
    // snapshot goes to the disk thread; one due while the last is still being written is
    // skipped, and the next pass tries again.
    void noteActivity() {
        lastActivity_ = env_.now();
        const std::int64_t t = env_.now();
        if (t - lastProgress_ >= kProgressIntervalNs &&
            output_.disk().snapshots().offer(progressCounts(config_, result_))) {
            lastProgress_ = t;
            output_.diskTick();
        }
    }

    // A SteadyClock reading for the pass timer only; 0, and no reading, without one.
    std::int64_t timerNow() const {
        return env_.passTimer != nullptr ? platform::SteadyClock::now() : 0;
    }

    void waitIdle(std::int64_t quietNs) {
        const std::int64_t waitStarted = timerNow();
        waitIdleNow(quietNs);
        waitedNs_ += timerNow() - waitStarted;
    }

    void waitIdleNow(std::int64_t quietNs) {
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
            if (OutputError error = output_.finish(i, result_.streams[i].writtenFrames)) {
                return failOutput(std::move(error));
            }
        }
        // The complete snapshot promises every file on the disk, so they get there first.
        if (OutputError error = output_.syncToDisk()) {
            return failOutput(std::move(error));
        }
        output_.writeCompleteProgress(result_);
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
    Batch batch_;
    std::vector<std::uint64_t> nextSequence_;
    std::vector<std::uint64_t> framePosition_;
    std::vector<std::uint64_t> released_; // each file's length up to its last chunk handed back
    std::int64_t lastActivity_ = 0;
    std::int64_t lastProgress_ = 0;
    std::int64_t waitedNs_ = 0; // idle waits, for the pass timer
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
