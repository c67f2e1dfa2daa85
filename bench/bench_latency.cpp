// The latency figures: how long one chunk waits for an idle renderer, and the write() under it.
#include "bench_runner.h"
#include "producer/transport_producer.h"

#include <cerrno>
#include <cstring>
#include <limits>
#include <unistd.h>

namespace vaskel::bench {

namespace fs = std::filesystem;
using namespace vaskel::transport;

namespace {

constexpr std::int64_t kForever = std::numeric_limits<std::int64_t>::max() / 4;

// Commits the staged chunk `n` and spins until the renderer has taken it: the latency in ns,
// or a negative value when the renderer did not take it within 20 s.
double commitAndTime(RingWriter& writer, std::uint64_t n) {
    const std::int64_t released = nowNs();
    writer.commit();
    std::uint64_t spins = 0;
    while (writer.readIndex() != n + 1) {
        __builtin_ia32_pause();
        // The first chunk waits for the renderer to start; later ones should not wait long.
        if (++spins % 65536 == 0 && nowNs() - released > 20000000000) {
            return -1;
        }
    }
    return static_cast<double>(nowNs() - released);
}

} // namespace

LatencyFigures runLatency(const Workload& workload, const SourceAudio& audio,
                          const fs::path& outDir, const LatencyOptions& options) {
    LatencyFigures figures;
    producer::TransportProducer producer;
    const std::string name = uniqueRegionName();
    if (!producer.create(name, configFor(workload, 8, false))) {
        figures.error = "cannot create the region";
        return figures;
    }
    const pid_t pid =
        startRenderer(options.wrapper, options.renderer, name, outDir, "60000", "20000");
    if (pid <= 0) {
        figures.error = "cannot start the renderer";
        return figures;
    }
    // Each chunk is staged first and committed after the clock read, so the figure runs from
    // the release store of writeIndex, not from the payload copy. The ring is drained before
    // each chunk, so staging always finds room.
    // The warm-up gets at most `maxNs`, the samples at most `maxNs` more from its end.
    const std::int64_t limit = options.maxNs > 0 ? options.maxNs : kForever;
    figures.latencyNs.reserve(options.samples);
    std::int64_t next = nowNs();
    std::int64_t end = next + limit;
    bool warming = options.warmup > 0;
    for (std::uint64_t k = 0; figures.latencyNs.size() < options.samples && figures.error.empty();
         ++k) {
        if (warming && (k >= options.warmup || nowNs() >= end)) {
            warming = false;
            end = nowNs() + limit;
        }
        if (!warming && nowNs() >= end) {
            break;
        }
        const auto s = static_cast<std::uint32_t>(k % workload.streams);
        RingWriter& writer = producer.writer(s);
        const std::uint64_t n = writer.writeIndex();
        if (!writer.stage(writer.nextHeader(workload.framesPerChunk), audio.chunk(s),
                          workload.chunkBytes())) {
            figures.error = "the ring was not drained";
            break;
        }
        next += options.spacingNs;
        sleepUntilNs(next);
        const double latency = commitAndTime(writer, n);
        if (latency < 0) {
            figures.error = "the renderer did not consume a chunk within 20 s";
        } else if (!warming) {
            figures.latencyNs.push_back(latency);
        } else {
            next = nowNs(); // the start-up wait must not make the following chunks late
        }
    }
    for (std::uint32_t s = 0; s < workload.streams; ++s) {
        producer.closeStream(s);
    }
    const Reaped reaped = reap(pid);
    figures.ok = settleRendererLog(figures.error.empty(), reaped.exitCode, outDir, figures.error);
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
        sleepUntilNs(next);
        const std::int64_t before = nowNs();
        ok = writeAll(fds[s], audio.chunk(s), workload.chunkBytes());
        const std::int64_t after = nowNs();
        if (k >= options.warmup) {
            figures.latencyNs.push_back(static_cast<double>(after - before));
        }
    }
    const int writeError = errno;
    closeAll(fds);
    figures.ok = ok;
    if (!ok) {
        figures.error = std::string("write failed: ") + std::strerror(writeError);
    }
    return figures;
}

} // namespace vaskel::bench
