#include "tools/jack/jack_bridge.h"

#include "platform/time.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <jack/jack.h>
#include <memory>
#include <string>
#include <vector>

namespace vaskel::jack_bridge {

namespace {

// Where the capture stands. Only the process callback moves it out of Waiting and Capturing;
// the main thread reads it and, once it has left Capturing, owns the streams again.
enum class Phase : std::uint32_t { Waiting, Capturing, Finished, Overflow, Failed };

// What the process callback touches: made whole before activation, never resized after.
struct Capture {
    vaskel_producer* producer = nullptr; // set before `ready`
    // Set once the ports are connected and the region exists: the renderer can only attach to
    // a region whose ports already carry their sources.
    std::atomic<bool> ready{false};
    std::vector<jack_port_t*> ports; // streams x channels, in port order
    std::vector<float> interleaved;  // one chunk of stereo frames
    std::uint32_t streams = 0;
    std::uint32_t channels = 0;
    std::uint32_t chunkFrames = 0;
    std::uint64_t endFrame = 0;   // 0: runs until stopped
    std::uint64_t framesDone = 0; // per stream; the callback's, read after it left Capturing
    std::atomic<bool> stopRequested{false};
    std::atomic<Phase> phase{Phase::Waiting};
    std::atomic<std::uint32_t> xruns{0};
    std::atomic<bool> serverGone{false};
};
static_assert(std::atomic<Phase>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);

// Publishes `frames` of one stereo stream, interleaved a chunk at a time.
int writeStereo(Capture& c, std::uint32_t stream, jack_nframes_t nframes, std::uint64_t frames) {
    const auto* left =
        static_cast<const float*>(jack_port_get_buffer(c.ports[2 * stream], nframes));
    const auto* right =
        static_cast<const float*>(jack_port_get_buffer(c.ports[2 * stream + 1], nframes));
    for (std::uint64_t offset = 0; offset < frames; offset += c.chunkFrames) {
        const std::uint64_t count = std::min<std::uint64_t>(c.chunkFrames, frames - offset);
        for (std::uint64_t i = 0; i < count; ++i) {
            c.interleaved[2 * i] = left[offset + i];
            c.interleaved[2 * i + 1] = right[offset + i];
        }
        const int status =
            vaskel_producer_write(c.producer, stream, c.interleaved.data(), count, 0, nullptr);
        if (status != VASKEL_OK) {
            return status;
        }
    }
    return VASKEL_OK;
}

// One period of every stream, in stream order. Timeout 0: a full ring is an overflow, never a
// wait in the audio thread and never a dropped period.
Phase writePeriod(Capture& c, jack_nframes_t nframes, std::uint64_t frames) {
    for (std::uint32_t stream = 0; stream < c.streams; ++stream) {
        int status = VASKEL_OK;
        if (c.channels == 1) {
            const auto* samples =
                static_cast<const float*>(jack_port_get_buffer(c.ports[stream], nframes));
            status = vaskel_producer_write(c.producer, stream, samples, frames, 0, nullptr);
        } else {
            status = writeStereo(c, stream, nframes, frames);
        }
        if (status == VASKEL_ERROR_TIMEOUT) {
            (void)vaskel_producer_fail(c.producer, VASKEL_FAILURE_OVERFLOW);
            return Phase::Overflow;
        }
        if (status != VASKEL_OK) {
            // The renderer has failed (or, unexpectedly, the library refused the write): the
            // published failure code, or producer_abort, ends the capture.
            if (status != VASKEL_ERROR_CAPTURE_FAILED) {
                (void)vaskel_producer_fail(c.producer, VASKEL_FAILURE_PRODUCER_ABORT);
            }
            return Phase::Failed;
        }
    }
    return Phase::Capturing;
}

int onProcess(jack_nframes_t nframes, void* arg) {
    auto& c = *static_cast<Capture*>(arg);
    Phase phase = c.phase.load(std::memory_order_relaxed);
    if (phase == Phase::Waiting) {
        if (!c.ready.load(std::memory_order_acquire)) {
            return 0;
        }
        if (c.stopRequested.load(std::memory_order_acquire)) {
            c.phase.store(Phase::Finished, std::memory_order_release);
            return 0;
        }
        // Periods before the renderer attached are not part of the capture.
        if (vaskel_producer_consumer_state(c.producer) == VASKEL_CONSUMER_NONE) {
            return 0;
        }
        phase = Phase::Capturing;
        c.phase.store(phase, std::memory_order_release);
    }
    if (phase != Phase::Capturing) {
        return 0;
    }
    if (c.stopRequested.load(std::memory_order_acquire)) {
        c.phase.store(Phase::Finished, std::memory_order_release);
        return 0;
    }
    std::uint64_t frames = nframes;
    if (c.endFrame != 0) {
        frames = std::min(frames, c.endFrame - c.framesDone); // the last period is cut
    }
    phase = writePeriod(c, nframes, frames);
    if (phase == Phase::Capturing) {
        c.framesDone += frames;
        if (c.endFrame != 0 && c.framesDone == c.endFrame) {
            phase = Phase::Finished;
        }
    }
    if (phase != Phase::Capturing) {
        c.phase.store(phase, std::memory_order_release);
    }
    return 0;
}

int onXrun(void* arg) {
    static_cast<Capture*>(arg)->xruns.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

void onShutdown(void* arg) {
    static_cast<Capture*>(arg)->serverGone.store(true, std::memory_order_release);
}

struct ClientCloser {
    void operator()(jack_client_t* client) const { jack_client_close(client); }
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

// Registers the input ports and makes every buffer the callback needs.
bool registerPorts(jack_client_t* client, Capture& c, std::ostream& err) {
    for (const auto& name : inputPortNames(c.streams, c.channels)) {
        jack_port_t* port = jack_port_register(client, name.c_str(), JACK_DEFAULT_AUDIO_TYPE,
                                               JackPortIsInput | JackPortIsTerminal, 0);
        if (port == nullptr) {
            err << "vaskel_jack: cannot register the port " << name << '\n';
            return false;
        }
        c.ports.push_back(port);
    }
    c.interleaved.assign(std::size_t{c.chunkFrames} * 2, 0.0f);
    return true;
}

// --connect PORT feeds the next input port in port order.
bool connectPorts(jack_client_t* client, const Capture& c, const BridgeOptions& options,
                  std::ostream& err) {
    for (std::size_t i = 0; i < options.connect.size(); ++i) {
        const char* input = jack_port_name(c.ports[i]);
        const int status = jack_connect(client, options.connect[i].c_str(), input);
        if (status != 0 && status != EEXIST) {
            err << "vaskel_jack: cannot connect " << options.connect[i] << " to " << input
                << " (no such output port?)\n";
            return false;
        }
    }
    return true;
}

// Polls until the callback has ended the capture or the server has gone. An interrupt asks the
// callback to stop at the next period boundary.
Phase waitForEnd(Capture& c, const std::atomic<int>& interrupts, std::ostream& err) {
    bool announced = false;
    for (;;) {
        if (interrupts.load() > 0) {
            c.stopRequested.store(true, std::memory_order_release);
        }
        const Phase phase = c.phase.load(std::memory_order_acquire);
        if (phase == Phase::Capturing && !announced) {
            err << "vaskel_jack: the renderer attached; capturing\n";
            announced = true;
        }
        if ((phase != Phase::Waiting && phase != Phase::Capturing) ||
            c.serverGone.load(std::memory_order_acquire)) {
            return phase;
        }
        platform::sleepMilliseconds(10);
    }
}

// Hands the streams over as the capture ended: closed at the period boundary it stopped on,
// aborted when the server went away in the middle.
void endStreams(Capture& c, Phase phase, bool serverGone, std::ostream& err) {
    if (phase == Phase::Finished) {
        for (std::uint32_t s = 0; s < c.streams; ++s) {
            (void)vaskel_producer_close_stream(c.producer, s);
        }
    } else if (phase == Phase::Overflow) {
        err << "vaskel_jack: a ring was full in the audio callback (the renderer fell behind); "
               "published overflow and stopped the capture\n";
    } else if (serverGone && phase != Phase::Failed) {
        err << "vaskel_jack: the JACK server shut down; the capture is aborted\n";
        for (std::uint32_t s = 0; s < c.streams; ++s) {
            (void)vaskel_producer_abort_stream(c.producer, s);
        }
    }
}

// Waits for the renderer's verdict and prints it. A later interrupt, or a minute without one,
// gives up.
int reportVerdict(const Capture& c, int interruptsAtEnd, const std::atomic<int>& interrupts,
                  std::ostream& out, std::ostream& err) {
    if (vaskel_producer_consumer_state(c.producer) == VASKEL_CONSUMER_NONE) {
        err << "vaskel_jack: no renderer attached; nothing was captured\n";
        return exitCode(BridgeExit::NoVerdict);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    std::uint32_t code = 0;
    int status = VASKEL_ERROR_TIMEOUT;
    while ((status = vaskel_producer_wait(c.producer, 100, &code)) == VASKEL_ERROR_TIMEOUT) {
        if (interrupts.load() > interruptsAtEnd || std::chrono::steady_clock::now() > deadline) {
            err << "vaskel_jack: no verdict from the renderer\n";
            return exitCode(BridgeExit::NoVerdict);
        }
    }
    const bool completed = status == VASKEL_OK;
    out << "verdict=" << (completed ? "completed" : vaskel_failure_name(code))
        << ",framesPerStream=" << c.framesDone << ",xruns=" << c.xruns.load() << '\n'
        << std::flush;
    if (!completed) {
        err << "vaskel_jack: the capture failed: " << vaskel_failure_name(code) << '\n';
    }
    return exitCode(completed ? BridgeExit::Completed : BridgeExit::CaptureFailed);
}

// Runs the capture of an activated client to its end and returns the exit code.
int capture(jack_client_t* client, Capture& c, const std::atomic<int>& interrupts,
            std::ostream& out, std::ostream& err) {
    const Phase ended = waitForEnd(c, interrupts, err);
    const int interruptsAtEnd = interrupts.load();
    const bool serverGone = c.serverGone.load(std::memory_order_acquire);
    if (!serverGone) {
        // From here the callback never runs again, so the streams are this thread's.
        (void)jack_deactivate(client);
    }
    const Phase phase = serverGone ? ended : c.phase.load(std::memory_order_acquire);
    endStreams(c, phase, serverGone, err);
    if (c.xruns.load() != 0) {
        err << "vaskel_jack: the server reported " << c.xruns.load() << " xruns\n";
    }
    return reportVerdict(c, interruptsAtEnd, interrupts, out, err);
}

} // namespace

int runBridge(const BridgeOptions& options, const std::atomic<int>& interrupts, std::ostream& out,
              std::ostream& err) {
    // Declared so that the client closes first: its callback uses the capture and the region.
    Capture c;
    ProducerHandle producer;
    jack_status_t status{};
    ClientHandle client(jack_client_open(
        options.client.c_str(), static_cast<jack_options_t>(JackNoStartServer | JackUseExactName),
        &status));
    if (!client) {
        err << "vaskel_jack: cannot open the JACK client " << options.client << ": "
            << describeOpenFailure(status) << '\n';
        return exitCode(BridgeExit::SetupFailed);
    }
    const RegionPlan plan =
        planRegion(options, jack_get_sample_rate(client.get()), jack_get_buffer_size(client.get()));
    if (!plan.error.empty()) {
        err << "vaskel_jack: " << plan.error << '\n';
        return exitCode(BridgeExit::Usage);
    }
    if (!plan.warning.empty()) {
        err << "vaskel_jack: warning: " << plan.warning << '\n';
    }
    c.streams = plan.config.stream_count;
    c.channels = plan.config.channel_count;
    c.chunkFrames = plan.config.frames_per_chunk;
    c.endFrame = plan.config.logical_end_frame;
    if (!registerPorts(client.get(), c, err) ||
        jack_set_process_callback(client.get(), onProcess, &c) != 0 ||
        jack_set_xrun_callback(client.get(), onXrun, &c) != 0) {
        return exitCode(BridgeExit::SetupFailed);
    }
    jack_on_shutdown(client.get(), onShutdown, &c);
    if (jack_activate(client.get()) != 0) {
        err << "vaskel_jack: the server refused to activate the client\n";
        return exitCode(BridgeExit::SetupFailed);
    }
    if (!connectPorts(client.get(), c, options, err)) {
        return exitCode(BridgeExit::SetupFailed);
    }
    vaskel_producer* raw = nullptr;
    const int created = vaskel_producer_create(options.mappingName.c_str(), &plan.config, &raw);
    if (created != VASKEL_OK) {
        err << "vaskel_jack: cannot create the region " << options.mappingName << ": "
            << vaskel_status_text(created) << '\n';
        return exitCode(BridgeExit::SetupFailed);
    }
    producer.reset(raw);
    c.producer = raw;
    c.ready.store(true, std::memory_order_release);
    err << "vaskel_jack: region " << options.mappingName << " ready (" << c.streams << " streams x "
        << c.channels << " channels, " << plan.config.sample_rate << " Hz, " << c.chunkFrames
        << " frames per chunk, " << plan.config.slots_per_stream
        << " slots); waiting for the renderer\n";
    return capture(client.get(), c, interrupts, out, err);
}

} // namespace vaskel::jack_bridge
