// The contenders of the throughput figures other than the renderer: a plain write() loop,
// libsndfile in-process, and one sox or ffmpeg process per stream behind a pipe.
#include "bench_runner.h"
#include "output/output_paths.h"
#include "output/wav_format.h"
#include "output/writeback_window.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#ifdef VASKEL_BENCH_HAVE_SNDFILE
#include <sndfile.h>
#endif

namespace vaskel::bench {

namespace fs = std::filesystem;

namespace {

// Where chunk `chunk` of `stream` comes from: the source itself, or, for a cold source, its own
// copy among `coldBytes` of copies (copies[c % perStream][stream]).
class ChunkSource {
public:
    ChunkSource(const Workload& workload, const SourceAudio& audio, std::uint64_t coldBytes)
        : audio_(audio), streams_(workload.streams), bytes_(workload.chunkBytes()),
          perStream_(std::max<std::uint64_t>(1, coldBytes / (bytes_ * streams_))) {
        if (coldBytes > 0) {
            pool_.resize(perStream_ * streams_ * bytes_);
            for (std::uint64_t k = 0; k < perStream_ * streams_; ++k) {
                std::memcpy(pool_.data() + k * bytes_, audio.chunk(k % streams_), bytes_);
            }
        }
    }
    const void* at(std::uint64_t chunk, std::uint32_t stream) const {
        if (pool_.empty()) {
            return audio_.chunk(stream);
        }
        return pool_.data() + ((chunk % perStream_) * streams_ + stream) * bytes_;
    }

private:
    const SourceAudio& audio_;
    std::uint64_t streams_;
    std::uint64_t bytes_;
    std::uint64_t perStream_;
    std::vector<std::byte> pool_;
};

// Where a run's wall and CPU time start from; the output directory is made first.
struct RunStart {
    Cpu cpu;
    std::int64_t ns = 0;
};

RunStart startRun(const fs::path& outDir) {
    fs::create_directories(outDir);
    return {threadCpu(), nowNs()};
}

void finishRun(RunFigures& figures, const RunStart& start, bool ok, const std::string& error) {
    figures.wallS = seconds(nowNs() - start.ns);
    addCpu(figures, start.cpu, threadCpu());
    figures.ok = ok;
    if (!ok) {
        figures.error = error;
    }
}

} // namespace

namespace {

// Writeback behind the write position of every stream file, as the renderer's writer does it,
// timed: what a writer pays for it on its own thread.
class WritebackBehind {
public:
    WritebackBehind(std::uint32_t streams, std::uint64_t windowBytes)
        : windows_(streams, WritebackWindow(windowBytes)), written_(streams, kWavHeaderSize) {}

    bool enabled() const { return !windows_.empty() && windows_[0].windowBytes() != 0; }

    // After `bytes` more were written to stream `s`, whose descriptor is `fd`.
    bool appended(std::uint32_t s, int fd, std::uint64_t bytes, RunFigures& figures) {
        written_[s] += bytes;
        const WritebackStep step = windows_[s].advance(written_[s]);
        return step.empty() || timed(fd, step, figures);
    }

    // At the finish, before any file is synced: starts the writeback of every file's tail.
    bool startTails(const std::vector<int>& fds, RunFigures& figures) {
        bool ok = true;
        for (std::size_t s = 0; s < fds.size() && ok; ++s) {
            ok = timed(fds[s], {windows_[s].tail(written_[s]), {}, {}}, figures);
        }
        return ok;
    }

    // After the sync: the written pages leave the cache (the header pages included).
    bool dropAll(const std::vector<int>& fds) const {
        bool ok = true;
        for (std::size_t s = 0; s < fds.size() && ok; ++s) {
            ok = !applyWritebackStep(fds[s], {{}, {}, {0, written_[s]}});
        }
        return ok;
    }

private:
    static bool timed(int fd, const WritebackStep& step, RunFigures& figures) {
        const std::int64_t t0 = nowNs();
        const bool ok = !applyWritebackStep(fd, step);
        const double took = seconds(nowNs() - t0);
        figures.writebackS += took;
        figures.writebackMaxS = std::max(figures.writebackMaxS, took);
        return ok;
    }

    std::vector<WritebackWindow> windows_;
    std::vector<std::uint64_t> written_;
};

} // namespace

RunFigures runPlainWriter(const Workload& workload, const SourceAudio& audio,
                          const fs::path& outDir, const PlainOptions& options) {
    RunFigures figures;
    const ChunkSource source(workload, audio, options.coldSourceBytes);
    const std::size_t bytes = workload.chunkBytes();
    WritebackBehind behind(workload.streams, options.writebackBytes);
    const RunStart start = startRun(outDir);
    std::vector<int> fds(workload.streams, -1);
    bool ok = openStreamFiles(workload, outDir, fds);
    const double chunkNs = 1e9 * workload.framesPerChunk / workload.sampleRate;
    std::uint64_t c = 0;
    while (c < workload.chunksPerStream && ok) {
        std::uint64_t due = workload.chunksPerStream;
        if (options.burstNs > 0) {
            sleepUntilNs(nowNs() + options.burstNs);
            const auto elapsed = static_cast<double>(nowNs() - start.ns);
            due = std::min(due, static_cast<std::uint64_t>(elapsed / chunkNs) + 1);
        }
        for (; c < due && ok; ++c) {
            for (std::uint32_t s = 0; s < workload.streams && ok; ++s) {
                ok = writeAll(fds[s], source.at(c, s), bytes) &&
                     (!behind.enabled() || behind.appended(s, fds[s], bytes, figures));
            }
        }
    }
    const std::int64_t finishing = nowNs();
    const auto final = headerFor(workload, workload.dataBytesPerStream());
    for (int fd : fds) {
        ok = ok && fd >= 0 &&
             ::pwrite(fd, final.data(), final.size(), 0) == static_cast<ssize_t>(final.size());
    }
    if (ok && options.sync) {
        ok = (!behind.enabled() || behind.startTails(fds, figures)) &&
             syncStreamFiles(fds, outDir) && (!behind.enabled() || behind.dropAll(fds));
        figures.syncS = seconds(nowNs() - finishing);
    }
    ok = closeAll(fds) && ok;
    finishRun(figures, start, ok, std::string("write failed: ") + std::strerror(errno));
    return figures;
}

RunFigures runDirectWriter(const Workload& workload, const SourceAudio& audio,
                           const fs::path& outDir) {
    RunFigures figures;
    constexpr std::size_t kBlock = std::size_t{1} << 20;
    void* block = nullptr;
    if (::posix_memalign(&block, 4096, kBlock) != 0) {
        figures.error = "no memory";
        return figures;
    }
    // The streams' chunks in turn, as much of them as one block holds.
    auto* bytes = static_cast<std::byte*>(block);
    for (std::size_t at = 0, k = 0; at < kBlock; at += workload.chunkBytes(), ++k) {
        std::memcpy(bytes + at, audio.chunk(static_cast<std::uint32_t>(k % workload.streams)),
                    std::min<std::size_t>(workload.chunkBytes(), kBlock - at));
    }
    const RunStart start = startRun(outDir);
    const int fd = ::open((outDir / "direct.bin").c_str(),
                          O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_DIRECT, 0644);
    bool ok = fd >= 0;
    const std::uint64_t total = workload.totalDataBytes();
    for (std::uint64_t written = 0; ok && written < total; written += kBlock) {
        ok = writeAll(fd, block, kBlock);
    }
    const std::int64_t finishing = nowNs();
    ok = ok && ::fdatasync(fd) == 0;
    figures.syncS = seconds(nowNs() - finishing);
    const int error = errno;
    if (fd >= 0) {
        ::close(fd);
    }
    std::free(block);
    finishRun(figures, start, ok, std::string("O_DIRECT write failed: ") + std::strerror(error));
    return figures;
}

bool sndfileAvailable() {
#ifdef VASKEL_BENCH_HAVE_SNDFILE
    return true;
#else
    return false;
#endif
}

#ifdef VASKEL_BENCH_HAVE_SNDFILE
RunFigures runSndfile(const Workload& workload, const SourceAudio& audio, const fs::path& outDir,
                      bool peakChunk) {
    RunFigures figures;
    const RunStart start = startRun(outDir);
    std::vector<SNDFILE*> files(workload.streams, nullptr);
    bool ok = true;
    for (std::uint32_t s = 0; s < workload.streams && ok; ++s) {
        SF_INFO info{};
        info.samplerate = static_cast<int>(workload.sampleRate);
        info.channels = static_cast<int>(workload.channels);
        info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
        files[s] = sf_open(streamFilePath(outDir, s).c_str(), SFM_WRITE, &info);
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
    finishRun(figures, start, ok, "libsndfile write failed");
    return figures;
}
#else
RunFigures runSndfile(const Workload&, const SourceAudio&, const fs::path&, bool) {
    RunFigures figures;
    figures.error = "built without libsndfile";
    return figures;
}
#endif

namespace {

// One tool process per stream and the pipe that feeds it.
struct Feed {
    pid_t pid = -1;
    int fd = -1;
    std::uint64_t chunksSent = 0;
    std::size_t offset = 0; // bytes of the current chunk already written
};

std::vector<std::string> pipeToolWords(PipeTool tool, const Workload& workload,
                                       const std::string& out) {
    const std::string rate = std::to_string(workload.sampleRate);
    const std::string channels = std::to_string(workload.channels);
    if (tool == PipeTool::Sox) {
        return {"sox", "-q",     "-t", "raw", "-r", rate,  "-e", "floating-point", "-b", "32",
                "-c",  channels, "-L", "-",   "-t", "wav", "-e", "floating-point", "-b", "32",
                out};
    }
    return {"ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error",  "-f",
            "f32le",  "-ar",      rate,           "-ac",       channels, "-i",
            "pipe:0", "-c:a",     "pcm_f32le",    "-y",        out};
}

bool startPipeTools(std::vector<Feed>& feeds, const Workload& workload, const fs::path& outDir,
                    PipeTool tool) {
    for (std::uint32_t s = 0; s < workload.streams; ++s) {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0) {
            return false;
        }
        const auto words = pipeToolWords(tool, workload, streamFilePath(outDir, s).string());
        feeds[s].pid =
            spawn(words, ends[0], "/dev/null", outDir / ("tool-" + std::to_string(s) + ".err"));
        ::close(ends[0]);
        feeds[s].fd = ends[1];
        ::fcntl(ends[1], F_SETFL, O_NONBLOCK);
        if (feeds[s].pid <= 0) {
            return false;
        }
    }
    return true;
}

// Writes what the pipe takes of the stream's chunks; closes it after the last one.
void topUp(Feed& feed, const char* chunk, std::size_t bytes, std::uint64_t chunks) {
    for (;;) {
        const ssize_t written = ::write(feed.fd, chunk + feed.offset, bytes - feed.offset);
        if (written <= 0) {
            return;
        }
        feed.offset += static_cast<std::size_t>(written);
        if (feed.offset == bytes) {
            feed.offset = 0;
            if (++feed.chunksSent == chunks) {
                ::close(feed.fd);
                feed.fd = -1;
                return;
            }
        }
    }
}

// Feeds whichever pipes have room, a chunk (or what is left of it) per write. An error text,
// empty when every chunk went out.
std::string feedPipes(std::vector<Feed>& feeds, const Workload& workload,
                      const SourceAudio& audio) {
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
        if (waiting.empty()) {
            return {};
        }
        if (::poll(waiting.data(), waiting.size(), 10000) <= 0) {
            return "pipe feeding stalled";
        }
        for (std::size_t k = 0; k < waiting.size(); ++k) {
            if ((waiting[k].revents & (POLLERR | POLLHUP)) != 0) {
                return "a tool closed its pipe early";
            }
            if (waiting[k].revents != 0) {
                topUp(feeds[streamOf[k]], reinterpret_cast<const char*>(audio.chunk(streamOf[k])),
                      workload.chunkBytes(), workload.chunksPerStream);
            }
        }
    }
}

} // namespace

RunFigures runPipes(const Workload& workload, const SourceAudio& audio, const fs::path& outDir,
                    PipeTool tool) {
    RunFigures figures;
    const RunStart start = startRun(outDir);
    std::vector<Feed> feeds(workload.streams);
    std::string error = "a tool failed";
    bool ok = startPipeTools(feeds, workload, outDir, tool);
    if (ok) {
        const std::string fed = feedPipes(feeds, workload, audio);
        ok = fed.empty();
        error = ok ? error : fed;
    }
    for (Feed& feed : feeds) {
        if (feed.fd >= 0) {
            ::close(feed.fd);
        }
    }
    // The tools' CPU times, reaped after every pipe is closed; the feeder's own is added last.
    for (Feed& feed : feeds) {
        if (feed.pid > 0) {
            const Reaped reaped = reap(feed.pid);
            addCpu(figures, reaped.usage);
            ok = ok && reaped.exitCode == 0;
        }
    }
    finishRun(figures, start, ok, error);
    return figures;
}

} // namespace vaskel::bench
