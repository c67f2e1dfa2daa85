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

    // Set when the user asks the renderer to stop (Ctrl-C, SIGTERM, ...); looked at once a pass
    // and between the slices of a pacing delay. The capture then ends as an idle timeout does,
    // with CaptureResult::interrupted set.
    const std::atomic<bool>* stop = &kNeverStop;

    // Bring a finalised stream file, then the output directory, to the disk before the complete
    // snapshot is written: the writer's own sync through its lock, then the directory's.
    std::error_code (*syncFile)(const StreamWriter& writer) = &syncWriter;
    // How each stream file's pages are written back behind its write position.
    std::error_code (*writeback)(std::intptr_t file,
                                 const WritebackStep& step) = &applyWritebackStep;
    // Whether the output root's file system is one that writing back can help (not a RAM file
    // system); where it is not, no step is taken at all.
    bool (*writingBackHelps)(std::intptr_t root) = &platform::writingBackHelps;
    std::error_code (*syncDirectory)(const std::filesystem::path& directory) =
        &platform::flushDirectoryToDisk;

    static void ignoreChunk() {}
    static std::error_code syncWriter(const StreamWriter& writer);
};

// Runs one capture on an attached mapping. Never throws: every exit is a CaptureResult.
CaptureResult runCapture(transport::TransportMapping& mapping,
                         const std::filesystem::path& outputRoot, std::uint32_t delayUs,
                         std::uint64_t idleTimeoutMs, const CaptureEnvironment& environment = {});

} // namespace vaskel
