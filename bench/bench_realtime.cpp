// Feeding the renderer's rings: as fast as they take chunks (the throughput figures) or at a
// pace, as a real-time producer does (the real-time figures, which count the chunks that were
// due while their ring was full).
#include "bench_runner.h"
#include "producer/transport_producer.h"

#include <sched.h>
#include <vector>

namespace vaskel::bench {

namespace {

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

// The pace of a feed: which chunks are due, and how to wait when none could be published.
class Pace {
public:
    Pace(double pace, const Workload& workload) : pace_(pace), workload_(workload) {}

    // Chunks per stream that may have been published by now: real time times the pace, one
    // chunk ahead so the renderer never waits on a chunk that is due (vaskel_producer's rule).
    std::uint64_t dueChunks() const {
        if (pace_ <= 0) {
            return workload_.chunksPerStream;
        }
        const double frames =
            seconds(nowNs() - start_) * pace_ * workload_.sampleRate + workload_.framesPerChunk;
        return static_cast<std::uint64_t>(frames) / workload_.framesPerChunk + 1;
    }
    bool paced() const { return pace_ > 0; }
    void reset() { backoff_.reset(); }
    // A paced producer sleeps a millisecond, as vaskel_producer does; true every second or so
    // of waiting, when the caller should see whether the renderer is still there.
    bool wait() {
        if (paced()) {
            sleepUntilNs(nowNs() + 1000000);
            return ++sleeps_ % 1024 == 0;
        }
        backoff_.wait();
        return backoff_.rounds() % 1024 == 0;
    }

private:
    double pace_;
    const Workload& workload_;
    std::int64_t start_ = nowNs();
    Backoff backoff_;
    std::uint64_t sleeps_ = 0;
};

} // namespace

Fed feedRenderer(producer::TransportProducer& producer, const Workload& workload,
                 const SourceAudio& audio, double pace, pid_t renderer) {
    Fed fed;
    std::vector<std::uint64_t> published(workload.streams, 0);
    std::vector<bool> refused(workload.streams, false); // the due chunk found its ring full
    std::uint32_t open = workload.streams;
    Pace clock(pace, workload);
    while (open > 0) {
        const std::uint64_t due = std::min(clock.dueChunks(), workload.chunksPerStream);
        bool progress = false;
        for (std::uint32_t s = 0; s < workload.streams; ++s) {
            if (published[s] >= due) {
                continue;
            }
            if (!producer.tryPublish(s, audio.chunk(s), workload.framesPerChunk)) {
                fed.ringFullChunks += clock.paced() && !refused[s] ? 1 : 0;
                refused[s] = true;
                continue;
            }
            refused[s] = false;
            progress = true;
            if (++published[s] == workload.chunksPerStream) {
                producer.closeStream(s);
                --open;
            }
        }
        if (progress) {
            clock.reset();
        } else if (clock.wait() && (producer.failureCode() != 0 || hasExited(renderer))) {
            fed.ok = false;
            fed.error = "the renderer stopped before every chunk was published";
            break;
        }
    }
    return fed;
}

} // namespace vaskel::bench
