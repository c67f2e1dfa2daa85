#include "entry/renderer.h"

#include "capture/capture_loop.h"
#include "entry/command_line.h"
#include "platform/error.h"
#include "platform/process.h"
#include "platform/time.h"
#include "transport/failure_code.h"

#include <iostream>
#include <string>

namespace vaskel {

namespace {

constexpr std::int64_t kAttachRetryNs = 2000000;

int exitWith(ExitCode exit) {
    return static_cast<int>(exit);
}

int exitUsage(std::string_view text) {
    std::cerr << text;
    return exitWith(ExitCode::BadCommandLine);
}

platform::NativeString summaryText(const platform::NativeString& mappingName,
                                   const CaptureResult& result) {
    using platform::nativeFromAscii;
    platform::NativeString text =
        nativeFromAscii("mapping=") + mappingName +
        nativeFromAscii(",streamCount=" + std::to_string(result.streamCount) + "\n");
    for (std::uint32_t i = 0; i < result.streamCount; ++i) {
        const StreamStats& stats = result.streams[i];
        text += nativeFromAscii("streamId=" + std::to_string(i) +
                                ",writtenChunks=" + std::to_string(stats.writtenChunks) +
                                ",writtenFrames=" + std::to_string(stats.writtenFrames) +
                                ",maxOccupancy=" + std::to_string(stats.maxOccupancy) + "\n");
    }
    return text;
}

int exitInterrupted() {
    std::cerr << "interrupted\n";
    return exitWith(ExitCode::Interrupted);
}

// A capture stopped part-way: the failure word, then the way back to playable files on the next
// line (their headers still say 0 bytes of data).
int exitInterruptedCapture(std::uint32_t streamFiles, const std::filesystem::path& outputRoot) {
    std::string root;
    try {
        const std::u8string text = outputRoot.u8string();
        root.assign(text.begin(), text.end());
    } catch (...) {
        root = "<output-root>"; // a name with no UTF-8 form
    }
    std::cerr << "interrupted\ninterrupted: " << streamFiles
              << " stream files keep their audio; run: vaskel_wav repair " << root << '\n';
    return exitWith(ExitCode::Interrupted);
}

bool stopRequested(const std::atomic<bool>* stop) {
    return stop != nullptr && stop->load(std::memory_order_relaxed);
}

// Captures on the attached mapping, reports the outcome and detaches.
int runAttached(transport::TransportMapping& mapping, const RunSettings& settings,
                const std::atomic<bool>* stop) {
    const std::filesystem::path outputRoot{platform::NativeString(settings.outputRoot)};
    CaptureEnvironment environment;
    if (stop != nullptr) {
        environment.stop = stop;
    }
#ifdef VASKEL_PASS_TIMER
    // The benchmark's build: where the drain's time went, on standard error after the run.
    PassTimer timer;
    environment.passTimer = &timer;
#endif
    const CaptureResult result =
        runCapture(mapping, outputRoot, settings.delayUs, settings.idleTimeoutMs, environment);
#ifdef VASKEL_PASS_TIMER
    std::cerr << "pass_timer longestPassNs=" << timer.longestPassNs
              << " outsideWritesNs=" << timer.passesNs - timer.writesNs
              << " writesNs=" << timer.writesNs << " waitsNs=" << timer.waitsNs
              << " captureNs=" << timer.captureNs << '\n';
#endif
    if (result.interrupted) {
        mapping.detach();
        return exitInterruptedCapture(result.streamCount, outputRoot);
    }
    if (!result.success) {
        // The failure's name alone on the first line, as peers parse it; the reason, where the
        // renderer knows it, on the next.
        std::cerr << failureCodeName(result.failureCode) << '\n';
        if (result.failureReason) {
            std::cerr << failureCodeName(result.failureCode) << ": " << result.failureFile << ": "
                      << platform::errorMessage(result.failureReason) << '\n';
        }
        mapping.detach();
        return exitWith(ExitCode::CaptureFailed);
    }
    // The capture is complete (files, progress file and the shared word say so) whether or not
    // the summary reaches its reader, so a lost summary is named but keeps exit code 0.
    if (platform::writeSummary(summaryText(settings.mappingName, result))) {
        std::cerr << "summary_write_failed\n";
    }
    mapping.detach();
    return exitWith(ExitCode::Success);
}

} // namespace

bool waitForRegion(transport::TransportMapping& mapping, const platform::NativeString& name,
                   std::uint32_t mappingOpenTimeoutMs, const std::atomic<bool>* stop) {
    const platform::Deadline deadline =
        platform::Deadline::after(static_cast<std::int64_t>(mappingOpenTimeoutMs) * 1000000);
    for (;;) {
        if (stopRequested(stop)) {
            return false;
        }
        if (mapping.attach(platform::NativeString(name))) {
            return true;
        }
        if (deadline.expired()) {
            return false;
        }
        platform::sleepUntil(platform::Deadline::after(kAttachRetryNs));
    }
}

int runRenderer(const std::vector<platform::NativeString>& arguments,
                const std::atomic<bool>* stop) {
    const Command command = parseCommandLine(arguments);
    switch (command.kind) {
    case CommandKind::Capability:
        std::cout << capabilityAnswer();
        return exitWith(ExitCode::Success);
    case CommandKind::Help:
        std::cout << helpText();
        return exitWith(ExitCode::Success);
    case CommandKind::Version:
        std::cout << versionText();
        return exitWith(ExitCode::Success);
    case CommandKind::Usage:
        return exitUsage(kUsageLine);
    case CommandKind::IdleTimeoutInvalid:
        return exitUsage("idle_timeout_invalid\n");
    case CommandKind::MappingOpenTimeoutInvalid:
        return exitUsage("mapping_open_timeout_invalid\n");
    case CommandKind::Run:
        break;
    }
    const RunSettings& settings = command.settings;
    transport::TransportMapping mapping;
    if (!waitForRegion(mapping, settings.mappingName, settings.mappingOpenTimeoutMs, stop)) {
        if (stopRequested(stop)) {
            mapping.detach();
            return exitInterrupted();
        }
        std::cerr << "mapping_open_timeout\n";
        mapping.detach();
        return exitWith(ExitCode::NotAttached);
    }
    return runAttached(mapping, settings, stop);
}

} // namespace vaskel
