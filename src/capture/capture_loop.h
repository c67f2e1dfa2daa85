// The capture: drains every stream's ring in order, checks each chunk, appends its samples to
// the stream's WAV file and keeps the progress file current until the producer has closed every
// stream or a failure ends the run.
#pragma once

#include "capture/capture_result.h"
#include "capture/pacing.h"
#include "output/writeback_window.h"
#include "platform/file.h"
#include "platform/time.h"
#include "platform/writeback.h"
#include "transport/transport_mapping.h"

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <system_error>

namespace vaskel {

class StreamWriter;

// The benchmark builds a renderer that writes every chunk on its own to measure the choice.
#ifndef VASKEL_DEFAULT_BATCH_CHUNKS
#define VASKEL_DEFAULT_BATCH_CHUNKS 16
#endif
inline constexpr std::uint32_t kDefaultBatchChunks = VASKEL_DEFAULT_BATCH_CHUNKS;

// Where the drain's time went, for the benchmark: the longest pass (its writes and hand-backs
// included) and the time of the passes outside the audio writes and the idle waits, which is
// all the drain spends on anything but the audio: its checks and, were it ever to wait on a
// device, that wait.
struct PassTimer {
    std::int64_t longestPassNs = 0;
    std::int64_t passesNs = 0;
    std::int64_t writesNs = 0;
    std::int64_t waitsNs = 0;
    std::int64_t captureNs = 0;
};

// The outside world the loop waits on and hands its files to. Every member holds what a run
// uses; tests and benchmarks replace pieces to make timing exact or to watch the loop work.
struct CaptureEnvironment {
    // A sleep that stands for the platform's, with the resolution it is to be taken for.
    struct Sleep {
        void (*sleepFor)(std::int64_t ns) = nullptr;
        std::int64_t resolutionNs = 0;
    };

    std::int64_t (*now)() = &platform::SteadyClock::now;
    // The wait of an idle pass until a quiet spell has passed.
    void (*yield)() = &platform::yieldThread;
    // The sleep of an idle pass after one. Without it the capture holds the platform's fine
    // sleep open for its duration (on Windows it may raise the system timer resolution until
    // released) and measures its resolution.
    std::optional<Sleep> sleep;
    // Called after every consumed chunk, once every chunk written with it has its readIndex
    // stored, before its pacing delay: lets an observer (a benchmark, a test) follow the
    // capture chunk by chunk.
    void (*onChunk)() = &ignoreChunk;
    // Called as each chunk is handed back, right after its readIndex is stored, with its
    // stream: lets a test follow the order of hand-back. Nothing else runs in between.
    void (*onHandBack)(std::uint32_t stream) = &ignoreHandBack;
    // Called before the chunks the passes took are written: lets a test act as a producer that
    // writes into a slot meanwhile.
    void (*onBatch)() = &ignoreChunk;

    // Set when the user asks the renderer to stop (Ctrl-C, SIGTERM, ...); looked at once a pass
    // and between the slices of a pacing delay. The capture then ends as an idle timeout does,
    // with CaptureResult::interrupted set.
    const std::atomic<bool>* stop = &kNeverStop;

    // Bring a stream file to the disk (the rounds of the disk thread, and every finalised file
    // before the complete snapshot is written): the writer's own sync through its handle.
    std::error_code (*syncFile)(const StreamWriter& writer) = &syncWriter;
    // How each stream file's pages are written back behind its write position.
    std::error_code (*writeback)(std::intptr_t file,
                                 const WritebackStep& step) = &applyWritebackStep;
    // Whether the output root's file system is one that writing back can help (not a RAM file
    // system); where it is not, no step is taken at all.
    bool (*writingBackHelps)(std::intptr_t root) = &platform::writingBackHelps;
    // Then the held output root, so that the files' names are on the disk too.
    std::error_code (*syncDirectory)(const platform::Directory& directory) = &syncHeldDirectory;
    // Whether the output root's file system has a disk behind it: then the disk thread makes the
    // files durable in rounds and records how far (output/durable_record.h).
    bool (*onDisk)(std::intptr_t root) = &platform::backedByDisk;
    // The most time between two of those rounds.
    std::int64_t durableRoundNs = 500000000;
    // The disk work (snapshots, writeback, rounds) on a thread of its own, so that the drain
    // never waits on a device. Tests that follow it step by step turn it off: the work is then
    // done on the capture's thread after every pass.
    bool diskThread = true;
    // The most chunks a stream gives to one gathered write: the passes go on taking one chunk a
    // stream each, and their writes are made together (capture_loop.cpp). 1 writes every chunk
    // on its own.
    std::uint32_t batchChunks = kDefaultBatchChunks;
    // When set, the capture times its passes into it (SteadyClock, apart from `now`).
    PassTimer* passTimer = nullptr;

    static void ignoreChunk() {}
    static void ignoreHandBack(std::uint32_t) {}
    static std::error_code syncWriter(const StreamWriter& writer);
    static std::error_code syncHeldDirectory(const platform::Directory& directory) {
        return directory.sync();
    }
};

// Runs one capture on an attached mapping. Never throws: every exit is a CaptureResult.
CaptureResult runCapture(transport::TransportMapping& mapping,
                         const std::filesystem::path& outputRoot, std::uint32_t delayUs,
                         std::uint64_t idleTimeoutMs, const CaptureEnvironment& environment = {});

} // namespace vaskel
