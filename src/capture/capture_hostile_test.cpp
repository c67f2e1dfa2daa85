// A producer that breaks every rule it can after the renderer has attached: it rewrites the
// header, sets the ring indices to wild values, scribbles over slots while they are read, and
// shrinks the region. Whatever it does, the capture must keep to the view it validated and end
// in a defined way.
#include "capture/capture_loop.h"
#include "output/output_paths.h"
#include "reliability_support.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <gtest/gtest.h>
#include <limits>
#include <random>
#include <thread>

namespace vaskel {
namespace {

using namespace transport;
using producer::TransportProducer;
using testing::expectedStreamFile;
using testing::HookFeeder;
using testing::makeConfig;
using testing::readFile;
using testing::ScratchDir;
using testing::uniqueRegionName;

constexpr std::uint64_t kMax64 = std::numeric_limits<std::uint64_t>::max();
struct Region {
    TransportProducer producer;
    TransportMapping mapping;

    explicit Region(const TransportConfig& config) {
        const platform::NativeString name = uniqueRegionName("hostile");
        EXPECT_TRUE(producer.create(name, config));
        EXPECT_TRUE(mapping.attach(name));
    }
};

// ---------------------------------------------------------------------------------------------
// The header is rewritten after attach. The capture must keep using the configuration attach
// validated: two streams of two slots, 64-frame chunks, 48000 Hz stereo, 256 frames each.

struct HeaderRewrite {
    const char* name;
    void (*apply)(TransportHeader&);
};

const HeaderRewrite kHeaderRewrites[] = {
    {"streamCount 1", [](TransportHeader& h) { h.config.streamCount = 1; }},
    {"streamCount 128", [](TransportHeader& h) { h.config.streamCount = 128; }},
    {"streamCount 0", [](TransportHeader& h) { h.config.streamCount = 0; }},
    {"slotsPerStream 1", [](TransportHeader& h) { h.config.slotsPerStream = 1; }},
    {"slotsPerStream 64", [](TransportHeader& h) { h.config.slotsPerStream = 64; }},
    {"framesPerChunk 32", [](TransportHeader& h) { h.config.framesPerChunk = 32; }},
    {"channelCount 1", [](TransportHeader& h) { h.config.channelCount = 1; }},
    {"channelCount max", [](TransportHeader& h) { h.config.channelCount = 0xFFFFFFFF; }},
    {"sampleRate", [](TransportHeader& h) { h.config.sampleRate = 12345; }},
    {"logicalEndFrame", [](TransportHeader& h) { h.config.logicalEndFrame = 200; }},
    {"logicalStartFrame", [](TransportHeader& h) { h.config.logicalStartFrame = 64; }},
    {"protocolVersion", [](TransportHeader& h) { h.protocolVersion = 2; }},
    {"producerState", [](TransportHeader& h) { storeProducerState(h, 0); }},
    {"whole config 0xFF",
     [](TransportHeader& h) { std::memset(&h.config, 0xFF, sizeof h.config); }},
};

void expectCleanCapture(const std::filesystem::path& root, const TransportConfig& config,
                        std::uint64_t frames, const CaptureResult& result) {
    ASSERT_TRUE(result.success) << failureCodeName(result.failureCode);
    EXPECT_EQ(result.streamCount, config.streamCount);
    for (std::uint32_t s = 0; s < config.streamCount; ++s) {
        EXPECT_EQ(result.streams[s].writtenFrames, frames) << "stream " << s;
        EXPECT_EQ(readFile(streamFilePath(root, s)), expectedStreamFile(config, s, frames, true))
            << "stream " << s;
    }
    EXPECT_FALSE(std::filesystem::exists(streamFilePath(root, config.streamCount)));
    const std::uint64_t span = config.logicalEndFrame - config.logicalStartFrame;
    EXPECT_EQ(readFile(root / "render-progress.json"),
              "{\"schemaVersion\":1,\"state\":\"complete\",\"streamCount\":" +
                  std::to_string(config.streamCount) +
                  ",\"activeStreams\":" + std::to_string(config.streamCount) +
                  ",\"completedStreams\":" + std::to_string(config.streamCount) +
                  ",\"writtenFrames\":" + std::to_string(frames * config.streamCount) +
                  ",\"totalFrames\":" + std::to_string(span * config.streamCount) + "}");
}

TEST(CaptureHostile, HeaderRewrittenAfterAttachLeavesTheValidatedConfigInCharge) {
    const TransportConfig config = makeConfig(2, 2, 64, 2, 48000, 0, 256);
    for (const HeaderRewrite& rewrite : kHeaderRewrites) {
        // Once between attach and the start of the capture, once after chunks have flowed.
        for (const bool midCapture : {false, true}) {
            SCOPED_TRACE(std::string(rewrite.name) + (midCapture ? ", mid-capture" : ", at start"));
            Region region(config);
            ScratchDir out("hostile-header");
            HookFeeder feeder(region.producer, 256, 64);
            if (midCapture) {
                feeder.onStep = [&](std::uint64_t step) {
                    if (step == 3) {
                        rewrite.apply(region.producer.header());
                    }
                };
            } else {
                rewrite.apply(region.producer.header());
            }
            const CaptureResult result =
                runCapture(region.mapping, out.path(), 0, 1000, feeder.environment());
            expectCleanCapture(out.path(), config, 256, result);
            EXPECT_EQ(region.producer.consumerState(), kConsumerCompleted);
            EXPECT_EQ(region.producer.failureCode(), 0u);
        }
    }
}

// ---------------------------------------------------------------------------------------------
// readIndex and writeIndex set to values no honest producer writes. One stream of four slots,
// 16-frame stereo chunks.

struct WildIndexCase {
    const char* name;
    // Runs before the capture starts, after `prepublished` chunks were published.
    std::uint32_t prepublished;
    void (*before)(TransportProducer&);
    // Runs at every step of the capture, with the step number.
    void (*during)(TransportProducer&, std::uint64_t);
    bool success;
    std::uint32_t failure;
    std::uint64_t consumedChunks;
    std::uint64_t readIndexAfter;
};

void publishChunkAtRingPosition(TransportProducer& producer, std::uint64_t position,
                                std::uint64_t sequence) {
    const TransportConfig& config = producer.config();
    ChunkSlot& slot = slotAt(producer.view(), config, 0, position);
    slot.header = ChunkHeader{0, 16, config.channelCount, 32, sequence, sequence * 16};
    const std::vector<float> samples =
        testing::patternChunk(0, sequence * 16, 16, config.channelCount);
    std::memcpy(slot.payload, samples.data(), samples.size() * sizeof(float));
}

const WildIndexCase kWildIndexCases[] = {
    {"writeIndex far ahead of the published chunks: the stale chunk 0 comes round again", 4,
     [](TransportProducer& p) { storeWriteIndex(p.block(0), 1000); }, nullptr, false,
     code(FailureCode::DuplicateOrOutOfOrder), 4, 4},
    {"writeIndex at the top of its range over a ring never written", 0,
     [](TransportProducer& p) { storeWriteIndex(p.block(0), kMax64); }, nullptr, false,
     code(FailureCode::ProtocolMismatch), 0, 0},
    {"writeIndex moved back below readIndex", 3, nullptr,
     [](TransportProducer& p, std::uint64_t) {
         if (p.readIndex(0) == 3) {
             storeWriteIndex(p.block(0), 1);
         }
     },
     false, code(FailureCode::DuplicateOrOutOfOrder), 3, 3},
    {"readIndex rewritten by the producer mid-capture", 2, nullptr,
     [](TransportProducer& p, std::uint64_t) {
         if (p.readIndex(0) == 2) {
             storeReadIndex(p.block(0), kMax64);
         }
     },
     false, code(FailureCode::DuplicateOrOutOfOrder), 2, kMax64},
    {"readIndex ahead of writeIndex at start", 0,
     [](TransportProducer& p) { storeReadIndex(p.block(0), 1); }, nullptr, false,
     code(FailureCode::ProtocolMismatch), 0, 1},
    {"both indices at the top of their range, stream closed, nothing published", 0,
     [](TransportProducer& p) {
         storeReadIndex(p.block(0), kMax64);
         storeWriteIndex(p.block(0), kMax64);
         p.closeStream(0);
     },
     nullptr, true, 0, 0, kMax64},
    {"a ring position that wraps past 2^64 still reads the right slot", 0,
     [](TransportProducer& p) {
         storeReadIndex(p.block(0), kMax64);
         publishChunkAtRingPosition(p, kMax64, 0);
         storeWriteIndex(p.block(0), 0);
         p.closeStream(0);
     },
     nullptr, true, 0, 1, 0},
};

TEST(CaptureHostile, WildRingIndicesEndInADefinedFailure) {
    const TransportConfig config = makeConfig(1, 4, 16);
    for (const WildIndexCase& wild : kWildIndexCases) {
        SCOPED_TRACE(wild.name);
        Region region(config);
        ScratchDir out("hostile-index");
        HookFeeder feeder(region.producer, 0, 16);
        feeder.feeding = false;
        for (std::uint32_t i = 0; i < wild.prepublished; ++i) {
            ASSERT_TRUE(testing::publishPattern(region.producer, 0, 16));
        }
        if (wild.before != nullptr) {
            wild.before(region.producer);
        }
        if (wild.during != nullptr) {
            feeder.onStep = [&](std::uint64_t step) { wild.during(region.producer, step); };
        }
        const CaptureResult result =
            runCapture(region.mapping, out.path(), 0, 200, feeder.environment());
        EXPECT_EQ(result.success, wild.success);
        EXPECT_EQ(result.failureCode, wild.failure) << failureCodeName(result.failureCode);
        EXPECT_EQ(result.streams[0].writtenChunks, wild.consumedChunks);
        EXPECT_EQ(region.producer.failureCode(), wild.failure);
        EXPECT_EQ(region.producer.consumerState(),
                  wild.success ? kConsumerCompleted : kConsumerFailed);
        EXPECT_EQ(region.producer.readIndex(0), wild.readIndexAfter);
        EXPECT_EQ(readFile(out / "stream-0.wav"),
                  expectedStreamFile(config, 0, wild.consumedChunks * 16, wild.success));
    }
}

// ---------------------------------------------------------------------------------------------
// Control words with values outside their meaning.

TEST(CaptureHostile, ControlWordsOutsideTheirMeaning) {
    const TransportConfig config = makeConfig(2, 2, 8);
    // Two chunks waiting in each ring before the capture starts; the producer feeds no more.
    const auto prepare = [&](Region& region) {
        for (std::uint32_t s = 0; s < 2; ++s) {
            for (int chunk = 0; chunk < 2; ++chunk) {
                EXPECT_TRUE(testing::publishPattern(region.producer, s, 8));
            }
            region.producer.closeStream(s);
        }
    };
    {
        SCOPED_TRACE("a stream state that is neither closed nor aborted counts as open");
        Region region(config);
        ScratchDir out("hostile-state");
        prepare(region);
        storeStreamState(region.producer.block(1), 0xFFFFFFFF);
        HookFeeder feeder(region.producer, 0, 8);
        feeder.feeding = false;
        const CaptureResult result =
            runCapture(region.mapping, out.path(), 0, 100, feeder.environment());
        EXPECT_EQ(result.failureCode, code(FailureCode::ProducerAbort));
        EXPECT_EQ(result.streams[0].writtenFrames, 16u);
        EXPECT_EQ(result.streams[1].writtenFrames, 16u);
        EXPECT_EQ(region.producer.failureCode(), code(FailureCode::ProducerAbort));
        EXPECT_EQ(region.producer.consumerState(), kConsumerAttached);
    }
    {
        SCOPED_TRACE("a failure code no one defined is reported as is");
        Region region(config);
        ScratchDir out("hostile-code");
        prepare(region);
        HookFeeder feeder(region.producer, 0, 8);
        feeder.feeding = false;
        feeder.onStep = [&](std::uint64_t step) {
            if (step == 2) {
                region.producer.publishFailure(0xDEADBEEF);
            }
        };
        const CaptureResult result =
            runCapture(region.mapping, out.path(), 0, 100, feeder.environment());
        EXPECT_FALSE(result.success);
        EXPECT_EQ(result.failureCode, 0xDEADBEEFu);
        EXPECT_STREQ(failureCodeName(result.failureCode), "unknown");
        // Set during the first pass (one chunk of each stream), seen at its end: that pass's
        // chunks stay consumed and counted, the second chunks stay in their rings.
        EXPECT_EQ(result.streams[0].writtenChunks, 1u);
        EXPECT_EQ(result.streams[1].writtenChunks, 1u);
        EXPECT_EQ(region.producer.readIndex(1), 1u);
        EXPECT_EQ(region.producer.consumerState(), kConsumerAttached);
    }
    {
        SCOPED_TRACE("a high-water mark beyond the ring is relayed, never used");
        Region region(config);
        ScratchDir out("hostile-occupancy");
        prepare(region);
        storeMaxOccupancy(region.producer.block(0), kMax64);
        HookFeeder feeder(region.producer, 0, 8);
        feeder.feeding = false;
        const CaptureResult result =
            runCapture(region.mapping, out.path(), 0, 100, feeder.environment());
        ASSERT_TRUE(result.success);
        EXPECT_EQ(result.streams[0].maxOccupancy, kMax64);
        EXPECT_EQ(readFile(out / "stream-0.wav"), expectedStreamFile(config, 0, 16, true));
    }
}

// ---------------------------------------------------------------------------------------------
// Slots rewritten while the renderer reads them. A thread keeps every ring full of chunks that
// look right, flips their frameCount to 0xFFFFFFFF and straight back over and over, and
// scribbles over payloads. The header is copied once, so whatever value the copy
// caught decides both the check and the bytes appended: a chunk that was accepted adds exactly
// its 2048 frames to the file, never the absurd count that was there a moment later.

TEST(CaptureHostile, SlotsRewrittenWhileBeingReadNeverLeaveTheSlot) {
    const TransportConfig config = makeConfig(2, 4, 2048, 2, 48000);
    std::uint64_t accepted = 0;
    for (int round = 0; round < 6; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        Region region(config);
        ScratchDir out("hostile-slots");
        std::atomic<bool> stop{false};
        TransportProducer& p = region.producer;
        const auto field32 = [](std::uint32_t& field) {
            return std::atomic_ref<std::uint32_t>(field);
        };
        const auto field64 = [](std::uint64_t& field) {
            return std::atomic_ref<std::uint64_t>(field);
        };

        // One busy thread, so that on two cores it runs beside the capture all the time.
        std::thread vandal([&] {
            std::mt19937_64 random(static_cast<std::uint64_t>(round) + 1);
            std::vector<std::uint64_t> filledFrom(config.streamCount, ~std::uint64_t{0});
            while (!stop.load()) {
                for (std::uint32_t s = 0; s < config.streamCount; ++s) {
                    const std::uint64_t r = p.readIndex(s);
                    if (r != filledFrom[s]) {
                        for (std::uint64_t n = r; n < r + config.slotsPerStream; ++n) {
                            ChunkHeader& header = slotAt(p.view(), config, s, n).header;
                            field32(header.streamId).store(s, std::memory_order_relaxed);
                            field32(header.channelCount).store(2, std::memory_order_relaxed);
                            field32(header.bitsPerSample).store(32, std::memory_order_relaxed);
                            field64(header.sequence).store(n, std::memory_order_relaxed);
                            field64(header.firstFrame).store(n * 2048, std::memory_order_relaxed);
                        }
                        storeWriteIndex(p.block(s), r + config.slotsPerStream);
                        filledFrom[s] = r;
                    }
                    for (std::uint64_t k = 0; k < config.slotsPerStream; ++k) {
                        ChunkSlot& slot = slotAt(p.view(), config, s, k);
                        field32(slot.header.frameCount)
                            .store(0xFFFFFFFF, std::memory_order_relaxed);
                        field32(slot.header.frameCount).store(2048, std::memory_order_relaxed);
                    }
                    ChunkSlot& slot = slotAt(p.view(), config, s, random() % config.slotsPerStream);
                    field64(*reinterpret_cast<std::uint64_t*>(slot.payload + (random() % 2048) * 8))
                        .store(random(), std::memory_order_relaxed);
                }
            }
        });
        // Stop after a while even if every chunk kept being read whole and valid.
        std::thread timer([&] {
            for (int waited = 0; waited < 200 && !stop.load(); waited += 5) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            p.publishFailure(0xFFFFFFF0u);
        });
        const CaptureResult result = runCapture(region.mapping, out.path(), 0, 2000);
        stop.store(true);
        vandal.join();
        timer.join();

        EXPECT_FALSE(result.success);
        const std::uint32_t failure = result.failureCode;
        EXPECT_TRUE(failure == code(FailureCode::ProtocolMismatch) ||
                    failure == code(FailureCode::Gap) ||
                    failure == code(FailureCode::DuplicateOrOutOfOrder) || failure == 0xFFFFFFF0u)
            << failureCodeName(failure) << " " << failure;
        for (std::uint32_t s = 0; s < config.streamCount; ++s) {
            const StreamStats& stats = result.streams[s];
            EXPECT_EQ(stats.writtenFrames, stats.writtenChunks * 2048);
            EXPECT_EQ(std::filesystem::file_size(streamFilePath(out.path(), s)),
                      44 + stats.writtenFrames * config.channelCount * 4);
            EXPECT_EQ(p.readIndex(s), stats.writtenChunks);
            accepted += stats.writtenChunks;
        }
    }
    // The rounds exercised the race, not just the rejection of the first chunk.
    EXPECT_GT(accepted, 0u);
}

// ---------------------------------------------------------------------------------------------
// The region shrinks under the renderer. The attach check cannot see it: the view was mapped
// while the region was whole. On POSIX the pages past the new end are gone and the first touch
// raises SIGBUS, which ends the renderer; this test pins that outcome down in a child process so
// it is known, not guessed. Windows cannot shrink a section that is mapped.

TEST(CaptureHostile, RegionShrunkAfterAttachEndsTheRendererOnPosix) {
    const TransportConfig config = makeConfig(1, 4, 2048, 2, 48000);
    const platform::NativeString name = uniqueRegionName("shrink");
    TransportProducer producer;
    ASSERT_TRUE(producer.create(name, config));
    const platform::ErrorOr<platform::Region> region = platform::Region::open(name);
    ASSERT_TRUE(region);
    if (!testing::resizeRegion(*region, regionSize(config))) {
        GTEST_SKIP() << "this platform cannot resize a region";
    }
    ScratchDir out("shrink");
    testing::RendererProcess renderer(
        {name, testing::nativePath(out.path()), testing::native("0"), testing::native("5000")});
    ASSERT_TRUE(renderer.started());
    const auto waitFor = [](auto condition) {
        for (int i = 0; i < 2000 && !condition(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return condition();
    };
    ASSERT_TRUE(waitFor([&] { return producer.consumerState() == kConsumerAttached; }));

    // Chunk 0 goes through whole.
    ASSERT_TRUE(testing::publishPattern(producer, 0, 2048));
    ASSERT_TRUE(waitFor([&] { return producer.readIndex(0) == 1; }));

    // Chunk 1 is written while its slot exists; then the region is cut to its first page, which
    // keeps the header and the control block, and only then is the chunk exposed.
    ChunkSlot& slot = slotAt(producer.view(), config, 0, 1);
    slot.header = producer.nextHeader(0, 2048);
    ASSERT_TRUE(testing::resizeRegion(*region, 4096));
    storeWriteIndex(producer.block(0), 2);

    const testing::ChildResult ended = renderer.wait();
    // Killed by SIGBUS; under AddressSanitizer, whose handler reports the signal, an abort.
    const bool diedOfTheSignal = ended.exitCode == -1 && ended.err.empty();
    const bool sanitizerReported =
        ended.exitCode == 1 && ended.err.find("AddressSanitizer: BUS") != std::string::npos;
    EXPECT_TRUE(diedOfTheSignal || sanitizerReported) << ended.exitCode << " " << ended.err;
    // What was consumed before the fault is on disk, behind the placeholder header.
    EXPECT_EQ(readFile(out / "stream-0.wav"), expectedStreamFile(config, 0, 2048, false));
    EXPECT_EQ(producer.failureCode(), 0u);
    EXPECT_EQ(producer.consumerState(), kConsumerAttached);
    EXPECT_EQ(producer.readIndex(0), 1u);
}

} // namespace
} // namespace vaskel
