// The benchmark's own parts: its statistics, its /proc reading, and that every contender
// really writes the workload it is timed on (a contender that silently wrote less would look
// fast).
#include "bench_support.h"
#include "output/output_paths.h"
#include "output/wav_format.h"
#include "test_support.h"

#include <cmath>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

namespace vaskel::bench {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::ScratchDir;

bool onPath(const char* tool) {
    const char* path = std::getenv("PATH");
    std::string rest = path != nullptr ? path : "";
    while (!rest.empty()) {
        const std::size_t colon = rest.find(':');
        const fs::path candidate = fs::path(rest.substr(0, colon)) / tool;
        if (::access(candidate.c_str(), X_OK) == 0) {
            return true;
        }
        rest = colon == std::string::npos ? "" : rest.substr(colon + 1);
    }
    return false;
}

Workload smallWorkload(std::uint32_t streams, std::uint64_t chunks) {
    Workload workload;
    workload.streams = streams;
    workload.chunksPerStream = chunks;
    workload.framesPerChunk = 256;
    return workload;
}

TEST(BenchStatistics, NearestRankPercentiles) {
    std::vector<double> values;
    for (int v = 100; v >= 1; --v) { // unsorted on purpose
        values.push_back(v);
    }
    EXPECT_EQ(percentile(values, 50), 50);
    EXPECT_EQ(percentile(values, 99), 99);
    EXPECT_EQ(percentile(values, 99.9), 100);
    EXPECT_EQ(percentile(values, 100), 100);
    EXPECT_EQ(percentile(values, 0.5), 1);
    EXPECT_EQ(percentile({7}, 99.9), 7);
    EXPECT_EQ(percentile({}, 50), 0);
    // 1000 values: p99.9 is the 999th, not the largest.
    std::vector<double> thousand;
    for (int v = 1; v <= 1000; ++v) {
        thousand.push_back(v);
    }
    EXPECT_EQ(percentile(thousand, 99.9), 999);
}

TEST(BenchProcStatus, ReadsTheThreeResidentParts) {
    const std::string status = "Name:\tvaskel_renderer\nVmRSS:\t    4184 kB\n"
                               "RssAnon:\t     864 kB\nRssFile:\t    3320 kB\n"
                               "RssShmem:\t   61976 kB\nVmData:\t  1200 kB\n";
    const auto resident = parseProcStatus(status);
    ASSERT_TRUE(resident.has_value());
    EXPECT_EQ(resident->anon, 864u);
    EXPECT_EQ(resident->file, 3320u);
    EXPECT_EQ(resident->shmem, 61976u);
    // A zombie's status has no resident lines: no sample rather than a zero sample.
    EXPECT_FALSE(parseProcStatus("Name:\tx\nState:\tZ (zombie)\n").has_value());
    EXPECT_FALSE(parseProcStatus("RssAnon:\t1 kB\nRssFile:\t2 kB\n").has_value());
}

TEST(BenchWorkload, SourceAudioIsDistinctPerStreamAndNeverClips) {
    const Workload workload = smallWorkload(3, 1);
    const SourceAudio audio(workload);
    const std::size_t bytes = workload.chunkBytes();
    EXPECT_NE(std::memcmp(audio.chunk(0), audio.chunk(1), bytes), 0);
    EXPECT_NE(std::memcmp(audio.chunk(1), audio.chunk(2), bytes), 0);
    // sox converts through integers and would clip (change) samples outside [-1, 1).
    for (std::uint32_t s = 0; s < workload.streams; ++s) {
        for (std::size_t i = 0; i < workload.framesPerChunk * workload.channels; ++i) {
            ASSERT_TRUE(std::isfinite(audio.chunk(s)[i]));
            ASSERT_LT(std::fabs(audio.chunk(s)[i]), 1.0f);
        }
    }
    EXPECT_EQ(workload.totalDataBytes(), 3u * 256 * 2 * 4);
    EXPECT_DOUBLE_EQ(smallWorkload(1, 375).audioSeconds(), 2.0);
}

TEST(BenchContenders, PlainWriterProducesTheRenderersFilesAndTheCheckSeesADifference) {
    ScratchDir dir("bench-plain");
    const Workload workload = smallWorkload(2, 3);
    const SourceAudio audio(workload);
    const RunFigures run = runPlainWriter(workload, audio, dir.path());
    ASSERT_TRUE(run.ok) << run.error;
    const fs::path file = dir / "stream-1.wav";
    EXPECT_TRUE(holdsExpectedWav(dir / "stream-0.wav", workload, audio, 0));
    EXPECT_TRUE(holdsExpectedWav(file, workload, audio, 1));
    EXPECT_FALSE(holdsExpectedWav(file, workload, audio, 0)); // another stream's samples

    // From a pool of copies (3 per stream here) the files must come out the same.
    const RunFigures cold = runPlainWriter(workload, audio, dir / "cold", {3 * 2 * 2048, false});
    ASSERT_TRUE(cold.ok) << cold.error;
    EXPECT_TRUE(holdsExpectedWav(dir / "cold" / "stream-0.wav", workload, audio, 0));
    EXPECT_TRUE(holdsExpectedWav(dir / "cold" / "stream-1.wav", workload, audio, 1));

    // Written back behind in windows of two chunks, synced, dropped from the cache: the same.
    const Workload longer = smallWorkload(2, 40);
    const SourceAudio longerAudio(longer);
    PlainOptions behind;
    behind.sync = true;
    behind.writebackBytes = 4096;
    const RunFigures written = runPlainWriter(longer, longerAudio, dir / "behind", behind);
    ASSERT_TRUE(written.ok) << written.error;
    EXPECT_TRUE(holdsExpectedWav(dir / "behind" / "stream-0.wav", longer, longerAudio, 0));
    EXPECT_TRUE(holdsExpectedWav(dir / "behind" / "stream-1.wav", longer, longerAudio, 1));

    std::string bytes = readFile(file);
    bytes[bytes.size() - 5] ^= 1;
    testing::writeFile(file, bytes);
    EXPECT_FALSE(holdsExpectedWav(file, workload, audio, 1));
    testing::writeFile(file, readFile(dir / "stream-0.wav").substr(0, bytes.size() - 4));
    EXPECT_FALSE(holdsExpectedWav(file, workload, audio, 0));
}

TEST(BenchContenders, RendererRunDeliversEveryChunkAtFullSpeedAndPaced) {
    ScratchDir dir("bench-renderer");
    const Workload workload = smallWorkload(3, 20);
    const SourceAudio audio(workload);
    RendererOptions options;
    options.renderer = testing::rendererPath();
    options.slotsPerStream = 4; // fewer slots than chunks: the producer must wait for the rings
    for (const double pace : {0.0, 10.0}) {
        options.pace = pace;
        const RendererFigures figures = runRenderer(workload, audio, dir / "out", options);
        ASSERT_TRUE(figures.run.ok) << figures.run.error;
        // Ten times real time, one chunk ahead: the last of 20 chunks of 256 frames at 48 kHz
        // is due no earlier than 18 chunks' time, 96 ms, over ten.
        EXPECT_GE(figures.run.wallS, pace > 0 ? 0.0096 : 1e-9);
        for (std::uint32_t s = 0; s < workload.streams; ++s) {
            EXPECT_TRUE(holdsExpectedWav(streamFilePath(dir / "out", s), workload, audio, s));
        }
        fs::remove_all(dir / "out");
    }
}

TEST(BenchContenders, RendererRunSamplesTheRenderersOwnResidentSet) {
    ScratchDir dir("bench-resident");
    const Workload workload = [] {
        Workload w;
        w.streams = 3;
        w.chunksPerStream = 300;
        return w;
    }();
    const SourceAudio audio(workload);
    RendererOptions options;
    options.renderer = testing::rendererPath();
    options.sampleResident = true;
    const RendererFigures figures = runRenderer(workload, audio, dir / "out", options);
    ASSERT_TRUE(figures.run.ok) << figures.run.error;
    ASSERT_GT(figures.residentSamples, 0u);
    // A running program has a heap and mapped code; the region is counted apart.
    EXPECT_GT(figures.peakResident.anon, 0u);
    EXPECT_GT(figures.peakResident.file, 0u);
}

TEST(BenchContenders, WriteLatencyFloorTimesEveryWriteIntoFullFiles) {
    ScratchDir dir("bench-write-latency");
    const Workload workload = smallWorkload(2, 1);
    const SourceAudio audio(workload);
    LatencyOptions options;
    options.samples = 20;
    options.warmup = 3;
    options.spacingNs = 50000;
    const LatencyFigures figures = runWriteLatency(workload, audio, dir.path(), options);
    ASSERT_TRUE(figures.ok) << figures.error;
    EXPECT_EQ(figures.latencyNs.size(), 20u);
    // 23 chunks alternately into 2 files behind their placeholder headers.
    EXPECT_EQ(fs::file_size(dir / "stream-0.wav"), kWavHeaderSize + 12u * 256 * 8);
    EXPECT_EQ(fs::file_size(dir / "stream-1.wav"), kWavHeaderSize + 11u * 256 * 8);
}

TEST(BenchContenders, LatencyProbeTimesEveryChunkAndTheRendererCompletes) {
    ScratchDir dir("bench-latency");
    const Workload workload = smallWorkload(2, 1);
    const SourceAudio audio(workload);
    LatencyOptions options;
    options.renderer = testing::rendererPath();
    options.samples = 30;
    options.warmup = 3;
    options.spacingNs = 100000;
    const LatencyFigures figures = runLatency(workload, audio, dir / "out", options);
    ASSERT_TRUE(figures.ok) << figures.error;
    ASSERT_EQ(figures.latencyNs.size(), 30u);
    for (double latency : figures.latencyNs) {
        EXPECT_GT(latency, 0);
    }
    // 33 chunks alternately into 2 streams: 17 and 16 chunks of 256 frames.
    EXPECT_EQ(fs::file_size(dir / "out" / "stream-0.wav"), kWavHeaderSize + 17u * 256 * 8);
    EXPECT_EQ(fs::file_size(dir / "out" / "stream-1.wav"), kWavHeaderSize + 16u * 256 * 8);
}

TEST(BenchContenders, SndfileAndPipedToolsWriteAllTheSamples) {
    ScratchDir dir("bench-tools");
    const Workload workload = smallWorkload(2, 9);
    const SourceAudio audio(workload);
    const std::uint64_t data = workload.dataBytesPerStream();
    if (sndfileAvailable()) {
        for (const bool peak : {true, false}) {
            const RunFigures run = runSndfile(workload, audio, dir / "sndfile", peak);
            ASSERT_TRUE(run.ok) << run.error;
            // Its header is longer than 44 bytes (fact and maybe PEAK chunks), never shorter.
            EXPECT_GE(fs::file_size(dir / "sndfile" / "stream-1.wav"), data + kWavHeaderSize);
        }
    }
    for (const PipeTool tool : {PipeTool::Sox, PipeTool::Ffmpeg}) {
        if (!onPath(tool == PipeTool::Sox ? "sox" : "ffmpeg")) {
            continue;
        }
        const fs::path out = dir / (tool == PipeTool::Sox ? "sox" : "ffmpeg");
        const RunFigures run = runPipes(workload, audio, out, tool);
        ASSERT_TRUE(run.ok) << run.error;
        EXPECT_GT(run.cpuUserS + run.cpuSysS, 0); // the children's CPU time is collected
        for (std::uint32_t s = 0; s < workload.streams; ++s) {
            const std::uintmax_t size = fs::file_size(streamFilePath(out, s));
            EXPECT_GE(size, data + kWavHeaderSize);
            EXPECT_LT(size, data + 4096);
        }
    }
}

} // namespace
} // namespace vaskel::bench
