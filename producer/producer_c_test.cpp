// The C interface against real regions: every status of every call, a write that meets a full
// ring or a failure, the wait on each outcome, and two threads writing two streams while the
// real renderer drains them.
#include "output/output_paths.h"
#include "reliability_support.h"
#include "transport/transport_mapping.h"
#include "vaskel/producer.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <set>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace vaskel {
namespace {

using namespace transport;
using testing::ScratchDir;

// A unique region name in the C interface's form (UTF-8).
std::string uniqueName(std::string_view tag) {
    const platform::NativeString name = testing::uniqueRegionName(tag);
    return std::string(name.begin(), name.end()); // ASCII either way
}

platform::NativeString nativeName(const std::string& utf8) {
    platform::ErrorOr<platform::NativeString> native = platform::nativeFromUtf8(utf8);
    EXPECT_TRUE(native) << native.error().message();
    return native ? *native : platform::NativeString();
}

vaskel_config cConfig(std::uint32_t streams, std::uint32_t slots, std::uint32_t framesPerChunk,
                      std::uint32_t channels = 2) {
    vaskel_config config{};
    config.stream_count = streams;
    config.slots_per_stream = slots;
    config.frames_per_chunk = framesPerChunk;
    config.channel_count = channels;
    config.sample_rate = 48000;
    return config;
}

// A producer made through the C interface with the renderer's own attach beside it, so the
// test sees the region exactly as the renderer does.
struct Attached {
    Attached(std::string_view tag, const vaskel_config& config) : name(uniqueName(tag)) {
        EXPECT_EQ(vaskel_producer_create(name.c_str(), &config, &producer), VASKEL_OK);
        EXPECT_TRUE(mapping.attach(nativeName(name)));
    }
    ~Attached() { vaskel_producer_destroy(producer); }
    TransportHeader& header() const { return headerAt(mapping.view()); }
    StreamControlBlock& block(std::uint32_t s) const { return controlBlockAt(mapping.view(), s); }

    std::string name;
    vaskel_producer* producer = nullptr;
    TransportMapping mapping;
};

TEST(ProducerC, CreateGivesADistinctStatusForEachBadArgument) {
    const std::string taken = uniqueName("taken");
    vaskel_producer* holder = nullptr;
    const vaskel_config good = cConfig(2, 4, 256);
    ASSERT_EQ(vaskel_producer_create(taken.c_str(), &good, &holder), VASKEL_OK);

    auto withConfig = [&](auto change) {
        vaskel_config config = good;
        change(config);
        return config;
    };
    const std::string fresh = uniqueName("fresh");
    struct Row {
        const char* what;
        std::string name;
        bool nullName;
        vaskel_config config;
        bool nullConfig;
        bool nullOut;
        int expected;
    };
    const Row rows[] = {
        {"NULL name", fresh, true, good, false, false, VASKEL_ERROR_NULL_ARGUMENT},
        {"NULL config", fresh, false, good, true, false, VASKEL_ERROR_NULL_ARGUMENT},
        {"NULL out", fresh, false, good, false, true, VASKEL_ERROR_NULL_ARGUMENT},
        {"empty name", "", false, good, false, false, VASKEL_ERROR_INVALID_NAME},
        {"dot", ".", false, good, false, false, VASKEL_ERROR_INVALID_NAME},
        {"dot dot", "..", false, good, false, false, VASKEL_ERROR_INVALID_NAME},
        {"slash", fresh + "/x", false, good, false, false, VASKEL_ERROR_INVALID_NAME},
        {"backslash", fresh + "\\x", false, good, false, false, VASKEL_ERROR_INVALID_NAME},
        {"control character", fresh + "\t", false, good, false, false, VASKEL_ERROR_INVALID_NAME},
        {"broken UTF-8", fresh + "\xC3\x28", false, good, false, false, VASKEL_ERROR_INVALID_NAME},
        {"overlong UTF-8", fresh + "\xC0\xAF", false, good, false, false,
         VASKEL_ERROR_INVALID_NAME},
        {"overlong 3-byte UTF-8", fresh + "\xE0\x80\xAF", false, good, false, false,
         VASKEL_ERROR_INVALID_NAME},
        {"overlong 4-byte UTF-8", fresh + "\xF0\x80\x80\xAF", false, good, false, false,
         VASKEL_ERROR_INVALID_NAME},
        {"past U+10FFFF", fresh + "\xF4\x90\x80\x80", false, good, false, false,
         VASKEL_ERROR_INVALID_NAME},
        {"UTF-16 surrogate", fresh + "\xED\xA0\x80", false, good, false, false,
         VASKEL_ERROR_INVALID_NAME},
        {"DEL", fresh + "\x7F", false, good, false, false, VASKEL_ERROR_INVALID_NAME},
        {"one byte too long", fresh + std::string(VASKEL_MAX_NAME_BYTES + 1 - fresh.size(), 'n'),
         false, good, false, false, VASKEL_ERROR_NAME_TOO_LONG},
        {"no streams", fresh, false, withConfig([](vaskel_config& c) { c.stream_count = 0; }),
         false, false, VASKEL_ERROR_INVALID_CONFIG},
        {"three channels", fresh, false, withConfig([](vaskel_config& c) { c.channel_count = 3; }),
         false, false, VASKEL_ERROR_INVALID_CONFIG},
        {"chunk too large", fresh, false,
         withConfig([](vaskel_config& c) { c.frames_per_chunk = 2049; }), false, false,
         VASKEL_ERROR_INVALID_CONFIG},
        {"start after end", fresh, false,
         withConfig([](vaskel_config& c) { c.logical_start_frame = 10; }), false, false,
         VASKEL_ERROR_INVALID_CONFIG},
        {"name taken", taken, false, good, false, false, VASKEL_ERROR_NAME_TAKEN},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        vaskel_producer* const sentinel = reinterpret_cast<vaskel_producer*>(&holder);
        vaskel_producer* out = sentinel;
        EXPECT_EQ(vaskel_producer_create(row.nullName ? nullptr : row.name.c_str(),
                                         row.nullConfig ? nullptr : &row.config,
                                         row.nullOut ? nullptr : &out),
                  row.expected);
        EXPECT_EQ(out, sentinel);
    }
    // Nothing of the refused calls is left behind: the fresh name is still free.
    TransportMapping probe;
    EXPECT_FALSE(probe.attach(nativeName(fresh)));
    // The attempt on the holder's name left its region in place.
    EXPECT_TRUE(probe.attach(nativeName(taken)));
    vaskel_producer_destroy(holder);

    // A process started with standard input or standard error closed: neither the producer's
    // region nor the renderer's attach may take that number (the next descriptor opened gets
    // it), or what the program writes there would land in the region. In a child, so that this
    // process keeps its own streams.
    if (!testing::kWindowsTarget) {
        for (const int closed : {0, 2}) {
            const std::string name = uniqueName("closed-" + std::to_string(closed));
            EXPECT_EXIT(
                {
                    ::close(closed);
                    vaskel_producer* made = nullptr;
                    const int status = vaskel_producer_create(name.c_str(), &good, &made);
                    TransportMapping attached;
                    const bool mapped = attached.attach(nativeName(name));
                    const int lowest = ::dup(1);
                    attached.detach();
                    vaskel_producer_destroy(made);
                    std::_Exit(status == VASKEL_OK && mapped && lowest == closed ? 0 : 1);
                },
                ::testing::ExitedWithCode(0), "")
                << "a region descriptor took descriptor " << closed;
        }
    }

    // The longest name, and one outside ASCII, are accepted and reach the renderer's attach.
    for (const std::string& name : {fresh + std::string(VASKEL_MAX_NAME_BYTES - fresh.size(), 'n'),
                                    fresh + "-\xC3\xA9\xE2\x99\xAB\xF0\x9F\x8E\xB5"}) {
        vaskel_producer* made = nullptr;
        ASSERT_EQ(vaskel_producer_create(name.c_str(), &good, &made), VASKEL_OK) << name;
        TransportMapping mapping;
        EXPECT_TRUE(mapping.attach(nativeName(name))) << name;
        EXPECT_EQ(vaskel_producer_consumer_state(made), VASKEL_CONSUMER_ATTACHED);
        vaskel_producer_destroy(made);
    }
}

TEST(ProducerC, CallsOnAStreamOrTheProducerRefuseBadArguments) {
    Attached region("calls", cConfig(2, 4, 64));
    vaskel_producer* const p = region.producer;
    const float samples[128] = {};
    std::uint64_t written = 99;
    ASSERT_EQ(vaskel_producer_close_stream(p, 1), VASKEL_OK);
    struct Row {
        const char* what;
        int status;
        int expected;
    };
    const Row rows[] = {
        {"write NULL producer", vaskel_producer_write(nullptr, 0, samples, 1, 0, &written),
         VASKEL_ERROR_NULL_ARGUMENT},
        {"write NULL samples", vaskel_producer_write(p, 0, nullptr, 1, 0, &written),
         VASKEL_ERROR_NULL_ARGUMENT},
        {"write stream out of range", vaskel_producer_write(p, 2, samples, 1, 0, &written),
         VASKEL_ERROR_STREAM_RANGE},
        {"write closed stream", vaskel_producer_write(p, 1, samples, 1, 0, &written),
         VASKEL_ERROR_STREAM_CLOSED},
        {"write no frames", vaskel_producer_write(p, 0, nullptr, 0, 0, nullptr), VASKEL_OK},
        {"close NULL producer", vaskel_producer_close_stream(nullptr, 0),
         VASKEL_ERROR_NULL_ARGUMENT},
        {"close out of range", vaskel_producer_close_stream(p, 2), VASKEL_ERROR_STREAM_RANGE},
        {"close twice", vaskel_producer_close_stream(p, 1), VASKEL_ERROR_STREAM_CLOSED},
        {"abort NULL producer", vaskel_producer_abort_stream(nullptr, 0),
         VASKEL_ERROR_NULL_ARGUMENT},
        {"abort out of range", vaskel_producer_abort_stream(p, 7), VASKEL_ERROR_STREAM_RANGE},
        {"abort closed stream", vaskel_producer_abort_stream(p, 1), VASKEL_ERROR_STREAM_CLOSED},
        {"fail NULL producer", vaskel_producer_fail(nullptr, 2), VASKEL_ERROR_NULL_ARGUMENT},
        {"fail with code 0", vaskel_producer_fail(p, 0), VASKEL_ERROR_INVALID_FAILURE_CODE},
        {"wait NULL producer", vaskel_producer_wait(nullptr, 0, nullptr),
         VASKEL_ERROR_NULL_ARGUMENT},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(row.status, row.expected) << row.what;
    }
    EXPECT_EQ(written, 0u);
    // None of them changed the region: nothing published, stream 0 open, stream 1 closed.
    EXPECT_EQ(loadWriteIndex(region.block(0)), 0u);
    EXPECT_EQ(loadStreamState(region.block(0)), kStreamOpen);
    EXPECT_EQ(loadStreamState(region.block(1)), kStreamClosed);
    EXPECT_EQ(loadFailureCode(region.header()), 0u);
    EXPECT_EQ(vaskel_producer_consumer_state(nullptr), 0u);
    EXPECT_EQ(vaskel_producer_failure_code(nullptr), 0u);
    vaskel_producer_destroy(nullptr);

    // Abort marks the stream for the renderer; the first failure code stays.
    EXPECT_EQ(vaskel_producer_abort_stream(p, 0), VASKEL_OK);
    EXPECT_EQ(loadStreamState(region.block(0)), kStreamAborted);
    EXPECT_EQ(vaskel_producer_write(p, 0, samples, 1, 0, nullptr), VASKEL_ERROR_STREAM_CLOSED);
    EXPECT_EQ(vaskel_producer_fail(p, VASKEL_FAILURE_OVERFLOW), VASKEL_OK);
    EXPECT_EQ(vaskel_producer_fail(p, VASKEL_FAILURE_GAP), VASKEL_ERROR_CAPTURE_FAILED);
    EXPECT_EQ(loadFailureCode(region.header()), VASKEL_FAILURE_OVERFLOW);
}

TEST(ProducerC, WriteCutsChunksAndNeverWaitsWithTimeoutZero) {
    // Ring of 3 slots, chunks of at most 4 frames, 2 channels; 14 frames need 4 chunks.
    Attached region("full", cConfig(1, 3, 4));
    const std::vector<float> samples = testing::patternChunk(0, 0, 14, 2);
    std::uint64_t written = 0;
    EXPECT_EQ(vaskel_producer_write(region.producer, 0, samples.data(), 14, 0, &written),
              VASKEL_ERROR_TIMEOUT);
    EXPECT_EQ(written, 12u); // three whole chunks
    // A full ring: at once, nothing more.
    EXPECT_EQ(vaskel_producer_write(region.producer, 0, samples.data() + 24, 2, 0, &written),
              VASKEL_ERROR_TIMEOUT);
    EXPECT_EQ(written, 0u);
    ASSERT_EQ(loadWriteIndex(region.block(0)), 3u);
    EXPECT_EQ(loadMaxOccupancy(region.block(0)), 3u);
    for (std::uint64_t n = 0; n < 3; ++n) {
        const ChunkSlot& slot = slotAt(region.mapping.view(), region.mapping.config(), 0, n);
        EXPECT_EQ(slot.header.sequence, n);
        EXPECT_EQ(slot.header.firstFrame, 4 * n);
        EXPECT_EQ(slot.header.frameCount, 4u);
        EXPECT_EQ(std::memcmp(slot.payload, samples.data() + 8 * n, 32), 0) << "chunk " << n;
    }
    // With a timeout and nobody draining, whole chunks only and the time runs out.
    EXPECT_EQ(vaskel_producer_write(region.producer, 0, samples.data() + 24, 2, 30, &written),
              VASKEL_ERROR_TIMEOUT);
    EXPECT_EQ(written, 0u);
    // The renderer hands back two slots: the rest goes out, the short last chunk included.
    storeReadIndex(region.block(0), 2);
    EXPECT_EQ(vaskel_producer_write(region.producer, 0, samples.data() + 24, 2, 0, &written),
              VASKEL_OK);
    EXPECT_EQ(written, 2u);
    const ChunkSlot& last = slotAt(region.mapping.view(), region.mapping.config(), 0, 3);
    EXPECT_EQ(last.header.sequence, 3u);
    EXPECT_EQ(last.header.firstFrame, 12u);
    EXPECT_EQ(last.header.frameCount, 2u);
    EXPECT_EQ(std::memcmp(last.payload, samples.data() + 24, 16), 0);
}

TEST(ProducerC, AFailurePublishedMidWriteStopsItAtOnce) {
    Attached region("midwrite", cConfig(1, 2, 4));
    const std::vector<float> samples = testing::patternChunk(0, 0, 40, 2);
    // The renderer's side fails the capture once the ring is full and the write waits.
    std::thread renderer([&] {
        while (loadWriteIndex(region.block(0)) < 2) {
            std::this_thread::yield();
        }
        publishFailureCode(region.header(), VASKEL_FAILURE_GAP);
    });
    std::uint64_t written = 0;
    const int status =
        vaskel_producer_write(region.producer, 0, samples.data(), 40, 60000, &written);
    renderer.join();
    EXPECT_EQ(status, VASKEL_ERROR_CAPTURE_FAILED);
    EXPECT_EQ(written, 8u);
    storeReadIndex(region.block(0), 2); // room again: still nothing may go out
    EXPECT_EQ(vaskel_producer_write(region.producer, 0, samples.data(), 4, 0, &written),
              VASKEL_ERROR_CAPTURE_FAILED);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(loadWriteIndex(region.block(0)), 2u);
    EXPECT_EQ(vaskel_producer_failure_code(region.producer), VASKEL_FAILURE_GAP);
}

TEST(ProducerC, WaitReportsEachOutcome) {
    struct Row {
        const char* what;
        void (*outcome)(TransportHeader&);
        std::uint32_t timeoutMs;
        int expected;
        std::uint32_t code;      // what wait reports
        std::uint32_t published; // what the shared word holds
        std::uint32_t state;
    };
    const Row rows[] = {
        {"nothing yet, no time", [](TransportHeader&) {}, 0, VASKEL_ERROR_TIMEOUT, 0, 0,
         VASKEL_CONSUMER_ATTACHED},
        {"nothing yet", [](TransportHeader&) {}, 20, VASKEL_ERROR_TIMEOUT, 0, 0,
         VASKEL_CONSUMER_ATTACHED},
        {"nothing yet, over a second", [](TransportHeader&) {}, 1030, VASKEL_ERROR_TIMEOUT, 0, 0,
         VASKEL_CONSUMER_ATTACHED},
        {"completed", [](TransportHeader& h) { storeConsumerState(h, kConsumerCompleted); }, 0,
         VASKEL_OK, 0, 0, VASKEL_CONSUMER_COMPLETED},
        {"completed, a failure published afterwards",
         [](TransportHeader& h) {
             storeConsumerState(h, kConsumerCompleted);
             publishFailureCode(h, VASKEL_FAILURE_PRODUCER_ABORT);
         },
         20, VASKEL_OK, 0, VASKEL_FAILURE_PRODUCER_ABORT, VASKEL_CONSUMER_COMPLETED},
        {"renderer failed",
         [](TransportHeader& h) {
             publishFailureCode(h, VASKEL_FAILURE_WRITER_FAILURE);
             storeConsumerState(h, kConsumerFailed);
         },
         20, VASKEL_ERROR_CAPTURE_FAILED, VASKEL_FAILURE_WRITER_FAILURE,
         VASKEL_FAILURE_WRITER_FAILURE, VASKEL_CONSUMER_FAILED},
        {"producer failed", [](TransportHeader& h) { publishFailureCode(h, 6); }, 0,
         VASKEL_ERROR_CAPTURE_FAILED, VASKEL_FAILURE_PRODUCER_ABORT, VASKEL_FAILURE_PRODUCER_ABORT,
         VASKEL_CONSUMER_ATTACHED},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Attached region("wait", cConfig(1, 2, 16));
        row.outcome(region.header());
        std::uint32_t code = 99;
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(vaskel_producer_wait(region.producer, row.timeoutMs, &code), row.expected);
        if (row.expected == VASKEL_ERROR_TIMEOUT) {
            // Never sooner than asked: a timeout cannot end before its whole length has passed.
            EXPECT_GE(std::chrono::steady_clock::now() - started,
                      std::chrono::milliseconds(row.timeoutMs));
        }
        EXPECT_EQ(code, row.code);
        EXPECT_EQ(vaskel_producer_failure_code(region.producer), row.published);
        EXPECT_EQ(vaskel_producer_consumer_state(region.producer), row.state);
    }
}

TEST(ProducerC, TextsNameEveryStatusAndFailure) {
    std::set<std::string> texts;
    for (int status = VASKEL_OK; status >= VASKEL_ERROR_INVALID_FAILURE_CODE; --status) {
        texts.insert(vaskel_status_text(status));
    }
    EXPECT_EQ(texts.size(), 12u); // one distinct text each
    EXPECT_EQ(texts.count("unknown status"), 0u);
    EXPECT_STREQ(vaskel_status_text(-12), "unknown status");
    EXPECT_STREQ(vaskel_status_text(1), "unknown status");
    EXPECT_STREQ(vaskel_failure_name(VASKEL_FAILURE_NONE), "none");
    EXPECT_STREQ(vaskel_failure_name(VASKEL_FAILURE_DUPLICATE_OR_OUT_OF_ORDER),
                 "duplicate_or_out_of_order");
    EXPECT_STREQ(vaskel_failure_name(VASKEL_FAILURE_WRITER_FAILURE), "writer_failure");
    EXPECT_STREQ(vaskel_failure_name(8), "unknown");
    EXPECT_STREQ(vaskel_version(), VASKEL_TEST_VERSION);
    // The header's numbers are the same version.
    EXPECT_EQ(std::to_string(VASKEL_VERSION_MAJOR) + "." + std::to_string(VASKEL_VERSION_MINOR) +
                  "." + std::to_string(VASKEL_VERSION_PATCH),
              VASKEL_TEST_VERSION);
}

// Two threads each write their own stream, in uneven pieces, while the real renderer drains
// both; the files must hold exactly what was written. Also run under ThreadSanitizer.
TEST(ProducerCThreads, TwoThreadsWriteTwoStreamsWhileTheRendererDrains) {
    constexpr std::uint64_t kFrames = 48000;
    ScratchDir dir("cthreads");
    const std::string name = uniqueName("cthreads");
    vaskel_config config = cConfig(2, 4, 512);
    config.logical_start_frame = 1000;
    config.logical_end_frame = 1000 + kFrames;
    vaskel_producer* p = nullptr;
    ASSERT_EQ(vaskel_producer_create(name.c_str(), &config, &p), VASKEL_OK);
    testing::RendererProcess renderer({nativeName(name), testing::nativePath(dir / "out"),
                                       testing::native("0"), testing::native("20000"),
                                       testing::native("20000")});
    ASSERT_TRUE(renderer.started());

    std::atomic<int> failures{0};
    auto writeStream = [&](std::uint32_t stream) {
        const std::vector<float> samples = testing::patternChunk(
            stream, config.logical_start_frame, static_cast<std::uint32_t>(kFrames), 2);
        std::uint64_t done = 0;
        for (std::uint64_t piece = 1; done < kFrames; piece = piece * 7 % 1999 + 1) {
            const std::uint64_t frames = std::min(piece, kFrames - done);
            std::uint64_t written = 0;
            // Timeout 0 as an audio callback would, then whatever is left with a timeout.
            int status =
                vaskel_producer_write(p, stream, samples.data() + 2 * done, frames, 0, &written);
            if (status == VASKEL_ERROR_TIMEOUT) {
                std::uint64_t more = 0;
                status = vaskel_producer_write(p, stream, samples.data() + 2 * (done + written),
                                               frames - written, 20000, &more);
                written += more;
            }
            done += written;
            if (status != VASKEL_OK) {
                failures.fetch_add(1);
                return;
            }
        }
        if (vaskel_producer_close_stream(p, stream) != VASKEL_OK) {
            failures.fetch_add(1);
        }
    };
    std::thread first(writeStream, 0);
    std::thread second(writeStream, 1);
    first.join();
    second.join();
    std::uint32_t code = 99;
    const int verdict = vaskel_producer_wait(p, 60000, &code);
    const testing::ChildResult result = renderer.wait();
    vaskel_producer_destroy(p);

    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(verdict, VASKEL_OK) << vaskel_failure_name(code);
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    TransportConfig expected = testing::makeConfig(2, 4, 512, 2, 48000, 1000, 1000 + kFrames);
    for (std::uint32_t s = 0; s < 2; ++s) {
        const bool same = testing::readFile(streamFilePath(dir / "out", s)) ==
                          testing::expectedStreamFile(expected, s, kFrames, true);
        EXPECT_TRUE(same) << "stream " << s;
    }
}

} // namespace
} // namespace vaskel
