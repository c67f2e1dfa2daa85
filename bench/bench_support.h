// The pieces of the benchmark: one workload written by every contender (the renderer fed by a
// producer process, a plain write() loop, libsndfile in-process, one sox or ffmpeg process per
// stream behind a pipe), the latency probe, and the small statistics and /proc helpers they share.
// Defined one figure family a file: bench_throughput, bench_latency, bench_realtime (feeding the
// renderer, at full speed or paced), bench_resources, over the shared bench_runner.
// Linux only: processes are started with posix_spawn and reaped with wait4 for their CPU times.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vaskel::bench {

// What every contender writes: `streams` WAV files of interleaved 32-bit floats, each receiving
// `chunksPerStream` chunks of `framesPerChunk` frames, one chunk per stream in turn.
struct Workload {
    std::uint32_t streams = 1;
    std::uint64_t chunksPerStream = 1;
    std::uint32_t framesPerChunk = 2048;
    std::uint32_t channels = 2;
    std::uint32_t sampleRate = 48000;

    std::uint64_t chunkBytes() const { return std::uint64_t{framesPerChunk} * channels * 4; }
    std::uint64_t dataBytesPerStream() const { return chunkBytes() * chunksPerStream; }
    std::uint64_t totalDataBytes() const { return dataBytesPerStream() * streams; }
    // Length of the multi-stream render in seconds: every stream covers the same time span.
    double audioSeconds() const {
        return static_cast<double>(chunksPerStream) * framesPerChunk / sampleRate;
    }
};

// The samples: one chunk per stream, different for every stream, repeated for every chunk so
// that producing audio costs nothing and every contender writes exactly the same bytes.
class SourceAudio {
public:
    explicit SourceAudio(const Workload& workload);
    const float* chunk(std::uint32_t stream) const { return chunks_[stream].data(); }

private:
    std::vector<std::vector<float>> chunks_;
};

// CLOCK_MONOTONIC in nanoseconds.
std::int64_t nowNs();

// --- statistics ----------------------------------------------------------------------------

// Nearest-rank percentile (p in (0, 100]) of `values`; sorts a copy. 0 for no values.
double percentile(std::vector<double> values, double p);

// --- /proc -----------------------------------------------------------------------------------

// Resident set of a process split as the kernel reports it, in KiB.
struct ResidentKb {
    std::uint64_t anon = 0;  // heap, stacks, private data
    std::uint64_t file = 0;  // mapped executables and libraries
    std::uint64_t shmem = 0; // shared memory: the transport region
};

// Parses the RssAnon, RssFile and RssShmem lines of /proc/<pid>/status; nothing when one is
// missing.
std::optional<ResidentKb> parseProcStatus(std::string_view text);

// --- contenders ------------------------------------------------------------------------------

// Wall time and the CPU time of every process that did the work.
struct RunFigures {
    double wallS = 0;
    double cpuUserS = 0;
    double cpuSysS = 0;
    bool ok = false;
    std::string error;
    // Writers that sync: how long the finish took, from the last write to the end (header
    // rewrites, starting the tails' writeback, fdatasync, dropping the written pages).
    double syncS = 0;
    // Writers with writeback behind: time spent in its calls in all, and in the longest step.
    double writebackS = 0;
    double writebackMaxS = 0;
};

// One thread, write() of the placeholder header, then of every chunk straight from the source,
// pwrite() of the final header: the fewest system calls that produce the renderer's files.
// With `coldSourceBytes` the chunks are taken in turn from that many bytes of copies of the
// source, so that, like the renderer's slots, they are no longer in this core's cache.
struct PlainOptions {
    std::uint64_t coldSourceBytes = 0;
    // fdatasync every file and then the directory before the end, as the renderer does before
    // it reports a capture complete.
    bool sync = false;
    // Real time: sleeps this long at a time and then writes every chunk that has come due, one
    // ahead, as a writer woken by a timer would; 0 writes everything at once.
    std::int64_t burstNs = 0;
    // Writeback behind the write position (output/writeback_window.h) with this window per
    // file; 0: none. With `sync`, the files' pages are dropped from the cache after the sync.
    std::uint64_t writebackBytes = 0;
};
RunFigures runPlainWriter(const Workload& workload, const SourceAudio& audio,
                          const std::filesystem::path& outDir, const PlainOptions& options = {});

// The disk's own limit for the same bytes: one file written with O_DIRECT in 1 MiB writes from
// one aligned buffer, then fdatasync. Fails where the file system refuses O_DIRECT (tmpfs).
RunFigures runDirectWriter(const Workload& workload, const SourceAudio& audio,
                           const std::filesystem::path& outDir);

// Bytes of the files directly in `dir` held in the page cache (mincore), as fincore counts them.
std::uint64_t pageCachedBytes(const std::filesystem::path& dir);

// Busy CPU seconds of the whole machine since boot (/proc/stat, all but idle and iowait): the
// kernel's writeback threads show only here.
double machineBusySeconds();

// In-process libsndfile, float WAV, sf_writef_float per chunk. `peakChunk` keeps the PEAK chunk
// (libsndfile's default for float files, which scans every sample).
RunFigures runSndfile(const Workload& workload, const SourceAudio& audio,
                      const std::filesystem::path& outDir, bool peakChunk);
bool sndfileAvailable();

enum class PipeTool { Sox, Ffmpeg };

// One `tool` process per stream reading raw float32 from a pipe and writing the stream's WAV
// file; one feeder thread writes the chunks into whichever pipes have room. CPU times include
// every child.
RunFigures runPipes(const Workload& workload, const SourceAudio& audio,
                    const std::filesystem::path& outDir, PipeTool tool);

struct RendererOptions {
    std::filesystem::path renderer;
    // Command words put in front of the renderer, e.g. valgrind and its options.
    std::vector<std::string> wrapper;
    std::uint32_t slotsPerStream = 32;
    // Poll the renderer's /proc status every millisecond for its peak resident set.
    bool sampleResident = false;
    // Touch every page of the region before the renderer starts, as a producer that has been
    // running for a while has; otherwise the first use of each slot pays for a fresh zeroed
    // page during the timed run.
    bool warmRegion = true;
    // 0: publish as fast as the rings take chunks; otherwise this many times real time.
    double pace = 0;
};

struct RendererFigures {
    RunFigures run;          // wall: renderer start to renderer exit; CPU: the renderer's
    double producerCpuS = 0; // this process's CPU time while it fed the renderer
    ResidentKb peakResident; // peak of anon + file, with the shmem of that sample
    std::uint64_t residentSamples = 0;
    std::uint64_t ringFullChunks = 0; // paced runs: chunks that were due while the ring was full
    std::uint64_t maxOccupancy = 0;   // the fullest any ring was, in slots
    double tailS = 0;                 // from every ring drained to the renderer's exit
};

// Creates the region, starts the renderer on it, publishes every chunk as fast as the rings
// take them, closes the streams and waits for the renderer to exit.
RendererFigures runRenderer(const Workload& workload, const SourceAudio& audio,
                            const std::filesystem::path& outDir, const RendererOptions& options);

struct LatencyOptions {
    std::filesystem::path renderer;
    std::vector<std::string> wrapper; // e.g. chrt, to run the renderer at another priority
    std::uint64_t samples = 10000;
    std::uint64_t warmup = 200;
    std::int64_t spacingNs = 500000;
    // Stop after this long, however many samples were taken (0: never). A renderer that sleeps
    // between the chunks of a paced producer makes each sample last up to one of its sleeps.
    std::int64_t maxNs = 0;
};

struct LatencyFigures {
    std::vector<double> latencyNs; // one per measured chunk
    bool ok = false;
    std::string error;
};

// With the renderer idle, publishes one chunk at a time (to the streams in turn), spaced
// `spacingNs` apart, and times each from the release store of writeIndex to the moment the
// producer sees the renderer's readIndex store.
LatencyFigures runLatency(const Workload& workload, const SourceAudio& audio,
                          const std::filesystem::path& outDir, const LatencyOptions& options);

// The floor under that latency: one thread write()s single chunks into fresh files spaced the
// same way, and each write call is timed.
LatencyFigures runWriteLatency(const Workload& workload, const SourceAudio& audio,
                               const std::filesystem::path& outDir, const LatencyOptions& options);

// True when `path` holds exactly the renderer's file for `stream`: the 44-byte header with the
// final sizes followed by the stream's chunks.
bool holdsExpectedWav(const std::filesystem::path& path, const Workload& workload,
                      const SourceAudio& audio, std::uint32_t stream);

} // namespace vaskel::bench
