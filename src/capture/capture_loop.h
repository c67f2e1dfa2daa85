// The capture: drains every stream's ring in order, checks each chunk, appends its samples to
// the stream's WAV file and keeps the progress file current until the producer has closed every
// stream or a failure ends the run.
#pragma once

#include "capture/capture_result.h"
#include "transport/transport_mapping.h"

#include <atomic>
#include <cstdint>
#include <filesystem>

namespace vaskel {

// The outside world the loop waits on. Tests replace pieces to make timing exact; a run uses
// the defaults.
struct CaptureEnvironment {
    std::int64_t (*now)() = nullptr;         // SteadyClock::now when null
    void (*pacing)(std::uint32_t) = nullptr; // pacingDelay when null
    void (*yield)() = nullptr;               // platform::yieldThread when null
    // The sleep of an idle pass after a quiet spell, in nanoseconds; the platform's fine sleep,
    // held for the capture and its resolution measured, when null.
    void (*sleep)(std::int64_t) = nullptr;
    // The resolution an injected sleep stands for: no idle sleep when the bound is below it.
    std::int64_t sleepResolutionNs = 0;

    // Set when the user asks the renderer to stop (Ctrl-C, SIGTERM, ...); looked at once a pass.
    // The capture then ends as an idle timeout does, with CaptureResult::interrupted set.
    const std::atomic<bool>* stop = nullptr;

    // Bring a finalised stream file, then the output directory, to the disk before the complete
    // snapshot is written; the stream's own writer / platform::flushDirectoryToDisk when null.
    bool (*flushFile)(const std::filesystem::path&) = nullptr;
    bool (*flushDirectory)(const std::filesystem::path&) = nullptr;
};

// Runs one capture on an attached mapping. Never throws: every exit is a CaptureResult.
CaptureResult runCapture(transport::TransportMapping& mapping,
                         const std::filesystem::path& outputRoot, std::uint32_t delayUs,
                         std::uint64_t idleTimeoutMs, const CaptureEnvironment& environment = {});

} // namespace vaskel
