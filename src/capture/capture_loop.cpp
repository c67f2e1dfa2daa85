#include "capture/capture_loop.h"

#include "capture/idle_sleep.h"
#include "capture/pacing.h"
#include "common/fine_sleep.h"
#include "common/steady_clock.h"
#include "output/output_paths.h"
#include "output/progress_file.h"
#include "output/stream_writer.h"
#include "platform/platform.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>
#include <stdexcept>
#include <vector>

namespace vaskel {

using namespace transport;

namespace {

constexpr std::int64_t kProgressIntervalNs = 120000000;

// How long no chunk may have come on any stream before idle passes sleep rather than yield.
// Twice the time one 16 KiB chunk takes to hand over at full speed (8-10 us here): a producer
// that keeps up with the renderer never sends it to sleep between chunks, while the gaps of a
// real-time producer, milliseconds long, are seen after a few passes.
constexpr std::int64_t kQuietSpellNs = 20000;

// Wake-ups in a row that found chunks waiting, no more than real time brings, and no ring full
// before the producer counts as paced. One is not enough: a producer starting at full speed
// during a sleep looks the same.
constexpr int kCalmWakesForPaced = 2;

// The longest sleep until the producer is known to be paced. The ring bound assumes chunks come
// in real time; one at full speed fills its ring in microseconds and would wait out the whole
// sleep whenever it stalled for a moment.
constexpr std::int64_t kUnpacedSleepNs = 1000000;

// A wake-up that finds a ring full halves the idle sleep, down to this fraction of the bound:
// the machine woke the renderer late, or the producer caught up in a burst, and the next sleep
// must leave more of the ring free. Never below it, so waiting stays cheap. Each calm wake-up
// then gives back this fraction of the bound, so one bad moment does not cost for good.
constexpr std::int64_t kSleepShrinkLimit = 8;
constexpr std::int64_t kSleepRegrowth = 64;

// Whether a failure also marks the renderer failed in consumerState: the renderer's own chunk
// checks and its output do; timeouts, aborts and range mismatches leave it attached.
enum class ConsumerMark { Keep, Failed };

// Publishes `failure` unless another party published one first, records the renderer's own
// code in the result either way, and marks the consumer failed where asked.
void endWithFailure(TransportHeader& header, CaptureResult& result, std::uint32_t failure,
                    ConsumerMark mark) {
    publishFailureCode(header, failure);
    result.failureCode = failure;
    if (mark == ConsumerMark::Failed) {
        storeConsumerState(header, kConsumerFailed);
    }
}

// Checks a chunk header copy against what stream `stream` expects next. Sequence and frame
// position come first, so a chunk that is behind is reported as such even if its other fields
// are wrong too.
std::uint32_t checkChunk(const ChunkHeader& chunk, std::uint32_t stream, std::uint64_t sequence,
                         std::uint64_t framePosition, const TransportConfig& config) {
    if (chunk.sequence < sequence) {
        return code(FailureCode::DuplicateOrOutOfOrder);
    }
    if (chunk.sequence > sequence) {
        return code(FailureCode::Gap);
    }
    if (chunk.firstFrame > framePosition) {
        return code(FailureCode::Gap);
    }
    if (chunk.firstFrame < framePosition) {
        return code(FailureCode::DuplicateOrOutOfOrder);
    }
    if (chunk.streamId != stream || chunk.channelCount != config.channelCount ||
        chunk.frameCount == 0 || chunk.frameCount > config.framesPerChunk ||
        chunk.bitsPerSample != kBitsPerSample) {
        return code(FailureCode::ProtocolMismatch);
    }
    return code(FailureCode::None);
}

class Capture {
public:
    Capture(std::byte* base, const TransportConfig& config, const std::filesystem::path& root,
            std::uint32_t delayUs, std::uint64_t idleTimeoutMs, const CaptureEnvironment& env,
            CaptureResult& result)
        : base_(base), header_(headerAt(base)), config_(config), root_(root), delayUs_(delayUs),
          idleLimitNs_(idleTimeoutMs > kMaxIdleTimeoutMs
                           ? std::numeric_limits<std::int64_t>::max()
                           : static_cast<std::int64_t>(idleTimeoutMs) * 1000000),
          now_(env.now != nullptr ? env.now : &SteadyClock::now), pacing_(env.pacing),
          yield_(env.yield != nullptr ? env.yield : &platform::yieldThread), sleep_(env.sleep),
          sleepResolutionNs_(env.sleepResolutionNs), stop_(env.stop), flushFile_(env.flushFile),
          flushDirectory_(env.flushDirectory != nullptr ? env.flushDirectory
                                                        : &platform::flushDirectoryToDisk),
          result_(result) {}

    // True when the capture completed; false when it ended with the failure now in the result.
    // Output errors leave as exceptions.
    bool run() {
        setUp();
        for (;;) {
            const Sweep sweep = drainOnePass();
            if (sweep.rejected) {
                return false;
            }
            learnPace(sweep);
            if (sweep.consumedAny) {
                noteActivity();
            }
            if (failureObserved()) {
                return false;
            }
            // Checked between passes, so every chunk taken is written whole. The producer is
            // told as by an idle timeout, a code it already understands.
            if (stop_ != nullptr && stop_->load(std::memory_order_relaxed)) {
                endWithFailure(header_, result_, code(FailureCode::ProducerAbort),
                               ConsumerMark::Keep);
                result_.interrupted = true;
                return false;
            }
            // One reading for the idle test and the quiet spell; exactly the idle limit does
            // not time out yet.
            const std::int64_t quietNs = now_() - lastActivity_;
            const StreamScan scan = scanStreamStates();
            if (scan == StreamScan::Aborted) {
                endWithFailure(header_, result_, code(FailureCode::ProducerAbort),
                               ConsumerMark::Keep);
                return false;
            }
            // The sweep read the rings before the states: a producer may have published its
            // last chunk and closed the stream in between. Complete only if the rings are still
            // empty now that every stream is known to be closed.
            if (scan == StreamScan::AllClosed && sweep.allEmpty && ringsEmpty()) {
                return complete();
            }
            if (quietNs > idleLimitNs_) {
                endWithFailure(header_, result_, code(FailureCode::ProducerAbort),
                               ConsumerMark::Keep);
                return false;
            }
            if (!sweep.consumedAny) {
                waitIdle(quietNs);
            }
        }
    }

private:
    static constexpr std::uint64_t kMaxIdleTimeoutMs =
        static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) / 1000000;

    struct Sweep {
        bool consumedAny = false;
        bool allEmpty = true;
        bool rejected = false;
        bool sawFull = false;          // a ring held slotsPerStream chunks
        std::uint64_t mostWaiting = 0; // the most chunks any ring held
    };

    enum class StreamScan { Open, AllClosed, Aborted };

    // Per-stream state is made once here; the passes allocate nothing.
    void setUp() {
        std::int64_t resolution = sleepResolutionNs_;
        if (sleep_ == nullptr) {
            fineSleeper_.emplace();
            resolution = fineSleeper_->measureResolution();
        }
        idleSleepNs_ = idleSleepBound(config_.slotsPerStream, config_.framesPerChunk,
                                      config_.sampleRate, resolution);
        boundNs_ = idleSleepNs_;
        shortestSleepNs_ = std::max(idleSleepNs_ / kSleepShrinkLimit, resolution);
        lastActivity_ = now_();
        const std::uint32_t streams = config_.streamCount;
        writers_ = std::vector<StreamWriter>(streams);
        nextSequence_.assign(streams, 0);
        framePosition_.assign(streams, config_.logicalStartFrame);

        createOutputRoot(root_);
        for (std::uint32_t i = 0; i < streams; ++i) {
            if (!writers_[i].begin(streamFilePath(root_, i), config_)) {
                throw std::runtime_error("failed to open renderer output");
            }
        }
        writeProgressFile(root_, progressCounts(config_, result_), false);
        lastProgress_ = now_();
    }

    // Takes at most one chunk from every stream, in index order.
    Sweep drainOnePass() {
        Sweep sweep;
        for (std::uint32_t i = 0; i < config_.streamCount; ++i) {
            StreamControlBlock& block = controlBlockAt(base_, i);
            const std::uint64_t r = loadOwnReadIndex(block);
            const std::uint64_t w = loadWriteIndex(block);
            if (r == w) {
                continue;
            }
            sweep.allEmpty = false;
            sweep.sawFull = sweep.sawFull || w - r >= config_.slotsPerStream;
            sweep.mostWaiting = std::max(sweep.mostWaiting, w - r);
            if (!consumeChunk(i, block, r)) {
                sweep.rejected = true;
                return sweep;
            }
            sweep.consumedAny = true;
            if (pacing_ != nullptr) {
                pacing_(delayUs_);
            } else {
                pacingDelay(delayUs_, stop_ != nullptr ? *stop_ : kNeverStop);
            }
            // A stop seen in the delay ends the pass at once; the loop then ends the capture.
            if (stop_ != nullptr && stop_->load(std::memory_order_relaxed)) {
                return sweep;
            }
        }
        return sweep;
    }

    // Checks chunk number `r` of stream `i`, appends its payload and hands the slot back. False,
    // with the failure published, when the chunk is rejected.
    bool consumeChunk(std::uint32_t i, StreamControlBlock& block, std::uint64_t r) {
        ChunkSlot& slot = slotAt(base_, config_, i, r);
        // One copy of the header: every check and count below uses it, whatever the producer
        // writes into the slot meanwhile.
        ChunkHeader chunk;
        std::memcpy(&chunk, &slot.header, sizeof chunk);
        const std::uint32_t rejected =
            checkChunk(chunk, i, nextSequence_[i], framePosition_[i], config_);
        if (rejected != code(FailureCode::None)) {
            endWithFailure(header_, result_, rejected, ConsumerMark::Failed);
            return false;
        }

        const std::uint64_t bytes = chunkPayloadBytes(config_.channelCount, chunk.frameCount);
        if (!writers_[i].append(slot.payload, static_cast<std::size_t>(bytes))) {
            throw std::runtime_error("renderer output write failed");
        }

        nextSequence_[i] += 1;
        framePosition_[i] += chunk.frameCount;
        StreamStats& stats = result_.streams[i];
        stats.writtenChunks += 1;
        stats.writtenFrames += chunk.frameCount;
        stats.maxOccupancy = loadMaxOccupancy(block);
        storeReadIndex(block, r + 1);
        return true;
    }

    // After a pass that consumed: restarts the idle timer and keeps the progress cadence.
    void noteActivity() {
        lastActivity_ = now_();
        const std::int64_t t = now_();
        if (t - lastProgress_ >= kProgressIntervalNs) {
            writeProgressFile(root_, progressCounts(config_, result_), false);
            lastProgress_ = t;
        }
    }

    // A failure published by either side ends the capture with the shared word's value.
    bool failureObserved() {
        if (loadFailureCode(header_) == 0) {
            return false;
        }
        result_.failureCode = loadFailureCode(header_);
        return true;
    }

    StreamScan scanStreamStates() {
        StreamScan scan = StreamScan::AllClosed;
        for (std::uint32_t i = 0; i < config_.streamCount; ++i) {
            const std::uint32_t state = loadStreamState(controlBlockAt(base_, i));
            if (state == kStreamAborted) {
                return StreamScan::Aborted;
            }
            if (state != kStreamClosed) {
                scan = StreamScan::Open;
            }
        }
        return scan;
    }

    bool ringsEmpty() {
        for (std::uint32_t i = 0; i < config_.streamCount; ++i) {
            StreamControlBlock& block = controlBlockAt(base_, i);
            if (loadOwnReadIndex(block) != loadWriteIndex(block)) {
                return false;
            }
        }
        return true;
    }

    // A producer is paced when wake-ups keep finding chunks that arrived during the sleep, no
    // more than real time brings in it, without any ring having filled. More means a producer at
    // full speed that stalled for a moment; a full ring means it runs ahead of real time, or
    // that the sleep was too long for this machine. Either way the spell is kept whole until
    // wake-ups are calm again, so chunks that follow each other closely are never slept
    // through, and a full ring found on waking halves the sleep.
    void learnPace(const Sweep& sweep) {
        if (sweep.sawFull) {
            calmWakes_ = 0;
            if (sleptLast_) {
                idleSleepNs_ = std::max(idleSleepNs_ / 2, shortestSleepNs_);
            }
        } else if (sleptLast_ && sweep.mostWaiting > realTimeChunks(lastSleepNs_)) {
            calmWakes_ = 0;
        } else if (sleptLast_ && sweep.consumedAny) {
            calmWakes_ = std::min(calmWakes_ + 1, kCalmWakesForPaced);
            idleSleepNs_ = std::min(idleSleepNs_ + boundNs_ / kSleepRegrowth, boundNs_);
        }
        sleptLast_ = false;
    }

    // The most chunks a real-time producer can have published during a sleep of `ns`: what the
    // time holds, one it was ahead by, and one for the rounding. The sleep is at most the cap, so
    // the product stays far inside 64 bits.
    std::uint64_t realTimeChunks(std::int64_t ns) const {
        const std::uint64_t frames =
            static_cast<std::uint64_t>(ns) * config_.sampleRate / 1000000000;
        return frames / config_.framesPerChunk + 2;
    }

    // A pass that found nothing yields while a chunk may be just behind; after a quiet spell it
    // sleeps for the bound, short enough that no ring fills meanwhile. The first chunk restarts
    // the spell, so the passes after it spin again at once, unless the producer is paced: its
    // next chunk is a chunk's duration away, and spinning for it would only cost.
    void waitIdle(std::int64_t quietNs) {
        const bool paced = calmWakes_ >= kCalmWakesForPaced;
        if (idleSleepNs_ == 0 || (quietNs < kQuietSpellNs && !paced)) {
            yield_();
            return;
        }
        const std::int64_t sleepNs = paced ? idleSleepNs_ : std::min(idleSleepNs_, kUnpacedSleepNs);
        // Never far past the idle limit: the pass after the sleep is the one that times out.
        const std::int64_t leftNs = idleLimitNs_ - quietNs;
        const std::int64_t ns = leftNs < sleepNs ? leftNs + 1 : sleepNs;
        sleptLast_ = true;
        lastSleepNs_ = ns;
        if (sleep_ != nullptr) {
            sleep_(ns);
        } else {
            fineSleeper_->sleepFor(ns);
        }
    }

    // Finalises every stream in index order; a stream short of the declared end stops it there,
    // with the streams before it finalised.
    bool complete() {
        for (std::uint32_t i = 0; i < config_.streamCount; ++i) {
            if (config_.logicalEndFrame != 0 && framePosition_[i] != config_.logicalEndFrame) {
                endWithFailure(header_, result_, code(FailureCode::LogicalRangeMismatch),
                               ConsumerMark::Keep);
                return false;
            }
            switch (writers_[i].finish(result_.streams[i].writtenFrames)) {
            case StreamWriter::Finish::Done:
                break;
            case StreamWriter::Finish::TooLarge:
                throw std::runtime_error("RIFF size limit exceeded");
            case StreamWriter::Finish::Failed:
                throw std::runtime_error("renderer output finalize failed");
            }
        }
        syncToDisk();
        writeProgressFile(root_, progressCounts(config_, result_), true);
        return true;
    }

    // The complete snapshot promises every file on the disk, so they get there first: each
    // stream file, then the directory that names them. The writers, and with them the locks,
    // stay until the capture ends, after the snapshot.
    void syncToDisk() {
        for (std::uint32_t i = 0; i < config_.streamCount; ++i) {
            const bool synced =
                flushFile_ != nullptr ? flushFile_(streamFilePath(root_, i)) : writers_[i].sync();
            if (!synced) {
                throw std::runtime_error("renderer output sync failed");
            }
        }
        if (!flushDirectory_(root_)) {
            throw std::runtime_error("renderer output directory sync failed");
        }
    }

    std::byte* base_;
    TransportHeader& header_;
    const TransportConfig config_;
    const std::filesystem::path& root_;
    const std::uint32_t delayUs_;
    const std::int64_t idleLimitNs_;
    std::int64_t (*now_)();
    void (*pacing_)(std::uint32_t);
    void (*yield_)();
    void (*sleep_)(std::int64_t);
    const std::int64_t sleepResolutionNs_;
    const std::atomic<bool>* stop_;
    bool (*flushFile_)(const std::filesystem::path&);
    bool (*flushDirectory_)(const std::filesystem::path&);
    CaptureResult& result_;
    // Held from set-up to the end of the capture (on Windows it may raise the system timer
    // resolution, which its release restores).
    std::optional<FineSleeper> fineSleeper_;
    std::int64_t idleSleepNs_ = 0;
    std::int64_t boundNs_ = 0;
    std::int64_t shortestSleepNs_ = 0;
    bool sleptLast_ = false;
    std::int64_t lastSleepNs_ = 0;
    int calmWakes_ = 0;

    std::vector<StreamWriter> writers_;
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
    try {
        // The capture's writers and per-stream arrays are released, closing every file, at the
        // end of this statement (or while an exception leaves it), before anything below.
        const bool completed =
            Capture(mapping.view(), config, outputRoot, delayUs, idleTimeoutMs, environment, result)
                .run();
        if (completed) {
            result.success = true;
            storeConsumerState(header, kConsumerCompleted);
        }
    } catch (...) {
        result.success = false;
        endWithFailure(header, result, code(FailureCode::WriterFailure), ConsumerMark::Failed);
    }
    return result;
}

} // namespace vaskel
