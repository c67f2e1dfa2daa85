#include "bench_support.h"

#include "output/output_paths.h"
#include "output/wav_format.h"
#include "producer/transport_producer.h"
#include "transport/transport_layout.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <sched.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#ifdef VASKEL_BENCH_HAVE_SNDFILE
#include <sndfile.h>
#endif

extern char** environ;

namespace vaskel::bench {

namespace fs = std::filesystem;
using namespace vaskel::transport;

namespace {

double seconds(std::int64_t ns) {
    return static_cast<double>(ns) / 1e9;
}

double secondsOf(const timeval& value) {
    return static_cast<double>(value.tv_sec) + static_cast<double>(value.tv_usec) / 1e6;
}

// CPU time of the calling thread, so that a helper thread (the resident-set sampler) is not
// charged to the work.
struct Cpu {
    double user = 0;
    double sys = 0;
};

Cpu threadCpu() {
    rusage usage{};
    ::getrusage(RUSAGE_THREAD, &usage);
    return {secondsOf(usage.ru_utime), secondsOf(usage.ru_stime)};
}

void addCpu(RunFigures& figures, const Cpu& before, const Cpu& after) {
    figures.cpuUserS += after.user - before.user;
    figures.cpuSysS += after.sys - before.sys;
}

void addCpu(RunFigures& figures, const rusage& usage) {
    figures.cpuUserS += secondsOf(usage.ru_utime);
    figures.cpuSysS += secondsOf(usage.ru_stime);
}

bool writeAll(int fd, const void* data, std::size_t bytes) {
    const char* at = static_cast<const char*>(data);
    while (bytes > 0) {
        const ssize_t written = ::write(fd, at, bytes);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        at += written;
        bytes -= static_cast<std::size_t>(written);
    }
    return true;
}

fs::path streamPath(const fs::path& dir, std::uint32_t stream) {
    return streamFilePath(dir, stream);
}

std::array<std::uint8_t, kWavHeaderSize> headerFor(const Workload& workload,
                                                   std::uint64_t dataBytes) {
    return makeWavHeader(workload.sampleRate, static_cast<std::uint16_t>(workload.channels),
                         static_cast<std::uint32_t>(dataBytes));
}

// A started child process. Standard input is `stdinFd` (or /dev/null when negative); standard
// output and error go to the given files.
pid_t spawn(const std::vector<std::string>& words, int stdinFd, const fs::path& stdoutPath,
            const fs::path& stderrPath) {
    std::vector<std::string> copy = words;
    std::vector<char*> argv;
    for (std::string& word : copy) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    if (::posix_spawn_file_actions_init(&actions) != 0) {
        return -1;
    }
    if (stdinFd >= 0) {
        ::posix_spawn_file_actions_adddup2(&actions, stdinFd, 0);
    } else {
        ::posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    }
    ::posix_spawn_file_actions_addopen(&actions, 1, stdoutPath.c_str(),
                                       O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::posix_spawn_file_actions_addopen(&actions, 2, stderrPath.c_str(),
                                       O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    const int status = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    return status == 0 ? pid : -1;
}

struct Reaped {
    int exitCode = -1; // -1 when killed by a signal
    rusage usage{};
};

Reaped reap(pid_t pid) {
    Reaped reaped;
    int status = 0;
    while (::wait4(pid, &status, 0, &reaped.usage) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) {
        reaped.exitCode = WEXITSTATUS(status);
    }
    return reaped;
}

bool hasExited(pid_t pid) {
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
        return true;
    }
    return info.si_pid == pid;
}

std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A renderer run's verdict: a good run's captured output is dropped, a failed one's kept in the
// error text (unless an earlier step already explained the failure).
bool settleRendererLog(bool ok, int exitCode, const fs::path& log, std::string& error) {
    if (ok && exitCode == 0) {
        fs::remove(log.string() + ".out");
        fs::remove(log.string() + ".err");
        return true;
    }
    if (error.empty()) {
        error = "renderer exit code " + std::to_string(exitCode) + ": " +
                readText(log.string() + ".err");
    }
    return false;
}

std::uint64_t processCounter() {
    static std::atomic<std::uint64_t> counter{0};
    return counter.fetch_add(1);
}

std::string uniqueRegionName() {
    return "vaskel-bench-" + std::to_string(::getpid()) + "-" + std::to_string(processCounter());
}

TransportConfig configFor(const Workload& workload, std::uint32_t slots, bool declareEnd) {
    TransportConfig config{};
    config.streamCount = workload.streams;
    config.slotsPerStream = slots;
    config.framesPerChunk = workload.framesPerChunk;
    config.channelCount = workload.channels;
    config.sampleRate = workload.sampleRate;
    config.logicalStartFrame = 0;
    config.logicalEndFrame =
        declareEnd ? workload.chunksPerStream * workload.framesPerChunk : std::uint64_t{0};
    return config;
}

// Polls a process's resident set until stopped, keeping the sample with the largest
// anon + file part.
class ResidentSampler {
public:
    explicit ResidentSampler(pid_t pid)
        : path_("/proc/" + std::to_string(pid) + "/status"), thread_([this] { loop(); }) {}
    ~ResidentSampler() { stop(); }

    void stop() {
        stop_.store(true);
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    ResidentKb peak() const { return peak_; }
    std::uint64_t samples() const { return samples_; }

private:
    // /proc/<pid>/status read with plain system calls: once the process has gone, the read
    // fails with ESRCH, which a file stream would turn into an exception on this thread.
    std::string readStatus() const {
        std::string text;
        const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            return text;
        }
        char buffer[4096];
        for (;;) {
            const ssize_t got = ::read(fd, buffer, sizeof buffer);
            if (got <= 0) {
                break;
            }
            text.append(buffer, static_cast<std::size_t>(got));
        }
        ::close(fd);
        return text;
    }

    void loop() {
        while (!stop_.load()) {
            if (const auto resident = parseProcStatus(readStatus())) {
                ++samples_;
                if (resident->anon + resident->file > peak_.anon + peak_.file) {
                    peak_ = *resident;
                }
            }
            const timespec pause{0, 1000000};
            ::nanosleep(&pause, nullptr);
        }
    }

    fs::path path_;
    std::atomic<bool> stop_{false};
    ResidentKb peak_;
    std::uint64_t samples_ = 0;
    std::thread thread_;
};

// Back-off of a producer whose rings are all full: spin briefly (the renderer frees a slot
// within microseconds), then give the core away so the benchmark does not starve other work.
class Backoff {
public:
    void reset() { rounds_ = 0; }
    void wait() {
        if (++rounds_ < 64) {
            for (int i = 0; i < 16; ++i) {
                __builtin_ia32_pause();
            }
        } else {
            ::sched_yield();
        }
    }
    std::uint64_t rounds() const { return rounds_; }

private:
    std::uint64_t rounds_ = 0;
};

} // namespace

SourceAudio::SourceAudio(const Workload& workload) {
    const std::size_t samples = std::size_t{workload.framesPerChunk} * workload.channels;
    chunks_.resize(workload.streams);
    for (std::uint32_t stream = 0; stream < workload.streams; ++stream) {
        std::vector<float>& chunk = chunks_[stream];
        chunk.resize(samples);
        // A tone per stream and channel; the 1/1024 steps keep every stream's bytes distinct.
        const double frequency = 110.0 + 7.0 * stream;
        for (std::size_t i = 0; i < samples; ++i) {
            const std::size_t frame = i / workload.channels;
            const std::size_t channel = i % workload.channels;
            const double phase = 2.0 * M_PI * frequency * static_cast<double>(frame) /
                                 static_cast<double>(workload.sampleRate);
            chunk[i] = static_cast<float>(0.5 * std::sin(phase + 0.25 * channel) +
                                          static_cast<double>(stream) / 1024.0);
        }
    }
}

std::int64_t nowNs() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    // The tolerance keeps p * n / 100 from rounding up past an exact rank (99.9 of 1000 is
    // 999.0000000000001 in doubles).
    const double rank = std::ceil(p * static_cast<double>(values.size()) / 100.0 - 1e-9);
    const std::size_t index =
        rank < 1 ? 0 : std::min(values.size() - 1, static_cast<std::size_t>(rank) - 1);
    return values[index];
}

std::optional<ResidentKb> parseProcStatus(std::string_view text) {
    ResidentKb resident;
    int found = 0;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        std::uint64_t* target = nullptr;
        if (line.starts_with("RssAnon:")) {
            target = &resident.anon;
        } else if (line.starts_with("RssFile:")) {
            target = &resident.file;
        } else if (line.starts_with("RssShmem:")) {
            target = &resident.shmem;
        } else {
            continue;
        }
        const std::size_t digits = line.find_first_of("0123456789");
        if (digits == std::string_view::npos) {
            return std::nullopt;
        }
        std::uint64_t value = 0;
        for (std::size_t i = digits; i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i) {
            value = value * 10 + static_cast<std::uint64_t>(line[i] - '0');
        }
        *target = value;
        ++found;
    }
    if (found != 3) {
        return std::nullopt;
    }
    return resident;
}

// Creates every stream file with its placeholder header, as the renderer does; false on the first
// file that cannot be made.
bool openStreamFiles(const Workload& workload, const fs::path& outDir, std::vector<int>& fds) {
    const auto placeholder = headerFor(workload, 0);
    for (std::uint32_t s = 0; s < workload.streams; ++s) {
        fds[s] =
            ::open(streamPath(outDir, s).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fds[s] < 0 || !writeAll(fds[s], placeholder.data(), placeholder.size())) {
            return false;
        }
    }
    return true;
}

RunFigures runPlainWriter(const Workload& workload, const SourceAudio& audio,
                          const fs::path& outDir, std::uint64_t coldSourceBytes) {
    RunFigures figures;
    fs::create_directories(outDir);
    const std::size_t bytes = workload.chunkBytes();
    // copies[c % copiesPerStream][stream]: chunk c of a stream comes from its own copy.
    const std::uint64_t copiesPerStream =
        std::max<std::uint64_t>(1, coldSourceBytes / (bytes * workload.streams));
    std::vector<std::byte> pool;
    if (coldSourceBytes > 0) {
        pool.resize(copiesPerStream * workload.streams * bytes);
        for (std::uint64_t k = 0; k < copiesPerStream * workload.streams; ++k) {
            std::memcpy(pool.data() + k * bytes, audio.chunk(k % workload.streams), bytes);
        }
    }
    auto source = [&](std::uint64_t chunk, std::uint32_t stream) -> const void* {
        if (pool.empty()) {
            return audio.chunk(stream);
        }
        return pool.data() + ((chunk % copiesPerStream) * workload.streams + stream) * bytes;
    };
    const Cpu cpu0 = threadCpu();
    const std::int64_t t0 = nowNs();
    std::vector<int> fds(workload.streams, -1);
    bool ok = openStreamFiles(workload, outDir, fds);
    for (std::uint64_t c = 0; c < workload.chunksPerStream && ok; ++c) {
        for (std::uint32_t s = 0; s < workload.streams && ok; ++s) {
            ok = writeAll(fds[s], source(c, s), bytes);
        }
    }
    const auto final = headerFor(workload, workload.dataBytesPerStream());
    for (int fd : fds) {
        if (fd >= 0) {
            ok = ok &&
                 ::pwrite(fd, final.data(), final.size(), 0) == static_cast<ssize_t>(final.size());
            ok = ::close(fd) == 0 && ok;
        }
    }
    figures.wallS = seconds(nowNs() - t0);
    addCpu(figures, cpu0, threadCpu());
    figures.ok = ok;
    if (!ok) {
        figures.error = std::string("write failed: ") + std::strerror(errno);
    }
    return figures;
}

bool sndfileAvailable() {
#ifdef VASKEL_BENCH_HAVE_SNDFILE
    return true;
#else
    return false;
#endif
}

RunFigures runSndfile(const Workload& workload, const SourceAudio& audio, const fs::path& outDir,
                      bool peakChunk) {
    RunFigures figures;
#ifdef VASKEL_BENCH_HAVE_SNDFILE
    fs::create_directories(outDir);
    const Cpu cpu0 = threadCpu();
    const std::int64_t t0 = nowNs();
    std::vector<SNDFILE*> files(workload.streams, nullptr);
    bool ok = true;
    for (std::uint32_t s = 0; s < workload.streams && ok; ++s) {
        SF_INFO info{};
        info.samplerate = static_cast<int>(workload.sampleRate);
        info.channels = static_cast<int>(workload.channels);
        info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
        files[s] = sf_open(streamPath(outDir, s).c_str(), SFM_WRITE, &info);
        ok = files[s] != nullptr;
        if (ok && !peakChunk) {
            sf_command(files[s], SFC_SET_ADD_PEAK_CHUNK, nullptr, SF_FALSE);
        }
    }
    const auto frames = static_cast<sf_count_t>(workload.framesPerChunk);
    for (std::uint64_t c = 0; c < workload.chunksPerStream && ok; ++c) {
        for (std::uint32_t s = 0; s < workload.streams && ok; ++s) {
            ok = sf_writef_float(files[s], audio.chunk(s), frames) == frames;
        }
    }
    for (SNDFILE* file : files) {
        if (file != nullptr) {
            ok = sf_close(file) == 0 && ok;
        }
    }
    figures.wallS = seconds(nowNs() - t0);
    addCpu(figures, cpu0, threadCpu());
    figures.ok = ok;
    if (!ok) {
        figures.error = "libsndfile write failed";
    }
#else
    (void)workload;
    (void)audio;
    (void)outDir;
    (void)peakChunk;
    figures.error = "built without libsndfile";
#endif
    return figures;
}

RunFigures runPipes(const Workload& workload, const SourceAudio& audio, const fs::path& outDir,
                    PipeTool tool) {
    RunFigures figures;
    fs::create_directories(outDir);
    const std::string rate = std::to_string(workload.sampleRate);
    const std::string channels = std::to_string(workload.channels);
    const Cpu cpu0 = threadCpu();
    const std::int64_t t0 = nowNs();

    struct Feed {
        pid_t pid = -1;
        int fd = -1;
        std::uint64_t chunksSent = 0;
        std::size_t offset = 0; // bytes of the current chunk already written
    };
    std::vector<Feed> feeds(workload.streams);
    bool ok = true;
    for (std::uint32_t s = 0; s < workload.streams && ok; ++s) {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0) {
            ok = false;
            break;
        }
        const std::string out = streamPath(outDir, s).string();
        std::vector<std::string> words;
        if (tool == PipeTool::Sox) {
            words = {"sox", "-q",     "-t", "raw", "-r", rate,  "-e", "floating-point", "-b", "32",
                     "-c",  channels, "-L", "-",   "-t", "wav", "-e", "floating-point", "-b", "32",
                     out};
        } else {
            words = {"ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error",  "-f",
                     "f32le",  "-ar",      rate,           "-ac",       channels, "-i",
                     "pipe:0", "-c:a",     "pcm_f32le",    "-y",        out};
        }
        feeds[s].pid =
            spawn(words, ends[0], "/dev/null", outDir / ("tool-" + std::to_string(s) + ".err"));
        ::close(ends[0]);
        feeds[s].fd = ends[1];
        ::fcntl(ends[1], F_SETFL, O_NONBLOCK);
        ok = feeds[s].pid > 0;
    }

    // Feed whichever pipes have room, a chunk (or what is left of it) per write.
    const std::size_t bytes = workload.chunkBytes();
    std::vector<pollfd> waiting;
    std::vector<std::uint32_t> streamOf;
    for (;;) {
        waiting.clear();
        streamOf.clear();
        for (std::uint32_t s = 0; s < workload.streams; ++s) {
            if (feeds[s].fd >= 0) {
                waiting.push_back({feeds[s].fd, POLLOUT, 0});
                streamOf.push_back(s);
            }
        }
        if (waiting.empty() || !ok) {
            break;
        }
        if (::poll(waiting.data(), waiting.size(), 10000) <= 0) {
            ok = false;
            figures.error = "pipe feeding stalled";
            break;
        }
        for (std::size_t k = 0; k < waiting.size(); ++k) {
            if (waiting[k].revents == 0) {
                continue;
            }
            Feed& feed = feeds[streamOf[k]];
            if ((waiting[k].revents & (POLLERR | POLLHUP)) != 0) {
                ok = false;
                figures.error = "a tool closed its pipe early";
                break;
            }
            const char* chunk = reinterpret_cast<const char*>(audio.chunk(streamOf[k]));
            for (;;) {
                const ssize_t written = ::write(feed.fd, chunk + feed.offset, bytes - feed.offset);
                if (written <= 0) {
                    break;
                }
                feed.offset += static_cast<std::size_t>(written);
                if (feed.offset == bytes) {
                    feed.offset = 0;
                    if (++feed.chunksSent == workload.chunksPerStream) {
                        ::close(feed.fd);
                        feed.fd = -1;
                        break;
                    }
                }
            }
        }
    }
    for (Feed& feed : feeds) {
        if (feed.fd >= 0) {
            ::close(feed.fd);
        }
    }
    addCpu(figures, cpu0, threadCpu());
    for (Feed& feed : feeds) {
        if (feed.pid > 0) {
            const Reaped reaped = reap(feed.pid);
            addCpu(figures, reaped.usage);
            ok = ok && reaped.exitCode == 0;
        }
    }
    figures.wallS = seconds(nowNs() - t0);
    figures.ok = ok;
    if (!ok && figures.error.empty()) {
        figures.error = "a tool failed";
    }
    return figures;
}

RendererFigures runRenderer(const Workload& workload, const SourceAudio& audio,
                            const fs::path& outDir, const RendererOptions& options) {
    RendererFigures figures;
    RunFigures& run = figures.run;
    producer::TransportProducer producer;
    const std::string name = uniqueRegionName();
    if (!producer.create(name, configFor(workload, options.slotsPerStream, true))) {
        run.error = "cannot create the region";
        return figures;
    }
    if (options.warmRegion) {
        // Rewrites the zeros it finds, so the renderer still sees empty rings.
        std::memset(producer.view() + kHeaderSize + kControlBlockSize * workload.streams, 0,
                    producer.viewSize() - kHeaderSize - kControlBlockSize * workload.streams);
    }
    // Generous timeouts: under valgrind the renderer starts and runs tens of times slower.
    const bool wrapped = !options.wrapper.empty();
    std::vector<std::string> words = options.wrapper;
    words.insert(words.end(), {options.renderer.string(), name, outDir.string(), "0",
                               wrapped ? "120000" : "20000", wrapped ? "120000" : "20000"});
    const fs::path log = outDir.string() + ".renderer";

    const Cpu cpu0 = threadCpu();
    const std::int64_t t0 = nowNs();
    const pid_t pid = spawn(words, -1, log.string() + ".out", log.string() + ".err");
    if (pid <= 0) {
        run.error = "cannot start the renderer";
        return figures;
    }
    std::optional<ResidentSampler> sampler;
    if (options.sampleResident) {
        sampler.emplace(pid);
    }

    // One chunk per stream in turn, as the renderer takes them; a full ring is skipped.
    std::vector<std::uint64_t> published(workload.streams, 0);
    std::uint32_t open = workload.streams;
    Backoff backoff;
    bool ok = true;
    while (open > 0) {
        bool progress = false;
        for (std::uint32_t s = 0; s < workload.streams; ++s) {
            if (published[s] == workload.chunksPerStream ||
                !producer.tryPublish(s, audio.chunk(s), workload.framesPerChunk)) {
                continue;
            }
            progress = true;
            if (++published[s] == workload.chunksPerStream) {
                producer.closeStream(s);
                --open;
            }
        }
        if (progress) {
            backoff.reset();
            continue;
        }
        backoff.wait();
        if (backoff.rounds() % 1024 == 0 && (producer.failureCode() != 0 || hasExited(pid))) {
            ok = false;
            run.error = "the renderer stopped before every chunk was published";
            break;
        }
    }
    const Cpu cpu1 = threadCpu();
    const Reaped reaped = reap(pid);
    run.wallS = seconds(nowNs() - t0);
    if (sampler) {
        sampler->stop();
        figures.peakResident = sampler->peak();
        figures.residentSamples = sampler->samples();
    }
    figures.producerCpuS = (cpu1.user - cpu0.user) + (cpu1.sys - cpu0.sys);
    addCpu(run, reaped.usage);
    run.ok = settleRendererLog(ok, reaped.exitCode, log, run.error);
    return figures;
}

LatencyFigures runLatency(const Workload& workload, const SourceAudio& audio,
                          const fs::path& outDir, const LatencyOptions& options) {
    LatencyFigures figures;
    producer::TransportProducer producer;
    const std::string name = uniqueRegionName();
    const TransportConfig config = configFor(workload, 8, false);
    if (!producer.create(name, config)) {
        figures.error = "cannot create the region";
        return figures;
    }
    const fs::path log = outDir.string() + ".renderer";
    const pid_t pid =
        spawn({options.renderer.string(), name, outDir.string(), "0", "60000", "20000"}, -1,
              log.string() + ".out", log.string() + ".err");
    if (pid <= 0) {
        figures.error = "cannot start the renderer";
        return figures;
    }

    // Each chunk is staged first and committed after the clock read, so the figure runs from
    // the release store of writeIndex, not from the payload copy. The ring is drained before
    // each chunk, so staging always finds room.
    const std::uint64_t total = options.warmup + options.samples;
    figures.latencyNs.reserve(options.samples);
    std::int64_t next = nowNs();
    bool ok = true;
    for (std::uint64_t k = 0; k < total && ok; ++k) {
        const auto s = static_cast<std::uint32_t>(k % workload.streams);
        RingWriter& writer = producer.writer(s);
        const std::uint64_t n = writer.writeIndex();
        if (!writer.stage(writer.nextHeader(workload.framesPerChunk), audio.chunk(s),
                          workload.chunkBytes())) {
            figures.error = "the ring was not drained";
            ok = false;
            break;
        }

        next += options.spacingNs;
        const timespec at{static_cast<time_t>(next / 1000000000),
                          static_cast<long>(next % 1000000000)};
        while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
        }
        const std::int64_t released = nowNs();
        writer.commit();
        std::uint64_t spins = 0;
        while (writer.readIndex() != n + 1) {
            __builtin_ia32_pause();
            // The first chunk waits for the renderer to start; later ones should not wait long.
            if (++spins % 65536 == 0 && nowNs() - released > 20000000000) {
                ok = false;
                figures.error = "the renderer did not consume a chunk within 20 s";
            }
            if (!ok) {
                break;
            }
        }
        const std::int64_t seen = nowNs();
        if (k >= options.warmup) {
            figures.latencyNs.push_back(static_cast<double>(seen - released));
        }
        if (k < options.warmup) {
            next = nowNs(); // the start-up wait must not make the following chunks late
        }
    }
    for (std::uint32_t s = 0; s < workload.streams; ++s) {
        producer.closeStream(s);
    }
    const Reaped reaped = reap(pid);
    figures.ok = settleRendererLog(ok, reaped.exitCode, log, figures.error);
    return figures;
}

LatencyFigures runWriteLatency(const Workload& workload, const SourceAudio& audio,
                               const fs::path& outDir, const LatencyOptions& options) {
    LatencyFigures figures;
    fs::create_directories(outDir);
    std::vector<int> fds(workload.streams, -1);
    bool ok = openStreamFiles(workload, outDir, fds);
    const std::uint64_t total = options.warmup + options.samples;
    figures.latencyNs.reserve(options.samples);
    std::int64_t next = nowNs();
    for (std::uint64_t k = 0; k < total && ok; ++k) {
        const auto s = static_cast<std::uint32_t>(k % workload.streams);
        next += options.spacingNs;
        const timespec at{static_cast<time_t>(next / 1000000000),
                          static_cast<long>(next % 1000000000)};
        while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
        }
        const std::int64_t before = nowNs();
        ok = writeAll(fds[s], audio.chunk(s), workload.chunkBytes());
        const std::int64_t after = nowNs();
        if (k >= options.warmup) {
            figures.latencyNs.push_back(static_cast<double>(after - before));
        }
    }
    for (int fd : fds) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    figures.ok = ok;
    if (!ok) {
        figures.error = std::string("write failed: ") + std::strerror(errno);
    }
    return figures;
}

bool holdsExpectedWav(const fs::path& path, const Workload& workload, const SourceAudio& audio,
                      std::uint32_t stream) {
    const std::string bytes = readText(path);
    const std::uint64_t data = workload.dataBytesPerStream();
    if (bytes.size() != kWavHeaderSize + data) {
        return false;
    }
    const auto header = headerFor(workload, data);
    if (std::memcmp(bytes.data(), header.data(), header.size()) != 0) {
        return false;
    }
    const std::size_t chunk = workload.chunkBytes();
    for (std::uint64_t c = 0; c < workload.chunksPerStream; ++c) {
        if (std::memcmp(bytes.data() + kWavHeaderSize + c * chunk, audio.chunk(stream), chunk) !=
            0) {
            return false;
        }
    }
    return true;
}

} // namespace vaskel::bench
