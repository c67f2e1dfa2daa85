#include "tools/jack/jack_bridge.h"

#include "entry/renderer_child.h"
#include "output/durable_record.h"
#include "output/output_paths.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/region.h"
#include "platform/time.h"
#include "tools/jack/chunk_assembler.h"
#include "tools/jack/event_log.h"
#include "tools/jack/frame_buffer.h"
#include "tools/jack/take_sheet.h"
#include "wavfile/wav_repair.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
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
enum class Phase : std::uint32_t { Waiting, Capturing, Finished, Overflow };

// Who may touch the buffer's writing side: the process callback while it runs, or the main
// thread once it has taken it over for good. The callback only ever tries (it never waits in the
// audio thread); the main thread takes it without deactivating the client, which would wait
// forever on a stopped server.
enum class Access : std::uint32_t { Free, Callback, Main };

// What the process callback touches: made whole before activation, never resized after. The
// callback only copies each period into the buffer; the mover thread publishes it.
struct Capture {
    vaskel_producer* producer = nullptr; // set before `ready`
    jack_client_t* client = nullptr;
    // Set once the ports are connected and the region exists: the renderer can only attach to
    // a region whose ports already carry their sources.
    std::atomic<bool> ready{false};
    std::vector<jack_port_t*> ports; // streams x channels, in port order
    FrameBuffer buffer;
    std::uint32_t streams = 0;
    std::uint32_t channels = 0;
    std::uint64_t endFrame = 0;                   // 0: runs until stopped
    std::atomic<std::uint64_t> framesTaken{0};    // per stream, into the buffer
    std::atomic<std::uint32_t> overflowPeriod{0}; // the period that found the buffer full
    std::atomic<bool> stopRequested{false};
    std::atomic<Phase> phase{Phase::Waiting};
    std::atomic<Access> access{Access::Free};
    std::atomic<std::uint32_t> xruns{0};
    std::atomic<bool> serverGone{false};
    std::atomic<jack_time_t> startMicros{0}; // when the first captured period began
    EventLog events{kMaxTakeSheetEvents};
    // The meter's, per port, when it is shown: the peak since the meter last took it, and
    // whether a sample has reached full scale.
    bool metering = false;
    std::unique_ptr<std::atomic<float>[]> peaks;
    std::unique_ptr<std::atomic<bool>[]> clipped;
};
static_assert(std::atomic<Phase>::is_always_lock_free && std::atomic<Access>::is_always_lock_free &&
              std::atomic<bool>::is_always_lock_free &&
              std::atomic<jack_time_t>::is_always_lock_free);

// Copies one period of every port into the buffer. A full buffer is an overflow, never a wait in
// the audio thread and never a dropped period.
void capturePeriod(Capture& c, jack_nframes_t nframes) {
    const std::uint64_t taken = c.framesTaken.load(std::memory_order_relaxed);
    std::uint64_t frames = nframes;
    if (c.endFrame != 0) {
        frames = std::min(frames, c.endFrame - taken); // the last period is cut
    }
    const bool fitted = c.buffer.write(frames, [&c, nframes](std::uint32_t p) {
        return static_cast<const float*>(jack_port_get_buffer(c.ports[p], nframes));
    });
    if (!fitted) {
        c.overflowPeriod.store(nframes, std::memory_order_relaxed);
        c.phase.store(Phase::Overflow, std::memory_order_release);
        return;
    }
    c.framesTaken.store(taken + frames, std::memory_order_release);
    if (c.metering) {
        for (std::size_t p = 0; p < c.ports.size(); ++p) {
            const auto* samples =
                static_cast<const float*>(jack_port_get_buffer(c.ports[p], nframes));
            float peak = 0.0f;
            for (std::uint64_t i = 0; i < frames; ++i) {
                peak = std::max(peak, std::fabs(samples[i]));
            }
            if (peak > c.peaks[p].load(std::memory_order_relaxed)) {
                c.peaks[p].store(peak, std::memory_order_relaxed);
            }
            if (peak >= 1.0f) {
                c.clipped[p].store(true, std::memory_order_relaxed);
            }
        }
    }
    if (c.endFrame != 0 && taken + frames == c.endFrame) {
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
        // buffer before anyone drains it.
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

// The bridge's thread that moves the buffer into the shared rings as their slots free, re-cut
// into chunks of the region's size. It alone writes into the region while it runs.
class Mover {
public:
    enum class Outcome : std::uint32_t { Running, Drained, Failed, Stopped };

    Mover(Capture& c, std::uint32_t chunkFrames)
        : c_(c), chunkFrames_(chunkFrames), assembler_(c.streams, c.channels, chunkFrames) {}
    Mover(const Mover&) = delete;
    Mover& operator=(const Mover&) = delete;
    ~Mover() { stop(); }

    void start() {
        thread_ = std::thread([this] { outcome_.store(run(), std::memory_order_release); });
    }
    // No more frames come: publish the rest, then end (Drained).
    void finish() { finishing_.store(true, std::memory_order_release); }
    // End now, whatever is left (Stopped unless it had ended already).
    void stop() {
        stopping_.store(true, std::memory_order_release);
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    Outcome outcome() const { return outcome_.load(std::memory_order_acquire); }
    // Frames of every stream handed to the rings.
    std::uint64_t published() const { return published_.load(std::memory_order_relaxed); }

private:
    Outcome settle(int status) {
        if (status == VASKEL_OK) {
            return Outcome::Drained;
        }
        return stopping_.load(std::memory_order_acquire) ? Outcome::Stopped : Outcome::Failed;
    }

    // Publishes one chunk of a stream, waiting as long as its ring stays full: the buffer behind
    // it is what rides out a slow renderer. Ends early only when told to stop or on a failure.
    int publish(std::uint32_t stream, const float* interleaved, std::uint32_t frames) {
        for (;;) {
            const int status =
                vaskel_producer_write(c_.producer, stream, interleaved, frames, 50, nullptr);
            if (status != VASKEL_ERROR_TIMEOUT) {
                if (status == VASKEL_OK && stream + 1 == c_.streams) {
                    published_.fetch_add(frames, std::memory_order_relaxed);
                }
                return status;
            }
            if (stopping_.load(std::memory_order_acquire)) {
                return status;
            }
        }
    }
    auto publisher() {
        return [this](std::uint32_t stream, const float* interleaved, std::uint32_t frames) {
            return publish(stream, interleaved, frames);
        };
    }

    Outcome run() {
        for (;;) {
            if (stopping_.load(std::memory_order_acquire)) {
                return Outcome::Stopped;
            }
            // Read before the fill, so that a finish seen here covers every frame counted below.
            const bool finishing = finishing_.load(std::memory_order_acquire);
            const std::uint64_t ready = c_.buffer.readable();
            if (ready == 0) {
                if (finishing) {
                    return settle(assembler_.flush(publisher()));
                }
                platform::sleepMilliseconds(2);
                continue;
            }
            // A chunk at most, so that what reached the rings is handed back to the callback at
            // once, and at most to the storage's end: the rest is the next run, from position 0.
            const std::uint64_t at = c_.buffer.readPosition();
            const std::uint64_t frames =
                std::min({ready, c_.buffer.capacity() - at, std::uint64_t{chunkFrames_}});
            const std::uint32_t channels = c_.channels;
            const int status = assembler_.add(
                frames,
                [this, at, channels](std::uint32_t stream, std::uint32_t channel) {
                    return c_.buffer.port(stream * channels + channel, at);
                },
                publisher());
            if (status != VASKEL_OK) {
                return settle(status);
            }
            c_.buffer.release(frames);
        }
    }

    Capture& c_;
    std::uint32_t chunkFrames_;
    ChunkAssembler assembler_;
    std::thread thread_;
    std::atomic<bool> finishing_{false};
    std::atomic<bool> stopping_{false};
    std::atomic<Outcome> outcome_{Outcome::Running};
    std::atomic<std::uint64_t> published_{0};
};

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

// One stream's meter line: its peak in dBFS with a bar of 30 steps over -60 to 0 dBFS, a clip
// mark, and the buffer's fill.
std::string meterLine(const std::string& name, float peak, bool clip, unsigned fillPercent) {
    const double db = peak > 0.0f ? 20.0 * std::log10(static_cast<double>(peak)) : -1000.0;
    const int steps = std::clamp(static_cast<int>((db + 60.0) / 2.0), 0, 30);
    char level[16];
    if (db < -99.9) {
        std::snprintf(level, sizeof level, "%6s", "-inf");
    } else {
        std::snprintf(level, sizeof level, "%6.1f", db);
    }
    const std::string bar = std::string(static_cast<std::size_t>(steps), '#') +
                            std::string(static_cast<std::size_t>(30 - steps), '.');
    char text[160];
    std::snprintf(text, sizeof text, "%s %s dBFS [%s] %-4s buffer %3u %%", name.c_str(), level,
                  bar.c_str(), clip ? "CLIP" : "", fillPercent);
    return text;
}

bool capturing(const Capture& c) {
    return c.phase.load(std::memory_order_acquire) == Phase::Capturing;
}

// The callbacks below only note what happened for the bridge's thread, which names it.
void note(Capture& c, RawEvent event) {
    event.frame = c.framesTaken.load(std::memory_order_acquire);
    (void)c.events.push(event);
}

// Only xruns during the capture count: those of a server waiting for a renderer say nothing of it.
int onXrun(void* arg) {
    auto& c = *static_cast<Capture*>(arg);
    if (capturing(c)) {
        c.xruns.fetch_add(1, std::memory_order_relaxed);
        note(c, RawEvent{.kind = EventKind::Xrun});
    }
    return 0;
}

void onPortConnect(jack_port_id_t a, jack_port_id_t b, int connected, void* arg) {
    auto& c = *static_cast<Capture*>(arg);
    if (connected == 0 && capturing(c)) {
        note(c, RawEvent{.kind = EventKind::PortDisconnected, .portA = a, .portB = b});
    }
}

void onClientRegistration(const char* name, int registered, void* arg) {
    auto& c = *static_cast<Capture*>(arg);
    if (registered == 0 && capturing(c)) {
        RawEvent event{.kind = EventKind::ClientGone};
        EventLog::copyName(event.client, name);
        note(c, event);
    }
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

// A full port name is that port; any other word is an extended regular expression that must
// match a port's whole name, in the server's port order.
PortMatches lookupPorts(jack_client_t* client, const std::string& word) {
    PortMatches matches;
    if (jack_port_t* port = jack_port_by_name(client, word.c_str());
        port != nullptr && std::strcmp(jack_port_type(port), JACK_DEFAULT_AUDIO_TYPE) == 0) {
        ((jack_port_flags(port) & JackPortIsOutput) != 0 ? matches.outputs : matches.inputs)
            .emplace_back(jack_port_name(port));
        return matches;
    }
    // jack_get_ports would search (unanchored): every port is listed and matched here instead.
    const std::vector<std::string> outputs =
        takePortNames(jack_get_ports(client, nullptr, JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput));
    const std::vector<std::string> inputs =
        takePortNames(jack_get_ports(client, nullptr, JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput));
    if (matchWhole(word, outputs, matches.outputs, matches.error)) {
        (void)matchWhole(word, inputs, matches.inputs, matches.error);
    }
    return matches;
}

// PATH as the bridge was started with it; none is an empty search.
std::string searchPath() {
    const char* path = std::getenv("PATH");
    return path == nullptr ? std::string() : std::string(path);
}

// A regular file someone may run (whoever that is: the start says if it is not this user).
bool isProgram(const std::filesystem::path& path) {
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::status(path, error);
    using std::filesystem::perms;
    return !error && std::filesystem::is_regular_file(status) &&
           (status.permissions() & (perms::owner_exec | perms::group_exec | perms::others_exec)) !=
               perms::none;
}

// How the wait for the capture's end ended.
enum class End {
    Callback,         // the callback ended it: finished, or the buffer overflowed
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

// The buffer's fill at which the bridge warns, once: the disk is falling behind.
constexpr std::uint64_t kNearFullPercent = 80;

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
        clearMeter();
        takeOver();
        endStreams(end);
        const Verdict verdict = awaitVerdict(end);
        finishRenderer(verdict);
        if (!options_.output.empty() && verdict.attached && !verdict.completed) {
            repairStreamFiles();
        }
        int code = report(end, verdict);
        if (verdict.completed && !options_.exportFormat.empty()) {
            code = runExport();
        }
        mover_.reset();
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
        if (!options_.output.empty()) {
            if (const std::error_code error = openTake()) {
                err_ << "vaskel_jack: cannot make a take folder in " << options_.output << ": "
                     << platform::errorMessage(error) << '\n';
                return exitCode(BridgeExit::SetupFailed);
            }
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
        mover_ = std::make_unique<Mover>(c_, plan_.config.frames_per_chunk);
        mover_->start();
        c_.ready.store(true, std::memory_order_release);
        describe();
        return options_.output.empty() ? 0 : startRenderer();
    }

    // --output DIR, made and opened once, walked by handle from its first component (another
    // user's link on the way refused, none in its place), and in it a take folder of this run's
    // own, made exclusively: a take never writes over another one, nor over anything else that
    // was in DIR.
    std::error_code openTake() {
        platform::Directory root;
        if (const std::error_code error = openOutputRoot(options_.output, root)) {
            return error;
        }
        constexpr std::uint32_t kMostTakes = 9999;
        for (std::uint32_t n = 1; n <= kMostTakes; ++n) {
            char name[16];
            std::snprintf(name, sizeof name, "take-%03u", n);
            const std::error_code made = root.makeDirectory(name);
            if (made == std::errc::file_exists) {
                continue;
            }
            if (made) {
                return made;
            }
            if (const std::error_code error = take_.open(root, name)) {
                return error;
            }
            takePath_ = std::filesystem::path(options_.output) / name;
            return {};
        }
        return std::make_error_code(std::errc::too_many_files_open);
    }

    // Registers the ports, activates the client and connects the sources.
    bool startClient() {
        jack_client_t* client = client_.get();
        c_.client = client;
        c_.streams = plan_.config.stream_count;
        c_.channels = plan_.config.channel_count;
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
        c_.buffer.reset(static_cast<std::uint32_t>(c_.ports.size()), plan_.bufferFrames);
        c_.metering = !options_.quiet && platform::standardErrorIsTerminal();
        c_.peaks = std::make_unique<std::atomic<float>[]>(c_.ports.size());
        c_.clipped = std::make_unique<std::atomic<bool>[]>(c_.ports.size());
        if (jack_set_process_callback(client, onProcess, &c_) != 0 ||
            jack_set_xrun_callback(client, onXrun, &c_) != 0 ||
            jack_set_port_connect_callback(client, onPortConnect, &c_) != 0 ||
            jack_set_client_registration_callback(client, onClientRegistration, &c_) != 0) {
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

    double seconds(std::uint64_t frames) const {
        return static_cast<double>(frames) / plan_.config.sample_rate;
    }

    void describe() {
        err_ << "vaskel_jack: region " << mapping_ << " ready (" << c_.streams << " streams x "
             << c_.channels << " channels, " << plan_.config.sample_rate << " Hz, chunks of "
             << plan_.config.frames_per_chunk << " frames, " << plan_.config.slots_per_stream
             << " slots; a buffer of " << seconds(c_.buffer.capacity()) << " s); "
             << (options_.output.empty() ? "waiting for the renderer"
                                         : "running vaskel_renderer into " + takePath_.string())
             << '\n';
        err_ << "vaskel_jack: recording these ports:\n";
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
        sheet.framesPerChunk = plan_.config.frames_per_chunk;
        sheet.channels = c_.channels;
        sheet.startTime = startTime_;
        sheet.events = events_;
        sheet.bufferFrames = c_.buffer.capacity();
        sheet.bufferPeakFrames = c_.buffer.peak();
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
        return writeTakeSheet(take_, formatTakeSheet(sheet));
    }

    int startRenderer() {
        if (const std::error_code error = writeSheet(takeSheet("waiting"))) {
            err_ << "vaskel_jack: cannot write the take sheet in " << takePath_.string() << ": "
                 << platform::errorMessage(error) << '\n';
            return exitCode(BridgeExit::SetupFailed);
        }
        const std::filesystem::path renderer =
            findRenderer(platform::currentExecutablePath(), searchPath(), isProgram);
        if (renderer.empty()) {
            err_ << "vaskel_jack: no vaskel_renderer beside vaskel_jack nor in an absolute "
                    "directory of PATH\n";
            return exitCode(BridgeExit::SetupFailed);
        }
        // Its own process group: the terminal's Ctrl-C reaches only the bridge, which closes the
        // streams at a period boundary, and the renderer completes the files.
        if (!child_.start(renderer,
                          {mapping_, takePath_.string(), "0", "30000",
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
            // Both sides hold the region now: without its name it goes with them, even when the
            // bridge is killed outright (and its renderer, told so, ends).
            if (const std::error_code error = platform::removeRegionName(mapping_)) {
                err_ << "vaskel_jack: warning: cannot remove the region's name: "
                     << platform::errorMessage(error) << '\n';
            }
            if (const std::error_code error = writeSheet(takeSheet("capturing"))) {
                err_ << "vaskel_jack: warning: cannot update the take sheet: " << error.message()
                     << '\n';
            }
        }
    }

    // The meter: one line per stream, redrawn in place at most ten times a second.
    void drawMeter() {
        if (!c_.metering || !capturing(c_)) {
            return;
        }
        const auto now = std::chrono::steady_clock::now();
        if (meterLines_ != 0 && now - meterDrawn_ < std::chrono::milliseconds(100)) {
            return;
        }
        meterDrawn_ = now;
        std::string text = meterLines_ != 0 ? "\x1b[" + std::to_string(meterLines_) + "A" : "";
        const auto fill = static_cast<unsigned>(c_.buffer.fill() * 100 /
                                                std::max<std::uint64_t>(1, c_.buffer.capacity()));
        for (std::uint32_t s = 0; s < c_.streams; ++s) {
            float peak = 0.0f;
            bool clip = false;
            for (std::uint32_t ch = 0; ch < c_.channels; ++ch) {
                const std::size_t p = std::size_t{s} * c_.channels + ch;
                peak = std::max(peak, c_.peaks[p].exchange(0.0f, std::memory_order_relaxed));
                clip = clip || c_.clipped[p].load(std::memory_order_relaxed);
            }
            text += "\r" + meterLine(streamFileName(s), peak, clip, fill) + "\x1b[K\n";
        }
        err_ << text << std::flush;
        meterLines_ = c_.streams;
    }

    // Takes the meter off the screen, so that a message is not drawn over.
    void clearMeter() {
        if (meterLines_ != 0) {
            err_ << "\x1b[" << meterLines_ << "A\r\x1b[J" << std::flush;
            meterLines_ = 0;
        }
    }

    // Records an event for the take sheet and says it, once.
    void record(TakeSheetEvent event) {
        clearMeter();
        err_ << "vaskel_jack: frame " << event.frame << ": " << event.kind;
        if (event.stream) {
            err_ << ", " << streamFileName(*event.stream);
        }
        err_ << (event.detail.empty() ? "" : " (" + event.detail + ")") << '\n';
        if (events_.size() < kMaxTakeSheetEvents) {
            events_.push_back(std::move(event));
        }
    }

    // The input port of ours that `id` is, if it is one.
    std::optional<std::size_t> ourPort(jack_port_id_t id) const {
        jack_port_t* port = jack_port_by_id(client_.get(), id);
        const auto found = std::find(c_.ports.begin(), c_.ports.end(), port);
        if (port == nullptr || found == c_.ports.end()) {
            return std::nullopt;
        }
        return static_cast<std::size_t>(found - c_.ports.begin());
    }

    // Names what the callbacks noted: only what touches this take (a disconnection of one of
    // its ports, a client that fed it); other clients come and go as they please.
    void collectEvents() {
        while (const RawEvent* raw = c_.events.next()) {
            switch (raw->kind) {
            case EventKind::Xrun:
                record({raw->frame, "xrun", std::nullopt, ""});
                break;
            case EventKind::PortDisconnected: {
                std::optional<std::size_t> port = ourPort(raw->portA);
                if (!port) {
                    port = ourPort(raw->portB);
                }
                if (port) {
                    record({raw->frame, "port_disconnected",
                            static_cast<std::uint32_t>(*port / c_.channels),
                            sources_.sources[*port]});
                }
                break;
            }
            case EventKind::ClientGone: {
                const std::string name = raw->client.data();
                std::optional<std::uint32_t> stream;
                std::size_t fed = 0;
                for (std::size_t p = 0; p < sources_.sources.size(); ++p) {
                    if (sources_.sources[p].starts_with(name + ":")) {
                        const auto s = static_cast<std::uint32_t>(p / c_.channels);
                        fed += stream != s ? 1 : 0;
                        stream = s;
                    }
                }
                if (fed != 0) {
                    record({raw->frame, "client_gone", fed == 1 ? stream : std::nullopt, name});
                }
                break;
            }
            }
        }
    }

    // Says once when the buffer passes kNearFullPercent: the disk is falling behind.
    void watchBuffer() {
        collectEvents();
        drawMeter();
        const std::uint64_t fill = c_.buffer.fill();
        if (!nearFullSaid_ && fill * 100 >= c_.buffer.capacity() * kNearFullPercent) {
            nearFullSaid_ = true;
            char behind[32];
            std::snprintf(behind, sizeof behind, "%.3f s of %.3f s", seconds(fill),
                          seconds(c_.buffer.capacity()));
            record({c_.framesTaken.load(std::memory_order_acquire), "buffer_near_full",
                    std::nullopt, behind});
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
            watchBuffer();
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

    // From here the callback never writes into the buffer again, running or not.
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

    // After a normal end, the mover publishes what the buffer still holds, however long a slow
    // renderer takes; a second interrupt, the renderer's end or a published failure stop it.
    Mover::Outcome drain() {
        mover_->finish();
        for (;;) {
            const Mover::Outcome outcome = mover_->outcome();
            if (outcome != Mover::Outcome::Running) {
                return outcome;
            }
            watchBuffer();
            if (!interruptedTwice_ && interrupts_.load() > 1) {
                interruptedTwice_ = true;
                err_ << "vaskel_jack: interrupted again; the capture is aborted\n";
                break;
            }
            if ((child_.running() && child_.poll()) ||
                vaskel_producer_failure_code(c_.producer) != 0) {
                break;
            }
            platform::sleepMilliseconds(10);
        }
        mover_->stop();
        return mover_->outcome();
    }

    // Hands the streams over as the capture ended: closed at the period boundary it stopped on,
    // once the buffer is drained, and aborted when it was cut off.
    void endStreams(End end) {
        const Phase phase = c_.phase.load(std::memory_order_acquire);
        if (end == End::Callback && phase == Phase::Finished) {
            switch (drain()) {
            case Mover::Outcome::Drained:
                for (std::uint32_t s = 0; s < c_.streams; ++s) {
                    (void)vaskel_producer_close_stream(c_.producer, s);
                }
                return;
            case Mover::Outcome::Stopped:
                abortStreams();
                return;
            case Mover::Outcome::Failed: // the renderer's failure is published
            case Mover::Outcome::Running:
                return;
            }
        }
        mover_->stop();
        switch (end) {
        case End::Callback:
            if (phase == Phase::Overflow) {
                (void)vaskel_producer_fail(c_.producer, VASKEL_FAILURE_OVERFLOW);
                err_ << "vaskel_jack: overflow: the buffer of " << seconds(c_.buffer.capacity())
                     << " s is full: the disk fell " << seconds(c_.buffer.fill())
                     << " s behind the server (a period of " << c_.overflowPeriod.load()
                     << " frames found no room); published overflow and stopped the capture. A "
                        "larger --buffer rides out a longer stall\n";
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
        const std::string errors = child_.output("stderr");
        err_ << errors;
        rendererReason_ = rendererFailureReason(errors);
        rendererExit_ = code;
    }

    // A capture this bridge ran has failed: what reached the files of its own take folder is
    // made playable, and the frames they hold are what the verdict reports.
    void repairStreamFiles() {
        err_ << "vaskel_jack: repairing the stream files (as vaskel_wav repair "
             << takePath_.string() << " would), so that what was captured plays:\n";
        fileFrames_.clear();
        // How far the renderer knew each file to be on the disk: repair cuts zeros past it.
        std::optional<DurableLengths> durable;
        if (const platform::ErrorOr<std::string> record = platform::readSmallRegularFile(
                take_.heldPath() / kDurableFileName, kDurableFileBytes)) {
            durable = parseDurableRecord(
                std::span(reinterpret_cast<const std::uint8_t*>(record->data()), record->size()));
        }
        for (std::uint32_t s = 0; s < c_.streams; ++s) {
            // Through the held take folder: whatever DIR's name points at by now, only the files
            // of this run's own folder are changed.
            const std::filesystem::path path = take_.heldPath() / streamFileName(s);
            std::error_code error;
            if (!std::filesystem::exists(std::filesystem::symlink_status(path, error))) {
                err_ << "vaskel_jack:   " << streamFileName(s) << ": not written\n";
                fileFrames_.push_back(0);
                continue;
            }
            RepairOptions options;
            if (durable && s < durable->lengths.size()) {
                options.durableBytes = durable->lengths[s];
            }
            const RepairOutcome outcome = repairStreamFile(path, options);
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
                repairFailed_ = true;
                break;
            }
            fileFrames_.push_back(outcome.before.frames);
        }
        if (repairFailed_) {
            err_ << "vaskel_jack: once nothing writes the files, run: vaskel_wav repair "
                 << takePath_.string() << '\n';
        }
    }

    // The frames every stream holds: what the renderer completed, what the repaired files hold,
    // or, with a renderer run elsewhere that failed, unknown here.
    std::string framesPerStream(const Verdict& verdict) const {
        if (verdict.completed) {
            return std::to_string(mover_->published());
        }
        if (fileFrames_.empty()) {
            return "unknown";
        }
        return std::to_string(*std::min_element(fileFrames_.begin(), fileFrames_.end()));
    }

    int report(End end, const Verdict& verdict) {
        collectEvents();
        if (c_.events.dropped() != 0) {
            err_ << "vaskel_jack: " << c_.events.dropped() << " more events than the "
                 << kMaxTakeSheetEvents << " the take sheet keeps\n";
        }
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
        char peak[32];
        std::snprintf(peak, sizeof peak, "%.3f", seconds(c_.buffer.peak()));
        out_ << "verdict=" << name << ",framesPerStream=" << framesPerStream(verdict)
             << ",xruns=" << xruns << ",bufferPeakSeconds=" << peak << '\n'
             << std::flush;
        if (fileFrames_.size() > 1 &&
            std::adjacent_find(fileFrames_.begin(), fileFrames_.end(), std::not_equal_to<>()) !=
                fileFrames_.end()) {
            err_ << "vaskel_jack: the streams hold different lengths:";
            for (std::size_t s = 0; s < fileFrames_.size(); ++s) {
                err_ << ' ' << streamFileName(static_cast<std::uint32_t>(s)) << '='
                     << fileFrames_[s];
            }
            err_ << '\n';
        }
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
        err_ << "vaskel_jack: the capture failed: " << name
             << (rendererReason_.empty() ? "" : " (" + rendererReason_ + ")") << '\n';
        if (options_.output.empty()) {
            err_ << "vaskel_jack: to make what the renderer wrote playable, run: vaskel_wav "
                    "repair <the renderer's output directory>\n";
        }
        return exitCode(BridgeExit::CaptureFailed);
    }

    // vaskel_wav export of the completed take, from the one installed beside vaskel_jack. A
    // further interrupt stops it; the take stays whole either way.
    int runExport() {
        const std::filesystem::path self = platform::currentExecutablePath();
        const std::filesystem::path tool = self.parent_path() / "vaskel_wav";
        const std::filesystem::path destination = takePath_ / "export";
        err_ << "vaskel_jack: exporting: " << tool.string() << " export " << takePath_.string()
             << ' ' << destination.string() << " --format " << options_.exportFormat << '\n';
        RendererChild exporter;
        if (self.empty() || !isProgram(tool) ||
            !exporter.start(tool, {"export", takePath_.string(), destination.string(), "--format",
                                   options_.exportFormat})) {
            err_ << "vaskel_jack: cannot run " << tool.string() << ": "
                 << (exporter.failure().empty() ? "not there" : exporter.failure()) << '\n';
            return exitCode(BridgeExit::ExportFailed);
        }
        const int interruptsBefore = interrupts_.load();
        while (!exporter.poll() && interrupts_.load() == interruptsBefore) {
            platform::sleepMilliseconds(20);
        }
        const int code = exporter.finish(platform::Deadline::after(0), nullptr);
        out_ << exporter.output("stdout");
        err_ << exporter.output("stderr");
        if (code != 0) {
            err_ << "vaskel_jack: the export failed (exit " << code << "); the take in "
                 << takePath_.string() << " is whole\n";
            return exitCode(BridgeExit::ExportFailed);
        }
        err_ << "vaskel_jack: exported to " << destination.string() << '\n';
        return exitCode(BridgeExit::Completed);
    }

    void completeSheet(const std::string& state, const Verdict& verdict) {
        if (options_.output.empty()) {
            return;
        }
        TakeSheet sheet = takeSheet(state);
        if (verdict.completed) {
            sheet.framesPerStream = mover_->published();
        }
        sheet.verdict = !verdict.known      ? ""
                        : verdict.completed ? "completed"
                                            : vaskel_failure_name(verdict.failureCode);
        if (const std::error_code error = writeSheet(sheet)) {
            err_ << "vaskel_jack: warning: cannot complete the take sheet: " << error.message()
                 << '\n';
        } else {
            err_ << "vaskel_jack: take sheet " << (takePath_ / kTakeSheetName).string() << '\n';
        }
        err_ << "vaskel_jack: take folder " << takePath_.string() << '\n';
    }

    const BridgeOptions& options_;
    const std::atomic<int>& interrupts_;
    std::ostream& out_;
    std::ostream& err_;
    // Declared so that the client closes first (its callback uses the capture and the region),
    // the mover stops before the region goes, and the renderer child ends before the region.
    Capture c_;
    ProducerHandle producer_;
    std::unique_ptr<Mover> mover_;
    RendererChild child_;
    ClientHandle client_;
    SourcePlan sources_;
    RegionPlan plan_;
    std::string mapping_;
    platform::Directory take_;
    std::filesystem::path takePath_;
    std::optional<std::chrono::system_clock::time_point> startTime_;
    std::optional<int> rendererExit_;
    std::string rendererReason_;
    std::vector<std::uint64_t> fileFrames_; // per stream, after a repair
    bool repairFailed_ = false;
    bool interruptedTwice_ = false;
    bool nearFullSaid_ = false;
    std::vector<TakeSheetEvent> events_;
    std::uint32_t meterLines_ = 0; // lines of the meter on the screen
    std::chrono::steady_clock::time_point meterDrawn_;
};

} // namespace

int runBridge(const BridgeOptions& options, const std::atomic<int>& interrupts, std::ostream& out,
              std::ostream& err) {
    return Bridge(options, interrupts, out, err).run();
}

} // namespace vaskel::jack_bridge
