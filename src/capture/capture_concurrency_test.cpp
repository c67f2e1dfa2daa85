// The capture against producer threads that run at their own pace: many short captures with
// random shapes, random chunk sizes, random pacing on both sides and random close times, each
// output checked byte for byte. Built with ThreadSanitizer by a stage script, which also runs the
// soak for longer:
//   VASKEL_RACE_ROUNDS   captures of the race test (default 24)
//   VASKEL_SOAK_SECONDS  length of the soak (default 2)
//   VASKEL_SEED          seed of the random plans (default: a fresh one, printed)
#include "capture/capture_loop.h"
#include "output/output_paths.h"
#include "reliability_support.h"
#include "transport/ring_writer.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <thread>

namespace vaskel {
namespace {

using namespace transport;
using producer::TransportProducer;
using testing::expectedStreamFile;
using testing::makeConfig;
using testing::readFile;
using testing::ScratchDir;

std::uint64_t environmentNumber(const char* name, std::uint64_t fallback) {
    const char* text = std::getenv(name);
    return text != nullptr && *text != '\0' ? std::strtoull(text, nullptr, 10) : fallback;
}

std::uint64_t seedOf(const char* test) {
    const std::uint64_t seed = environmentNumber("VASKEL_SEED", std::random_device{}());
    std::printf("%s: VASKEL_SEED=%llu\n", test, static_cast<unsigned long long>(seed));
    return seed;
}

enum class Fault { None, ProducerFailure, StreamAborted };

// One capture: the region's shape, what each stream carries, and how both sides are paced.
struct Plan {
    TransportConfig config{};
    std::vector<std::uint64_t> frames; // per stream; the stream is closed after them
    std::uint32_t delayUs = 0;
    std::uint32_t threads = 1;
    Fault fault = Fault::None;
    std::uint64_t faultAfterChunks = 0; // published chunks, over all streams
    std::uint64_t seed = 0;
};

struct Scale {
    std::uint32_t maxStreams;
    std::uint32_t maxChunksPerStream;
    bool manyStreamsSometimes;
};

std::string describe(const Plan& plan) {
    const TransportConfig& c = plan.config;
    std::string text =
        "streams " + std::to_string(c.streamCount) + ", slots " + std::to_string(c.slotsPerStream) +
        ", framesPerChunk " + std::to_string(c.framesPerChunk) + ", channels " +
        std::to_string(c.channelCount) + ", start " + std::to_string(c.logicalStartFrame) +
        ", end " + std::to_string(c.logicalEndFrame) + ", delayUs " + std::to_string(plan.delayUs) +
        ", threads " + std::to_string(plan.threads) + ", fault " +
        std::to_string(static_cast<int>(plan.fault)) + ", frames";
    for (const std::uint64_t f : plan.frames) {
        // Two appends, not " " + to_string(f): g++ 12 at -O3 sees a false overlap in the
        // inlined insert of that temporary (-Wrestrict).
        text += ' ';
        text += std::to_string(f);
    }
    return text;
}

Plan randomPlan(std::mt19937_64& random, const Scale& scale, bool faults) {
    const auto below = [&](std::uint64_t n) { return n == 0 ? 0 : random() % n; };
    Plan plan;
    plan.seed = random();
    std::uint32_t streams = 1 + static_cast<std::uint32_t>(below(scale.maxStreams));
    std::uint32_t slots = 1 + static_cast<std::uint32_t>(below(8));
    std::uint64_t maxChunks = scale.maxChunksPerStream;
    if (scale.manyStreamsSometimes && below(10) == 0) {
        streams = below(2) == 0 ? 64 : 128;
        slots = 1 + static_cast<std::uint32_t>(below(3));
        maxChunks = 6;
    } else if (below(6) == 0) {
        slots = 64;
    }
    // Small chunks most of the time, full ones sometimes.
    const std::uint32_t framesPerChunk =
        below(4) == 0 ? 2048 : 1 + static_cast<std::uint32_t>(below(below(3) == 0 ? 2048 : 64));
    const std::uint32_t channels = 1 + static_cast<std::uint32_t>(below(2));
    const std::uint32_t rate = 8000 + static_cast<std::uint32_t>(below(184000));

    plan.frames.resize(streams);
    const auto streamFrames = [&] {
        // A stream may close at once, after a few chunks, or after many.
        const std::uint64_t chunks = below(5) == 0 ? 0 : below(maxChunks + 1);
        return chunks * framesPerChunk - below(framesPerChunk) * (chunks > 0 ? 1 : 0);
    };
    std::uint64_t start = 0;
    std::uint64_t end = 0;
    if (below(3) == 0) {
        // A declared range: every stream carries exactly its span.
        start = below(2) == 0 ? 0 : below(std::uint64_t{1} << 40);
        const std::uint64_t span = streamFrames();
        end = start + span;
        if (end == 0) {
            start = 0; // 0..0 is "no end"; keep it so
        }
        std::fill(plan.frames.begin(), plan.frames.end(), span);
    } else {
        for (std::uint64_t& f : plan.frames) {
            f = streamFrames();
        }
    }
    plan.config = makeConfig(streams, slots, framesPerChunk, channels, rate, start, end);

    const std::uint64_t pacing = below(10);
    plan.delayUs = pacing < 5 ? 0 : pacing < 9 ? 1 + static_cast<std::uint32_t>(below(40)) : 1000;
    std::uint64_t totalChunks = 0;
    for (const std::uint64_t f : plan.frames) {
        totalChunks += (f + framesPerChunk - 1) / framesPerChunk;
    }
    if (plan.delayUs >= 1000 && totalChunks > 100) {
        plan.delayUs = 20;
    }
    plan.threads = 1 + static_cast<std::uint32_t>(below(std::min<std::uint32_t>(streams, 3)));
    if (faults && totalChunks > 0 && below(4) == 0) {
        plan.fault = below(2) == 0 ? Fault::ProducerFailure : Fault::StreamAborted;
        plan.faultAfterChunks = below(totalChunks + 1);
    }
    return plan;
}

// The producer threads' pause after a chunk: mostly none, sometimes a yield or a short spin,
// now and then a real sleep.
void producerPause(std::mt19937_64& random) {
    const std::uint64_t pick = random() % 100;
    if (pick < 60) {
        return;
    }
    if (pick < 80) {
        std::this_thread::yield();
    } else if (pick < 98) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(pick % 20);
        while (std::chrono::steady_clock::now() < until) {
        }
    } else {
        std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
}

// The producer side writes through the renderer's own view. The region's owner maps a second
// view of the same memory, and ThreadSanitizer tells memory apart by address: only when both
// sides use one view can it pair every slot write with its read and every index store with its
// load. The region itself is still made by the library; its ring writers work over any view.
std::vector<RingWriter> writersOver(std::byte* view, const TransportConfig& config) {
    std::vector<RingWriter> writers;
    for (std::uint32_t s = 0; s < config.streamCount; ++s) {
        writers.emplace_back(view, config, s);
    }
    return writers;
}

struct PlanReport {
    std::uint64_t bytesVerified = 0;
    std::uint64_t chunks = 0;
    std::uint64_t maxOccupancy = 0; // the highest of all streams
};

// Runs one plan: producer threads feed the region while the capture drains it on this thread.
PlanReport runPlan(const Plan& plan) {
    SCOPED_TRACE(describe(plan));
    PlanReport report;
    const TransportConfig& config = plan.config;
    TransportProducer producer;
    const platform::NativeString name = testing::uniqueRegionName("race");
    EXPECT_TRUE(producer.create(name, config));
    TransportMapping mapping;
    EXPECT_TRUE(mapping.attach(name));
    if (!mapping.attached()) {
        return report;
    }
    ScratchDir out("race");
    std::vector<RingWriter> feed = writersOver(mapping.view(), config);

    std::atomic<bool> stop{false};
    std::atomic<std::uint64_t> published{0};
    std::vector<std::thread> threads;
    for (std::uint32_t t = 0; t < plan.threads; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937_64 random(plan.seed + t);
            std::vector<std::uint32_t> mine;
            for (std::uint32_t s = t; s < config.streamCount; s += plan.threads) {
                mine.push_back(s);
            }
            std::vector<std::uint64_t> left;
            for (const std::uint32_t s : mine) {
                left.push_back(plan.frames[s]);
            }
            // Round robin over this thread's streams, one chunk each, until all are done.
            for (bool busy = true; busy && !stop.load();) {
                busy = false;
                for (std::size_t k = 0; k < mine.size() && !stop.load(); ++k) {
                    const std::uint32_t s = mine[k];
                    if (left[k] == 0) {
                        continue;
                    }
                    busy = true;
                    const auto frames = static_cast<std::uint32_t>(
                        std::min<std::uint64_t>(left[k], 1 + random() % config.framesPerChunk));
                    if (!testing::publishPattern(feed[s], s, config.channelCount, frames)) {
                        std::this_thread::yield();
                        continue;
                    }
                    left[k] -= frames;
                    published.fetch_add(1);
                    // A faulty run never closes its streams: only the fault can end it.
                    if (left[k] == 0 && plan.fault == Fault::None) {
                        feed[s].close();
                    }
                    producerPause(random);
                }
            }
            if (plan.fault == Fault::None) {
                for (const std::uint32_t s : mine) {
                    feed[s].close();
                }
            }
        });
    }
    if (plan.fault != Fault::None) {
        threads.emplace_back([&] {
            while (published.load() < plan.faultAfterChunks && !stop.load()) {
                std::this_thread::yield();
            }
            if (plan.fault == Fault::ProducerFailure) {
                publishFailureCode(headerAt(mapping.view()),
                                   static_cast<std::uint32_t>(FailureCode::Overflow));
            } else {
                feed[plan.seed % config.streamCount].abort();
            }
        });
    }

    const CaptureResult result = runCapture(mapping, out.path(), plan.delayUs, 20000);
    stop.store(true);
    for (std::thread& thread : threads) {
        thread.join();
    }

    const bool clean = plan.fault == Fault::None;
    if (clean) {
        EXPECT_TRUE(result.success) << failureCodeName(result.failureCode);
        EXPECT_EQ(producer.consumerState(), kConsumerCompleted);
    } else {
        const auto expected = static_cast<std::uint32_t>(plan.fault == Fault::ProducerFailure
                                                             ? FailureCode::Overflow
                                                             : FailureCode::ProducerAbort);
        EXPECT_FALSE(result.success);
        EXPECT_EQ(result.failureCode, expected) << failureCodeName(result.failureCode);
        EXPECT_EQ(producer.failureCode(), expected);
        EXPECT_EQ(producer.consumerState(), kConsumerAttached);
    }
    EXPECT_EQ(result.streamCount, config.streamCount);
    for (std::uint32_t s = 0; s < config.streamCount; ++s) {
        const StreamStats& stats = result.streams[s];
        const std::uint64_t frames = clean ? plan.frames[s] : stats.writtenFrames;
        EXPECT_EQ(stats.writtenFrames, frames) << "stream " << s;
        EXPECT_LE(stats.writtenFrames, plan.frames[s]) << "stream " << s;
        EXPECT_EQ(producer.readIndex(s), stats.writtenChunks) << "stream " << s;
        if (clean) {
            EXPECT_EQ(producer.readIndex(s), loadWriteIndex(producer.block(s))) << "stream " << s;
        }
        EXPECT_LE(stats.maxOccupancy, config.slotsPerStream) << "stream " << s;
        const std::string file = readFile(streamFilePath(out.path(), s));
        // Byte for byte: nothing lost, nothing doubled, nothing torn, header as the exit
        // leaves it.
        const bool sameFile = file == expectedStreamFile(config, s, frames, clean);
        EXPECT_TRUE(sameFile) << "stream " << s << ": " << file.size() << " bytes";
        if (!sameFile) {
            break;
        }
        report.bytesVerified += file.size();
        report.chunks += stats.writtenChunks;
        report.maxOccupancy = std::max(report.maxOccupancy, stats.maxOccupancy);
    }
    return report;
}

TEST(CaptureRace, ShortCapturesAgainstProducerThreads) {
    std::mt19937_64 random(seedOf("CaptureRace"));
    const std::uint64_t rounds = environmentNumber("VASKEL_RACE_ROUNDS", 24);
    PlanReport total;
    for (std::uint64_t round = 0; round < rounds && !HasFailure(); ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const PlanReport report = runPlan(randomPlan(random, {6, 12, false}, true));
        total.bytesVerified += report.bytesVerified;
        total.chunks += report.chunks;
    }
    std::printf("race: %llu captures, %llu chunks, %llu bytes verified\n",
                static_cast<unsigned long long>(rounds),
                static_cast<unsigned long long>(total.chunks),
                static_cast<unsigned long long>(total.bytesVerified));
}

// A renderer slower than its producer: the rings fill, the producer waits on readIndex, and
// nothing is lost. Once with a spun delay, once with a slept one.
TEST(CaptureRace, BackpressureFromASlowRendererLosesNothing) {
    for (const std::uint32_t delayUs : {200u, 1000u}) {
        SCOPED_TRACE("delayUs " + std::to_string(delayUs));
        Plan plan;
        plan.config = makeConfig(3, 4, 256, 2, 48000, 0, delayUs < 1000 ? 256 * 40 : 256 * 8);
        plan.frames.assign(3, plan.config.logicalEndFrame);
        plan.delayUs = delayUs;
        plan.threads = 3;
        plan.seed = 7;
        const PlanReport report = runPlan(plan);
        EXPECT_GT(report.chunks, 3u * 4u);
        // The producer found a ring full: backpressure, not loss.
        EXPECT_EQ(report.maxOccupancy, 4u);
    }
}

// The same under load for a set time; the soak stage runs it for minutes.
TEST(CaptureSoak, RandomCapturesForASetTime) {
    std::mt19937_64 random(seedOf("CaptureSoak"));
    const auto seconds = environmentNumber("VASKEL_SOAK_SECONDS", 2);
    const auto started = std::chrono::steady_clock::now();
    const auto until = started + std::chrono::seconds(seconds);
    std::uint64_t captures = 0;
    PlanReport total;
    while (std::chrono::steady_clock::now() < until && !HasFailure()) {
        SCOPED_TRACE("capture " + std::to_string(captures));
        const PlanReport report = runPlan(randomPlan(random, {16, 48, true}, true));
        total.bytesVerified += report.bytesVerified;
        total.chunks += report.chunks;
        ++captures;
    }
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("soak: %.1f s, %llu captures, %llu chunks, %llu bytes verified\n", elapsed,
                static_cast<unsigned long long>(captures),
                static_cast<unsigned long long>(total.chunks),
                static_cast<unsigned long long>(total.bytesVerified));
}

} // namespace
} // namespace vaskel
