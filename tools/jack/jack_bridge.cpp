#include "tools/jack/jack_bridge.h"

#include "entry/renderer_child.h"
#include "output/output_paths.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/time.h"
#include "tools/jack/chunk_assembler.h"
#include "tools/jack/take_sheet.h"
#include "wavfile/wav_repair.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <jack/jack.h>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace vaskel::jack_bridge {

namespace {

using namespace std::chrono_literals;

// Where the capture stands. Only the process callback moves it out of Waiting and Capturing.
enum class Phase : std::uint32_t { Waiting, Capturing, Finished, Overflow, Failed, PeriodTooLong };

// Who may touch the streams: the process callback while it runs, or the main thread once it has
// taken them over for good. The callback only ever tries (it never waits in the audio thread);
// the main thread takes them without deactivating the client, which would wait forever on a
// stopped server.
enum class Access : std::uint32_t { Free, Callback, Main };

// What the process callback touches: made whole before activation, never resized after.
struct Capture {
    vaskel_producer* producer = nullptr; // set before `ready`
    jack_client_t* client = nullptr;
    // Set once the ports are connected and the region exists: the renderer can only attach to
    // a region whose ports already carry their sources.
    std::atomic<bool> ready{false};
    std::vector<jack_port_t*> ports;   // streams x channels, in port order
    std::vector<const float*> buffers; // this period's buffer of every port
    ChunkAssembler assembler;
    std::uint32_t streams = 0;
    std::uint32_t channels = 0;
    std::uint32_t chunkFrames = 0;
    std::uint32_t slots = 0;
    std::uint64_t endFrame = 0;   // 0: runs until stopped
    std::uint64_t framesDone = 0; // per stream, handed to the assembler
    std::atomic<bool> stopRequested{false};
    std::atomic<Phase> phase{Phase::Waiting};
    std::atomic<Access> access{Access::Free};
    std::atomic<std::uint32_t> xruns{0};
    std::atomic<bool> serverGone{false};
    std::atomic<jack_time_t> startMicros{0};  // when the first captured period began
    std::atomic<std::uint32_t> longPeriod{0}; // the period that ended the capture
};
static_assert(std::atomic<Phase>::is_always_lock_free && std::atomic<Access>::is_always_lock_free &&
              std::atomic<bool>::is_always_lock_free &&
              std::atomic<jack_time_t>::is_always_lock_free);

// Publishes one period of every stream. Timeout 0: a full ring is an overflow, never a wait in
// the audio thread and never a dropped period.
void capturePeriod(Capture& c, jack_nframes_t nframes) {
    if (!periodFits(nframes, c.chunkFrames, c.slots)) {
        c.longPeriod.store(nframes, std::memory_order_relaxed);
        c.phase.store(Phase::PeriodTooLong, std::memory_order_release);
        return;
    }
    std::uint64_t frames = nframes;
    if (c.endFrame != 0) {
        frames = std::min(frames, c.endFrame - c.framesDone); // the last period is cut
    }
    for (std::size_t i = 0; i < c.ports.size(); ++i) {
        c.buffers[i] = static_cast<const float*>(jack_port_get_buffer(c.ports[i], nframes));
    }
    const int status = c.assembler.add(
        frames,
        [&c](std::uint32_t stream, std::uint32_t channel) {
            return c.buffers[std::size_t{stream} * c.channels + channel];
        },
        [&c](std::uint32_t stream, const float* interleaved, std::uint32_t count) {
            return vaskel_producer_write(c.producer, stream, interleaved, count, 0, nullptr);
        });
    if (status == VASKEL_ERROR_TIMEOUT) {
        (void)vaskel_producer_fail(c.producer, VASKEL_FAILURE_OVERFLOW);
        c.phase.store(Phase::Overflow, std::memory_order_release);
        return;
    }
    if (status != VASKEL_OK) {
        // The renderer has failed (or, unexpectedly, the library refused the write): the
        // published failure code, or producer_abort, ends the capture.
        if (status != VASKEL_ERROR_CAPTURE_FAILED) {
            (void)vaskel_producer_fail(c.producer, VASKEL_FAILURE_PRODUCER_ABORT);
        }
        c.phase.store(Phase::Failed, std::memory_order_release);
        return;
    }
    c.framesDone += frames;
    if (c.endFrame != 0 && c.framesDone == c.endFrame) {
        c.phase.store(Phase::Finished, std::memory_order_release);
    }
}

void processPeriod(Capture& c, jack_nframes_t nframes) {
    Phase phase = c.phase.load(std::memory_order_relaxed);
    if (phase == Phase::Waiting) {
        if (!c.ready.load(std::memory_order_acquire)) {
            return;
        }
        if (c.stopRequested.load(std::memory_order_acquire)) {
            c.phase.store(Phase::Finished, std::memory_order_release);
            return;
        }
        // Periods before the renderer attached are not part of the capture: they would fill the
        // ring before anyone drains it.
        if (vaskel_producer_consumer_state(c.producer) == VASKEL_CONSUMER_NONE) {
            return;
        }
        c.startMicros.store(jack_frames_to_time(c.client, jack_last_frame_time(c.client)),
                            std::memory_order_relaxed);
        phase = Phase::Capturing;
        c.phase.store(phase, std::memory_order_release);
    }
    if (phase != Phase::Capturing) {
        return;
    }
    if (c.stopRequested.load(std::memory_order_acquire)) {
        c.phase.store(Phase::Finished, std::memory_order_release);
        return;
    }
    capturePeriod(c, nframes);
}

int onProcess(jack_nframes_t nframes, void* arg) {
    auto& c = *static_cast<Capture*>(arg);
    Access expected = Access::Free;
    if (!c.access.compare_exchange_strong(expected, Access::Callback, std::memory_order_acquire)) {
        return 0; // the main thread has taken the streams over
    }
    processPeriod(c, nframes);
    c.access.store(Access::Free, std::memory_order_release);
    return 0;
}

// Only xruns during the capture count: those of a server waiting for a renderer say nothing of it.
int onXrun(void* arg) {
    auto& c = *static_cast<Capture*>(arg);
    if (c.phase.load(std::memory_order_acquire) == Phase::Capturing) {
        c.xruns.fetch_add(1, std::memory_order_relaxed);
    }
    return 0;
}

void onShutdown(void* arg) {
    static_cast<Capture*>(arg)->serverGone.store(true, std::memory_order_release);
}

// jack_client_close waits for the server's answer, forever when the server is stopped (SIGSTOP),
// so it runs on a thread of its own. False when the server did not answer in time.
bool closeClient(jack_client_t* client) {
    std::promise<void> closed;
    std::future<void> done = closed.get_future();
    std::thread([client, closed = std::move(closed)]() mutable {
        jack_client_close(client);
        closed.set_value();
    }).detach();
    return done.wait_for(2s) == std::future_status::ready;
}

struct ClientCloser {
    void operator()(jack_client_t* client) const { (void)closeClient(client); }
};
using ClientHandle = std::unique_ptr<jack_client_t, ClientCloser>;

struct ProducerDestroyer {
    void operator()(vaskel_producer* producer) const { vaskel_producer_destroy(producer); }
};
using ProducerHandle = std::unique_ptr<vaskel_producer, ProducerDestroyer>;

std::string describeOpenFailure(jack_status_t status) {
    if ((status & JackNameNotUnique) != 0) {
        return "the client name is taken";
    }
    if ((status & (JackServerFailed | JackServerError)) != 0) {
        return "no JACK server is running, or it refused the client";
    }
    return "status " + std::to_string(static_cast<unsigned>(status));
}

std::vector<std::string> takePortNames(const char** names) {
    std::vector<std::string> taken;
    for (std::size_t i = 0; names != nullptr && names[i] != nullptr; ++i) {
        taken.emplace_back(names[i]);
    }
    jack_free(static_cast<void*>(names));
    return taken;
}

// A full port name is that port; any other word is a pattern, matched as JACK's own tools match
// (jack_get_ports: an extended regular expression, the server's port order).
PortMatches lookupPorts(jack_client_t* client, const std::string& word) {
    PortMatches matches;
    if (jack_port_t* port = jack_port_by_name(client, word.c_str());
        port != nullptr && std::strcmp(jack_port_type(port), JACK_DEFAULT_AUDIO_TYPE) == 0) {
        ((jack_port_flags(port) & JackPortIsOutput) != 0 ? matches.outputs : matches.inputs)
            .emplace_back(jack_port_name(port));
        return matches;
    }
    matches.outputs = takePortNames(
        jack_get_ports(client, word.c_str(), JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput));
    matches.inputs = takePortNames(
        jack_get_ports(client, word.c_str(), JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput));
    return matches;
}

// How the wait for the capture's end ended.
enum class End {
    Callback,         // the callback ended it: finished, overflow, failure or a period too long
    ServerGone,       // the server shut down
    FailurePublished, // a failure code is published (the renderer's, mostly)
    RendererEnded,    // the renderer this bridge runs has ended
    SecondInterrupt,  // the user asked twice
    NotAttached,      // no renderer attached within the attach timeout
};

// How the renderer judged the capture.
struct Verdict {
    bool attached = false;
    bool known = false;
    bool completed = false;
    std::uint32_t failureCode = 0;
};

class Bridge {
public:
    Bridge(const BridgeOptions& options, const std::atomic<int>& interrupts, std::ostream& out,
           std::ostream& err)
        : options_(options), interrupts_(interrupts), out_(out), err_(err) {}

    int run() {
        if (const int failed = setUp(); failed != 0) {
            return failed;
        }
        const End end = waitForEnd();
        takeOver();
        endStreams(end);
        const Verdict verdict = awaitVerdict(end);
        finishRenderer(verdict);
        if (!options_.output.empty() && verdict.attached && !verdict.completed) {
            repairStreamFiles();
        }
        const int code = report(end, verdict);
        producer_.reset(); // the region goes; the callback no longer touches it
        if (!closeClient(client_.release())) {
            // The server no longer answers (stopped): nothing more can be done with it, and the
            // library's thread still waits for it, so the process ends here, its work done.
            err_ << "vaskel_jack: the JACK server does not answer; leaving it\n";
            out_.flush();
            err_.flush();
            std::_Exit(code);
        }
        return code;
    }

private:
    int setUp() {
        jack_status_t status{};
        client_.reset(jack_client_open(
            options_.client.c_str(),
            static_cast<jack_options_t>(JackNoStartServer | JackUseExactName), &status));
        if (!client_) {
            err_ << "vaskel_jack: cannot open the JACK client " << options_.client << ": "
                 << describeOpenFailure(status) << '\n';
            return exitCode(BridgeExit::SetupFailed);
        }
        jack_client_t* client = client_.get();
        sources_ = planSources(
            options_, [client](const std::string& word) { return lookupPorts(client, word); });
        if (!sources_.error.empty()) {
            err_ << "vaskel_jack: " << sources_.error << '\n';
            return exitCode(BridgeExit::Usage);
        }
        plan_ = planRegion(options_, sources_.streams, jack_get_sample_rate(client),
                           jack_get_buffer_size(client));
        if (!plan_.error.empty()) {
            err_ << "vaskel_jack: " << plan_.error << '\n';
            return exitCode(BridgeExit::Usage);
        }
        if (!plan_.warning.empty()) {
            err_ << "vaskel_jack: warning: " << plan_.warning << '\n';
        }
        if (!startClient()) {
            return exitCode(BridgeExit::SetupFailed);
        }
        mapping_ = !options_.mappingName.empty()
                       ? options_.mappingName
                       : "vaskel-jack-" + std::to_string(platform::currentProcessId());
        vaskel_producer* raw = nullptr;
        const int created = vaskel_producer_create(mapping_.c_str(), &plan_.config, &raw);
        if (created != VASKEL_OK) {
            err_ << "vaskel_jack: cannot create the region " << mapping_ << ": "
                 << vaskel_status_text(created) << '\n';
            return exitCode(BridgeExit::SetupFailed);
        }
        producer_.reset(raw);
        c_.producer = raw;
        c_.ready.store(true, std::memory_order_release);
        describe();
        return options_.output.empty() ? 0 : startRenderer();
    }

    // Registers the ports, activates the client and connects the sources.
    bool startClient() {
        jack_client_t* client = client_.get();
        c_.client = client;
        c_.streams = plan_.config.stream_count;
        c_.channels = plan_.config.channel_count;
        c_.chunkFrames = plan_.config.frames_per_chunk;
        c_.slots = plan_.config.slots_per_stream;
        c_.endFrame = plan_.config.logical_end_frame;
        for (const auto& name : inputPortNames(c_.streams, c_.channels)) {
            jack_port_t* port = jack_port_register(client, name.c_str(), JACK_DEFAULT_AUDIO_TYPE,
                                                   JackPortIsInput | JackPortIsTerminal, 0);
            if (port == nullptr) {
                err_ << "vaskel_jack: cannot register the port " << name << '\n';
                return false;
            }
            c_.ports.push_back(port);
        }
        c_.buffers.assign(c_.ports.size(), nullptr);
        c_.assembler = ChunkAssembler(c_.streams, c_.channels, c_.chunkFrames);
        if (jack_set_process_callback(client, onProcess, &c_) != 0 ||
            jack_set_xrun_callback(client, onXrun, &c_) != 0) {
            err_ << "vaskel_jack: the server refused the client's callbacks\n";
            return false;
        }
        jack_on_shutdown(client, onShutdown, &c_);
        if (jack_activate(client) != 0) {
            err_ << "vaskel_jack: the server refused to activate the client\n";
            return false;
        }
        for (std::size_t i = 0; i < sources_.sources.size(); ++i) {
            const std::string& source = sources_.sources[i];
            const char* input = jack_port_name(c_.ports[i]);
            if (source.empty()) {
                continue;
            }
            const int connected = jack_connect(client, source.c_str(), input);
            if (connected != 0 && connected != EEXIST) {
                err_ << "vaskel_jack: cannot connect " << source << " to " << input << '\n';
                return false;
            }
        }
        return true;
    }

    void describe() {
        err_ << "vaskel_jack: region " << mapping_ << " ready (" << c_.streams << " streams x "
             << c_.channels << " channels, " << plan_.config.sample_rate << " Hz, "
             << c_.chunkFrames << " frames per chunk, " << c_.slots << " slots); "
             << (options_.output.empty() ? "waiting for the renderer"
                                         : "running vaskel_renderer into " + options_.output)
             << '\n';
        for (std::uint32_t s = 0; s < c_.streams; ++s) {
            err_ << "vaskel_jack:   " << streamFileName(s) << ':';
            for (std::uint32_t ch = 0; ch < c_.channels; ++ch) {
                const std::string& source = sources_.sources[std::size_t{s} * c_.channels + ch];
                err_ << (ch == 0 ? " " : " + ") << (source.empty() ? "(unconnected)" : source);
            }
            err_ << '\n';
        }
    }

    TakeSheet takeSheet(const std::string& state) const {
        TakeSheet sheet;
        sheet.state = state;
        sheet.client = jack_get_client_name(client_.get());
        sheet.mapping = mapping_;
        sheet.sampleRate = plan_.config.sample_rate;
        sheet.framesPerChunk = c_.chunkFrames;
        sheet.channels = c_.channels;
        sheet.startTime = startTime_;
        for (std::uint32_t s = 0; s < c_.streams; ++s) {
            sheet.sources.emplace_back();
            sheet.inputs.emplace_back();
            for (std::uint32_t ch = 0; ch < c_.channels; ++ch) {
                const std::size_t port = std::size_t{s} * c_.channels + ch;
                sheet.sources.back().push_back(sources_.sources[port]);
                sheet.inputs.back().emplace_back(jack_port_name(c_.ports[port]));
            }
        }
        return sheet;
    }

    std::error_code writeSheet(const TakeSheet& sheet) {
        return writeTakeSheet(options_.output, formatTakeSheet(sheet));
    }

    int startRenderer() {
        std::error_code error = createOutputRoot(options_.output);
        if (!error) {
            error = writeSheet(takeSheet("waiting"));
        }
        if (error) {
            err_ << "vaskel_jack: cannot write the take sheet in " << options_.output << ": "
                 << platform::errorMessage(error) << '\n';
            return exitCode(BridgeExit::SetupFailed);
        }
        const std::filesystem::path renderer = rendererBeside(platform::currentExecutablePath());
        // Its own process group: the terminal's Ctrl-C reaches only the bridge, which closes the
        // streams at a period boundary, and the renderer completes the files.
        if (!child_.start(renderer,
                          {mapping_, options_.output, "0", "30000",
                           std::to_string(attachTimeoutMilliseconds(options_.attachTimeout))},
                          platform::ChildInterrupts::Separate)) {
            err_ << "vaskel_jack: cannot start the renderer " << renderer.string() << ": "
                 << child_.failure() << '\n';
            return exitCode(BridgeExit::SetupFailed);
        }
        return 0;
    }

    // The capture has started: when, on the wall clock, and the take sheet says so.
    void captureStarted() {
        err_ << "vaskel_jack: the renderer attached; capturing\n";
        const jack_time_t start = c_.startMicros.load(std::memory_order_relaxed);
        const jack_time_t now = jack_get_time();
        startTime_ = std::chrono::system_clock::now() -
                     std::chrono::microseconds(now > start ? now - start : 0);
        if (!options_.output.empty()) {
            if (const std::error_code error = writeSheet(takeSheet("capturing"))) {
                err_ << "vaskel_jack: warning: cannot update the take sheet: " << error.message()
                     << '\n';
            }
        }
    }

    // Polls until the capture has ended one way or another. An interrupt asks the callback to
    // stop at the next period boundary; a second one, or a published failure, ends the wait
    // whether or not the callback still runs (a stopped server runs none).
    End waitForEnd() {
        const platform::Deadline attachDeadline = platform::Deadline::after(
            static_cast<std::int64_t>(options_.attachTimeout * platform::kNanosecondsPerSecond));
        bool announced = false;
        for (;;) {
            const int interrupts = interrupts_.load();
            if (interrupts > 0) {
                c_.stopRequested.store(true, std::memory_order_release);
            }
            if (interrupts > 1) {
                interruptedTwice_ = true;
                return End::SecondInterrupt;
            }
            const Phase phase = c_.phase.load(std::memory_order_acquire);
            if (phase == Phase::Capturing && !announced) {
                captureStarted();
                announced = true;
            }
            if (phase != Phase::Waiting && phase != Phase::Capturing) {
                return End::Callback;
            }
            if (c_.serverGone.load(std::memory_order_acquire)) {
                return End::ServerGone;
            }
            if (vaskel_producer_failure_code(c_.producer) != 0) {
                return End::FailurePublished;
            }
            if (child_.running() && child_.poll()) {
                return End::RendererEnded;
            }
            if (phase == Phase::Waiting &&
                vaskel_producer_consumer_state(c_.producer) == VASKEL_CONSUMER_NONE &&
                attachDeadline.expired()) {
                return End::NotAttached;
            }
            platform::sleepMilliseconds(10);
        }
    }

    // From here the callback never touches the streams again, running or not.
    void takeOver() {
        for (;;) {
            Access expected = Access::Free;
            if (c_.access.compare_exchange_strong(expected, Access::Main,
                                                  std::memory_order_acquire)) {
                return;
            }
            platform::sleepMilliseconds(1);
        }
    }

    void abortStreams() {
        for (std::uint32_t s = 0; s < c_.streams; ++s) {
            (void)vaskel_producer_abort_stream(c_.producer, s);
        }
    }

    // Hands the streams over as the capture ended: closed at the period boundary it stopped on
    // (with the frames gathered for the next chunk), aborted when it was cut off.
    void endStreams(End end) {
        const Phase phase = c_.phase.load(std::memory_order_acquire);
        if (end == End::Callback && phase == Phase::Finished) {
            const int flushed = c_.assembler.flush(
                [this](std::uint32_t stream, const float* interleaved, std::uint32_t frames) {
                    // The renderer drains as it always does: a second is ample for one chunk.
                    return vaskel_producer_write(c_.producer, stream, interleaved, frames, 1000,
                                                 nullptr);
                });
            if (flushed == VASKEL_OK) {
                for (std::uint32_t s = 0; s < c_.streams; ++s) {
                    (void)vaskel_producer_close_stream(c_.producer, s);
                }
            } else if (flushed == VASKEL_ERROR_TIMEOUT) {
                (void)vaskel_producer_fail(c_.producer, VASKEL_FAILURE_OVERFLOW);
            }
            return;
        }
        switch (end) {
        case End::Callback:
            if (phase == Phase::Overflow) {
                err_ << "vaskel_jack: a ring was full in the audio callback (the renderer fell "
                        "behind); published overflow and stopped the capture\n";
            } else if (phase == Phase::PeriodTooLong) {
                err_ << "vaskel_jack: the server's period changed to " << c_.longPeriod.load()
                     << " frames during the capture: more than half a ring (" << c_.slots
                     << " chunks of " << c_.chunkFrames
                     << " frames) in one period, which overflows whenever the renderer is a "
                        "little late; the capture is aborted. Start again at the new period"
                     << (c_.slots < 64 ? " (or with more --slots)" : "") << '\n';
                abortStreams();
            }
            return;
        case End::ServerGone:
            err_ << "vaskel_jack: the JACK server shut down; the capture is aborted\n";
            abortStreams();
            return;
        case End::SecondInterrupt:
            err_ << "vaskel_jack: interrupted again; the capture is aborted\n";
            abortStreams();
            return;
        case End::RendererEnded:
        case End::NotAttached:
            abortStreams(); // a renderer that attaches late stops at once
            return;
        case End::FailurePublished:
            return;
        }
    }

    // Waits for the renderer's verdict: long after a normal end (it drains the rings and
    // finalises the files), briefly after an abort, and no longer once the renderer this bridge
    // runs has ended. A second interrupt meanwhile publishes producer_abort, so the renderer
    // stops at once, and cuts the wait short.
    Verdict awaitVerdict(End end) {
        Verdict verdict;
        verdict.attached = vaskel_producer_consumer_state(c_.producer) != VASKEL_CONSUMER_NONE;
        if (!verdict.attached) {
            return verdict;
        }
        const bool normalEnd =
            end == End::Callback && c_.phase.load(std::memory_order_acquire) == Phase::Finished;
        platform::Deadline deadline =
            platform::Deadline::after((normalEnd ? 60 : 5) * platform::kNanosecondsPerSecond);
        for (;;) {
            if (!interruptedTwice_ && interrupts_.load() > 1) {
                interruptedTwice_ = true;
                err_ << "vaskel_jack: interrupted again; the capture is aborted\n";
                (void)vaskel_producer_fail(c_.producer, VASKEL_FAILURE_PRODUCER_ABORT);
                constexpr std::int64_t kAbortedVerdictNs = 2 * platform::kNanosecondsPerSecond;
                if (deadline.remaining() > kAbortedVerdictNs) {
                    deadline = platform::Deadline::after(kAbortedVerdictNs);
                }
            }
            const bool rendererEnded = !options_.output.empty() && child_.poll().has_value();
            std::uint32_t code = 0;
            const int status = vaskel_producer_wait(c_.producer, rendererEnded ? 0 : 100, &code);
            if (status != VASKEL_ERROR_TIMEOUT) {
                verdict.known = true;
                verdict.completed = status == VASKEL_OK;
                verdict.failureCode = code;
                return verdict;
            }
            if (rendererEnded || deadline.expired()) {
                return verdict;
            }
        }
    }

    // The renderer this bridge runs: given a moment to end by itself, then its output shown.
    void finishRenderer(const Verdict& verdict) {
        if (options_.output.empty()) {
            return;
        }
        const std::int64_t grace = (verdict.known ? 10 : 2) * platform::kNanosecondsPerSecond;
        const int code = child_.finish(platform::Deadline::after(grace), nullptr);
        out_ << child_.output("stdout");
        err_ << child_.output("stderr");
        rendererExit_ = code;
    }

    // A capture this bridge ran has failed: what reached the files is made playable.
    void repairStreamFiles() {
        err_ << "vaskel_jack: repairing the stream files, so that what was captured plays:\n";
        for (std::uint32_t s = 0; s < c_.streams; ++s) {
            const std::filesystem::path path = streamFilePath(options_.output, s);
            std::error_code error;
            if (!std::filesystem::exists(std::filesystem::symlink_status(path, error))) {
                err_ << "vaskel_jack:   " << streamFileName(s) << ": not written\n";
                continue;
            }
            const RepairOutcome outcome = repairStreamFile(path);
            err_ << "vaskel_jack:   " << streamFileName(s) << ": ";
            switch (outcome.action) {
            case RepairAction::LeftFinalised:
                err_ << outcome.before.frames << " frames, already playable\n";
                break;
            case RepairAction::InPlace:
                err_ << outcome.before.frames << " frames, header set\n";
                break;
            case RepairAction::Rf64:
                err_ << outcome.before.frames << " frames, rewritten as RF64\n";
                break;
            case RepairAction::LeftEmpty:
                err_ << "empty, nothing to recover\n";
                break;
            case RepairAction::Refused:
            case RepairAction::BeingWritten:
            case RepairAction::Failed:
                err_ << "not repaired: " << outcome.message << '\n';
                break;
            }
        }
    }

    int report(End end, const Verdict& verdict) {
        const std::uint32_t xruns = c_.xruns.load();
        if (xruns != 0) {
            err_ << "vaskel_jack: the server reported " << xruns << " xruns during the capture\n";
        }
        if (!verdict.attached) {
            if (end == End::RendererEnded) {
                err_ << "vaskel_jack: the renderer ended (exit code " << rendererExit_.value_or(-1)
                     << ") before it attached; nothing was captured\n";
            } else if (end == End::NotAttached) {
                err_ << "vaskel_jack: no renderer attached within " << options_.attachTimeout
                     << " s; nothing was captured\n";
            } else {
                err_ << "vaskel_jack: no renderer attached; nothing was captured\n";
            }
            completeSheet(interruptedTwice_ ? "interrupted" : "failed", verdict);
            return exitCode(interruptedTwice_ ? BridgeExit::Interrupted : BridgeExit::NoVerdict);
        }
        const std::string name = !verdict.known      ? "none"
                                 : verdict.completed ? "completed"
                                                     : vaskel_failure_name(verdict.failureCode);
        out_ << "verdict=" << name << ",framesPerStream=" << c_.framesDone << ",xruns=" << xruns
             << '\n'
             << std::flush;
        completeSheet(verdict.completed   ? "complete"
                      : interruptedTwice_ ? "interrupted"
                                          : "failed",
                      verdict);
        if (verdict.completed) {
            return exitCode(BridgeExit::Completed);
        }
        if (interruptedTwice_) {
            return exitCode(BridgeExit::Interrupted);
        }
        if (!verdict.known) {
            err_ << "vaskel_jack: no verdict from the renderer\n";
            return exitCode(BridgeExit::NoVerdict);
        }
        err_ << "vaskel_jack: the capture failed: " << name << '\n';
        return exitCode(BridgeExit::CaptureFailed);
    }

    void completeSheet(const std::string& state, const Verdict& verdict) {
        if (options_.output.empty()) {
            return;
        }
        TakeSheet sheet = takeSheet(state);
        if (verdict.completed) {
            sheet.framesPerStream = c_.framesDone;
        }
        sheet.verdict = !verdict.known      ? ""
                        : verdict.completed ? "completed"
                                            : vaskel_failure_name(verdict.failureCode);
        if (const std::error_code error = writeSheet(sheet)) {
            err_ << "vaskel_jack: warning: cannot complete the take sheet: " << error.message()
                 << '\n';
        } else {
            err_ << "vaskel_jack: take sheet "
                 << (std::filesystem::path(options_.output) / kTakeSheetName).string() << '\n';
        }
    }

    const BridgeOptions& options_;
    const std::atomic<int>& interrupts_;
    std::ostream& out_;
    std::ostream& err_;
    // Declared so that the client closes first (its callback uses the capture and the region),
    // and the renderer child ends before the region goes.
    Capture c_;
    ProducerHandle producer_;
    RendererChild child_;
    ClientHandle client_;
    SourcePlan sources_;
    RegionPlan plan_;
    std::string mapping_;
    std::optional<std::chrono::system_clock::time_point> startTime_;
    std::optional<int> rendererExit_;
    bool interruptedTwice_ = false;
};

} // namespace

int runBridge(const BridgeOptions& options, const std::atomic<int>& interrupts, std::ostream& out,
              std::ostream& err) {
    return Bridge(options, interrupts, out, err).run();
}

} // namespace vaskel::jack_bridge
