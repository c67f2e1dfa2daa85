// Counts the heap allocations of runCapture while it drains many chunks, to show that none
// happens per chunk:
//
//     vaskel_bench_alloc --streams N --chunks C --out DIR
//
// malloc, calloc, realloc and free are interposed for the whole process (operator new, the file
// streams and the C library all end up there), but only the capturing thread is counted; the
// producer feeds the rings from a second thread of this process. The capture's onChunk hook
// marks every consumed chunk, so allocations between the first and the last chunk are the
// drain's.
//
// Two captures run: one with a clock that never advances, which leaves out the periodic
// progress rewrite (the drain must then allocate nothing at all), and one with the real clock,
// whose drain allocations come only from the progress rewrites every 120 ms.
#include "bench_support.h"
#include "capture/capture_loop.h"
#include "producer/transport_producer.h"
#include "transport/transport_mapping.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <malloc.h>
#include <string>
#include <thread>
#include <unistd.h>

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* pointer, std::size_t size);
void __libc_free(void* pointer);
}

namespace {

struct Counters {
    std::uint64_t allocations = 0;
    std::int64_t liveBytes = 0;
    std::int64_t peakBytes = 0;
};

thread_local bool tCounting = false;
thread_local Counters tCounters;

void noteAllocation(void* pointer) {
    if (tCounting && pointer != nullptr) {
        ++tCounters.allocations;
        tCounters.liveBytes += static_cast<std::int64_t>(malloc_usable_size(pointer));
        tCounters.peakBytes = std::max(tCounters.peakBytes, tCounters.liveBytes);
    }
}

void noteRelease(void* pointer) {
    if (tCounting && pointer != nullptr) {
        tCounters.liveBytes -= static_cast<std::int64_t>(malloc_usable_size(pointer));
    }
}

} // namespace

extern "C" {

void* malloc(std::size_t size) {
    void* pointer = __libc_malloc(size);
    noteAllocation(pointer);
    return pointer;
}

void* calloc(std::size_t count, std::size_t size) {
    void* pointer = __libc_calloc(count, size);
    noteAllocation(pointer);
    return pointer;
}

void* realloc(void* pointer, std::size_t size) {
    noteRelease(pointer);
    void* moved = __libc_realloc(pointer, size);
    noteAllocation(moved);
    return moved;
}

void free(void* pointer) {
    noteRelease(pointer);
    __libc_free(pointer);
}

} // extern "C"

namespace {

namespace fs = std::filesystem;
using namespace vaskel;
using namespace vaskel::bench;

// The allocation count and the time at one consumed chunk.
struct Mark {
    std::uint64_t allocations = 0;
    std::int64_t ns = 0;

    static Mark now() { return {tCounters.allocations, nowNs()}; }
};

// Marks at the first and at the latest consumed chunk of the running capture.
struct Drain {
    std::uint64_t chunks = 0;
    Mark first;
    Mark last;
};
Drain gDrain;

void markChunk() {
    const Mark mark = Mark::now();
    if (gDrain.chunks++ == 0) {
        gDrain.first = mark;
    }
    gDrain.last = mark;
}

std::int64_t frozenClock() {
    return 0;
}

struct CaptureCount {
    bool ok = false;
    Counters total;
    Drain drain;
};

CaptureCount countCapture(const Workload& workload, const SourceAudio& audio,
                          const fs::path& outDir, bool realClock, const std::string& name) {
    CaptureCount count;
    producer::TransportProducer producer;
    transport::TransportConfig config{};
    config.streamCount = workload.streams;
    config.slotsPerStream = 32;
    config.framesPerChunk = workload.framesPerChunk;
    config.channelCount = workload.channels;
    config.sampleRate = workload.sampleRate;
    config.logicalEndFrame = workload.chunksPerStream * workload.framesPerChunk;
    transport::TransportMapping mapping;
    if (!producer.create(name, config) || !mapping.attach(name)) {
        return count;
    }
    std::thread feeder([&] {
        std::vector<std::uint64_t> published(workload.streams, 0);
        std::uint32_t open = workload.streams;
        while (open > 0 && producer.failureCode() == 0) {
            bool progress = false;
            for (std::uint32_t s = 0; s < workload.streams; ++s) {
                if (published[s] < workload.chunksPerStream &&
                    producer.tryPublish(s, audio.chunk(s), workload.framesPerChunk)) {
                    progress = true;
                    if (++published[s] == workload.chunksPerStream) {
                        producer.closeStream(s);
                        --open;
                    }
                }
            }
            if (!progress) {
                std::this_thread::yield();
            }
        }
    });

    CaptureEnvironment environment;
    environment.onChunk = &markChunk;
    if (!realClock) {
        environment.now = &frozenClock;
    }
    gDrain = {};
    tCounters = {};
    tCounting = true;
    const CaptureResult result = runCapture(mapping, outDir, 0, 20000, environment);
    tCounting = false;
    feeder.join();
    count.ok = result.success;
    count.total = tCounters;
    count.drain = gDrain;
    return count;
}

} // namespace

int main(int argc, char** argv) {
    Workload workload;
    workload.streams = 8;
    workload.chunksPerStream = 2000;
    fs::path out;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        if (flag == "--streams") {
            workload.streams = static_cast<std::uint32_t>(std::stoul(argv[i + 1]));
        } else if (flag == "--chunks") {
            workload.chunksPerStream = std::stoull(argv[i + 1]);
        } else if (flag == "--out") {
            out = argv[i + 1];
        } else {
            std::fprintf(stderr, "usage: vaskel_bench_alloc --streams N --chunks C --out DIR\n");
            return 2;
        }
    }
    if (out.empty()) {
        std::fprintf(stderr, "vaskel_bench_alloc: --out is required\n");
        return 2;
    }
    const SourceAudio audio(workload);
    bool ok = true;
    for (const bool realClock : {false, true}) {
        const std::string name =
            "vaskel-bench-alloc-" + std::to_string(::getpid()) + (realClock ? "-real" : "-frozen");
        const CaptureCount count = countCapture(workload, audio, out, realClock, name);
        std::error_code ignored;
        fs::remove_all(out, ignored);
        const Drain& drain = count.drain;
        const std::uint64_t drainAllocations = drain.last.allocations - drain.first.allocations;
        const double drainS = static_cast<double>(drain.last.ns - drain.first.ns) / 1e9;
        std::printf("mode=alloc clock=%s streams=%u chunks=%llu total_allocations=%llu "
                    "setup_allocations=%llu drain_allocations=%llu drain_s=%.3f "
                    "allocations_per_chunk=%.6f peak_heap_bytes=%lld ok=%d\n",
                    realClock ? "real" : "frozen", workload.streams,
                    static_cast<unsigned long long>(count.drain.chunks),
                    static_cast<unsigned long long>(count.total.allocations),
                    static_cast<unsigned long long>(drain.first.allocations),
                    static_cast<unsigned long long>(drainAllocations), drainS,
                    count.drain.chunks > 1 ? static_cast<double>(drainAllocations) /
                                                 static_cast<double>(count.drain.chunks - 1)
                                           : 0.0,
                    static_cast<long long>(count.total.peakBytes), count.ok ? 1 : 0);
        ok = ok && count.ok;
    }
    return ok ? 0 : 1;
}
