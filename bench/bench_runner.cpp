#include "bench_runner.h"

#include "output/output_paths.h"
#include "output/wav_format.h"
#include "producer/transport_producer.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <optional>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace vaskel::bench {

namespace fs = std::filesystem;
using namespace vaskel::transport;

namespace {

double secondsOf(const timeval& value) {
    return static_cast<double>(value.tv_sec) + static_cast<double>(value.tv_usec) / 1e6;
}

} // namespace

double seconds(std::int64_t ns) {
    return static_cast<double>(ns) / 1e9;
}

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

std::int64_t nowNs() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void sleepUntilNs(std::int64_t deadlineNs) {
    const timespec at{static_cast<time_t>(deadlineNs / 1000000000),
                      static_cast<long>(deadlineNs % 1000000000)};
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
    }
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

std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::array<std::uint8_t, 44> headerFor(const Workload& workload, std::uint64_t dataBytes) {
    return makeWavHeader(workload.sampleRate, static_cast<std::uint16_t>(workload.channels),
                         static_cast<std::uint32_t>(dataBytes));
}

bool openStreamFiles(const Workload& workload, const fs::path& outDir, std::vector<int>& fds) {
    const auto placeholder = headerFor(workload, 0);
    for (std::uint32_t s = 0; s < workload.streams; ++s) {
        fds[s] = ::open(streamFilePath(outDir, s).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC,
                        0644);
        if (fds[s] < 0 || !writeAll(fds[s], placeholder.data(), placeholder.size())) {
            return false;
        }
    }
    return true;
}

bool syncStreamFiles(const std::vector<int>& fds, const fs::path& outDir) {
    bool ok = true;
    for (int fd : fds) {
        ok = fd >= 0 && ::fdatasync(fd) == 0 && ok;
    }
    const int dir = ::open(outDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ok = dir >= 0 && ::fsync(dir) == 0 && ok;
    if (dir >= 0) {
        ::close(dir);
    }
    return ok;
}

bool closeAll(std::vector<int>& fds) {
    bool ok = true;
    for (int& fd : fds) {
        if (fd >= 0) {
            ok = ::close(fd) == 0 && ok;
            fd = -1;
        }
    }
    return ok;
}

bool holdsExpectedWav(const fs::path& path, const Workload& workload, const SourceAudio& audio,
                      std::uint32_t stream) {
    const std::string bytes = readText(path);
    const std::uint64_t data = workload.dataBytesPerStream();
    const auto header = headerFor(workload, data);
    if (bytes.size() != kWavHeaderSize + data ||
        std::memcmp(bytes.data(), header.data(), header.size()) != 0) {
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
    const int outFlags = O_WRONLY | O_CREAT | O_TRUNC;
    ::posix_spawn_file_actions_addopen(&actions, 1, stdoutPath.c_str(), outFlags, 0644);
    ::posix_spawn_file_actions_addopen(&actions, 2, stderrPath.c_str(), outFlags, 0644);
    pid_t pid = -1;
    const int status = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    return status == 0 ? pid : -1;
}

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

std::string uniqueRegionName() {
    static std::atomic<std::uint64_t> counter{0};
    return "vaskel-bench-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
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

pid_t startRenderer(const std::vector<std::string>& wrapper, const fs::path& renderer,
                    const std::string& name, const fs::path& outDir, const std::string& idleMs,
                    const std::string& openMs) {
    std::vector<std::string> words = wrapper;
    words.insert(words.end(), {renderer.string(), name, outDir.string(), "0", idleMs, openMs});
    const std::string log = outDir.string() + ".renderer";
    return spawn(words, -1, log + ".out", log + ".err");
}

bool settleRendererLog(bool ok, int exitCode, const fs::path& outDir, std::string& error) {
    const std::string log = outDir.string() + ".renderer";
    if (ok && exitCode == 0) {
        fs::remove(log + ".out");
        fs::remove(log + ".err");
        return true;
    }
    if (error.empty()) {
        error = "renderer exit code " + std::to_string(exitCode) + ": " + readText(log + ".err");
    }
    return false;
}

namespace {

// When the renderer has taken the last chunk of every ring (or has exited): what it does from
// then on to its exit is its finish, the final sync above all.
std::int64_t waitUntilDrained(producer::TransportProducer& producer, std::uint32_t streams,
                              pid_t renderer) {
    for (;;) {
        bool drained = true;
        for (std::uint32_t s = 0; s < streams && drained; ++s) {
            drained = producer.readIndex(s) == producer.writeIndex(s);
        }
        if (drained || hasExited(renderer)) {
            return nowNs();
        }
        sleepUntilNs(nowNs() + 100000);
    }
}

} // namespace

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
        const std::size_t rings = kHeaderSize + kControlBlockSize * workload.streams;
        std::memset(producer.view() + rings, 0, producer.viewSize() - rings);
    }
    // Generous timeouts: under valgrind the renderer starts and runs tens of times slower.
    const std::string timeoutMs = options.wrapper.empty() ? "20000" : "120000";
    const Cpu cpu0 = threadCpu();
    const std::int64_t t0 = nowNs();
    const pid_t pid =
        startRenderer(options.wrapper, options.renderer, name, outDir, timeoutMs, timeoutMs);
    if (pid <= 0) {
        run.error = "cannot start the renderer";
        return figures;
    }
    std::optional<ResidentSampler> sampler;
    if (options.sampleResident) {
        sampler.emplace(pid);
    }
    const Fed fed = feedRenderer(producer, workload, audio, options.pace, pid);
    const Cpu cpu1 = threadCpu();
    const std::int64_t drained = waitUntilDrained(producer, workload.streams, pid);
    const Reaped reaped = reap(pid);
    const std::int64_t exited = nowNs();
    run.wallS = seconds(exited - t0);
    figures.tailS = seconds(exited - drained);
    for (std::uint32_t s = 0; s < workload.streams; ++s) {
        figures.maxOccupancy = std::max(figures.maxOccupancy, loadMaxOccupancy(producer.block(s)));
    }
    if (sampler) {
        sampler->stop();
        figures.peakResident = sampler->peak();
        figures.residentSamples = sampler->samples();
    }
    figures.producerCpuS = (cpu1.user - cpu0.user) + (cpu1.sys - cpu0.sys);
    figures.ringFullChunks = fed.ringFullChunks;
    run.error = fed.error;
    addCpu(run, reaped.usage);
    run.ok = settleRendererLog(fed.ok, reaped.exitCode, outDir, run.error);
    return figures;
}

} // namespace vaskel::bench
