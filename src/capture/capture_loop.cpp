#include "capture/capture_loop.h"

#include "capture/pacing.h"
#include "common/steady_clock.h"
#include "output/output_paths.h"
#include "output/progress_file.h"
#include "output/stream_writer.h"
#include "platform/platform.h"

#include <cstring>
#include <limits>
#include <stdexcept>
#include <vector>

namespace vaskel {

using namespace transport;

namespace {

constexpr std::int64_t kProgressIntervalNs = 120000000;

constexpr std::uint32_t code(FailureCode failure) {
    return static_cast<std::uint32_t>(failure);
}

// How the drain ended, when it did not end by an exception.
enum class Exit {
    Completed,
    ChunkRejected,
    FailureObserved,
    ProducerAborted,
    IdleTimeout,
    RangeMismatch
};

struct Outcome {
    Exit exit;
    std::uint32_t failureCode;
};

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
          now_(env.now != nullptr ? env.now : &SteadyClock::now),
          pacing_(env.pacing != nullptr ? env.pacing : &pacingDelay),
          yield_(env.yield != nullptr ? env.yield : &platform::yieldThread), result_(result) {}

    Outcome run() {
        std::int64_t lastActivity = now_();
        const std::uint32_t streams = config_.streamCount;
        // Per-stream state is made once here; the passes allocate nothing.
        std::vector<StreamWriter> writers(streams);
        std::vector<std::uint64_t> nextSequence(streams, 0);
        std::vector<std::uint64_t> framePosition(streams, 0);

        createOutputRoot(root_);
        for (std::uint32_t i = 0; i < streams; ++i) {
            writers[i].open(streamFilePath(root_, i));
            if (!writers[i].isOpen()) {
                throw std::runtime_error("failed to open renderer output");
            }
            writers[i].writeHeader(config_.sampleRate,
                                   static_cast<std::uint16_t>(config_.channelCount), 0);
            framePosition[i] = config_.logicalStartFrame;
        }
        writeProgressFile(root_, config_, result_, false);
        std::int64_t lastProgress = now_();

        for (;;) {
            bool consumedAny = false;
            bool allEmpty = true;
            for (std::uint32_t i = 0; i < streams; ++i) {
                StreamControlBlock& block = controlBlockAt(base_, i);
                const std::uint64_t r = loadOwnReadIndex(block);
                const std::uint64_t w = loadWriteIndex(block);
                if (r == w) {
                    continue;
                }
                allEmpty = false;

                ChunkSlot& slot = slotAt(base_, config_, i, r);
                ChunkHeader chunk;
                std::memcpy(&chunk, &slot.header, sizeof chunk);
                const std::uint32_t rejected =
                    checkChunk(chunk, i, nextSequence[i], framePosition[i], config_);
                if (rejected != code(FailureCode::None)) {
                    publishFailureCode(header_, rejected);
                    result_.failureCode = rejected;
                    storeConsumerState(header_, kConsumerFailed);
                    return {Exit::ChunkRejected, rejected};
                }

                // frameCount <= framesPerChunk <= 2048 and channelCount <= 2 keep this inside
                // the slot's payload.
                const std::uint64_t bytes = wavDataSize(config_.channelCount, chunk.frameCount);
                writers[i].append(slot.payload, static_cast<std::size_t>(bytes));
                if (!writers[i].good()) {
                    throw std::runtime_error("renderer output write failed");
                }

                nextSequence[i] += 1;
                framePosition[i] += chunk.frameCount;
                StreamStats& stats = result_.streams[i];
                stats.writtenChunks += 1;
                stats.writtenFrames += chunk.frameCount;
                stats.maxOccupancy = loadMaxOccupancy(block);
                storeReadIndex(block, r + 1);
                consumedAny = true;
                pacing_(delayUs_);
            }

            if (consumedAny) {
                lastActivity = now_();
                const std::int64_t t = now_();
                if (t - lastProgress >= kProgressIntervalNs) {
                    writeProgressFile(root_, config_, result_, false);
                    lastProgress = t;
                }
            }

            if (loadFailureCode(header_) != 0) {
                result_.failureCode = loadFailureCode(header_);
                return {Exit::FailureObserved, result_.failureCode};
            }

            bool allClosed = true;
            for (std::uint32_t i = 0; i < streams; ++i) {
                const std::uint32_t state = loadStreamState(controlBlockAt(base_, i));
                if (state == kStreamAborted) {
                    publishFailureCode(header_, code(FailureCode::ProducerAbort));
                    result_.failureCode = code(FailureCode::ProducerAbort);
                    return {Exit::ProducerAborted, result_.failureCode};
                }
                if (state != kStreamClosed) {
                    allClosed = false;
                }
            }

            // The sweep read the rings before the states: a producer may have published its
            // last chunk and closed the stream in between. Complete only if the rings are still
            // empty now that every stream is known to be closed.
            if (allClosed && allEmpty && ringsEmpty()) {
                return complete(writers, framePosition);
            }

            if (now_() - lastActivity > idleLimitNs_) {
                publishFailureCode(header_, code(FailureCode::ProducerAbort));
                result_.failureCode = code(FailureCode::ProducerAbort);
                return {Exit::IdleTimeout, result_.failureCode};
            }

            if (!consumedAny) {
                yield_();
            }
        }
    }

private:
    static constexpr std::uint64_t kMaxIdleTimeoutMs =
        static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) / 1000000;

    bool ringsEmpty() {
        for (std::uint32_t i = 0; i < config_.streamCount; ++i) {
            StreamControlBlock& block = controlBlockAt(base_, i);
            if (loadOwnReadIndex(block) != loadWriteIndex(block)) {
                return false;
            }
        }
        return true;
    }

    Outcome complete(std::vector<StreamWriter>& writers,
                     const std::vector<std::uint64_t>& framePosition) {
        for (std::uint32_t i = 0; i < config_.streamCount; ++i) {
            if (config_.logicalEndFrame != 0 && framePosition[i] != config_.logicalEndFrame) {
                publishFailureCode(header_, code(FailureCode::LogicalRangeMismatch));
                result_.failureCode = code(FailureCode::LogicalRangeMismatch);
                return {Exit::RangeMismatch, result_.failureCode};
            }
            const std::uint64_t dataSize =
                wavDataSize(config_.channelCount, result_.streams[i].writtenFrames);
            if (!fitsRiffLimit(dataSize)) {
                throw std::runtime_error("RIFF size limit exceeded");
            }
            writers[i].writeHeader(config_.sampleRate,
                                   static_cast<std::uint16_t>(config_.channelCount),
                                   static_cast<std::uint32_t>(dataSize));
            writers[i].flush();
            if (!writers[i].good()) {
                throw std::runtime_error("renderer output finalize failed");
            }
        }
        writeProgressFile(root_, config_, result_, true);
        return {Exit::Completed, 0};
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
    CaptureResult& result_;
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
        // The writers and per-stream arrays live inside run(): they are released, closing every
        // file, before the result is returned.
        const Outcome outcome =
            Capture(mapping.view(), config, outputRoot, delayUs, idleTimeoutMs, environment, result)
                .run();
        if (outcome.exit == Exit::Completed) {
            result.success = true;
            storeConsumerState(header, kConsumerCompleted);
        }
    } catch (...) {
        publishFailureCode(header, code(FailureCode::WriterFailure));
        result.failureCode = code(FailureCode::WriterFailure);
        result.success = false;
        storeConsumerState(header, kConsumerFailed);
    }
    return result;
}

} // namespace vaskel
