// The renderer binary as users run it: a child process, its output streams and exit codes.
#include "entry/command_line.h"
#include "entry/renderer.h"
#include "output/output_paths.h"
#include "output/wav_format.h"
#include "producer/transport_producer.h"
#include "test_support.h"

#include <chrono>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <random>
#include <thread>

#ifdef VASKEL_HAVE_SNDFILE
#include <sndfile.h>
#endif

namespace vaskel {
namespace {

using namespace transport;
using producer::CreateOptions;
using producer::TransportProducer;
using testing::ChildResult;
using testing::makeConfig;
using testing::native;
using testing::nativePath;
using testing::patternChunk;
using testing::platformNewlines;
using testing::readFile;
using testing::RendererProcess;
using testing::ScratchDir;
using testing::uniqueRegionName;

std::vector<platform::NativeString> words(std::initializer_list<std::string_view> list) {
    std::vector<platform::NativeString> result;
    for (std::string_view word : list) {
        result.push_back(native(word));
    }
    return result;
}

// Polls `done` every millisecond for at most 30 s; false when it never held.
template <typename Done> bool waitUntil(Done done) {
    for (int i = 0; i < 30000; ++i) {
        if (done()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

bool waitForConsumer(const TransportProducer& producer, std::uint32_t state) {
    return waitUntil([&] { return producer.consumerState() == state; });
}

TEST(RendererBinary, CapabilityAnswerAndMalformedCommandLines) {
    const ChildResult capability = testing::runRenderer(words({"--transport-capacity"}));
    EXPECT_EQ(capability.exitCode, 0);
    EXPECT_EQ(capability.out, platformNewlines("{\"protocolVersion\":3,\"maximumStreams\":128}\n"));
    EXPECT_EQ(capability.err, "");

    const std::string usage = platformNewlines(kUsageLine);
    const std::vector<std::vector<platform::NativeString>> malformed = {
        {},
        words({"--Transport-Capacity"}),
        words({"--transport-capacity-now"}),
        words({"a", "b", "1", "2", "3", "4"}),
    };
    for (const auto& arguments : malformed) {
        SCOPED_TRACE(arguments.size());
        const ChildResult result = testing::runRenderer(arguments);
        EXPECT_EQ(result.exitCode, 2);
        EXPECT_EQ(result.err, usage);
        EXPECT_EQ(result.out, "");
    }
}

TEST(RendererBinary, TimeoutWordsInTheirOrder) {
    ScratchDir dir("words");
    const auto root = nativePath(dir / "out");
    const auto name = native("vaskel-never");
    ChildResult result = testing::runRenderer({name, root, native("0"), native("0"), native("0")});
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_EQ(result.err, platformNewlines("idle_timeout_invalid\n"));
    result = testing::runRenderer({name, root, native("x"), native("5"), native("zero")});
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_EQ(result.err, platformNewlines("mapping_open_timeout_invalid\n"));
    EXPECT_FALSE(std::filesystem::exists(dir / "out"));
}

TEST(RendererBinary, NoRegionBeforeTheDeadlineExitsThree) {
    ScratchDir dir("noregion");
    const auto start = std::chrono::steady_clock::now();
    const ChildResult result =
        testing::runRenderer({uniqueRegionName("none"), nativePath(dir / "out"), native("0"),
                              native("1000"), native("60")});
    EXPECT_EQ(result.exitCode, 3);
    EXPECT_EQ(result.err, platformNewlines("mapping_open_timeout\n"));
    EXPECT_EQ(result.out, "");
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(60));
    EXPECT_FALSE(std::filesystem::exists(dir / "out"));
}

TEST(RendererBinary, AWrongVersionIsNeverAttachedAndKeepsProtocolMismatch) {
    ScratchDir dir("v2");
    const auto name = uniqueRegionName("v2");
    TransportProducer producer;
    CreateOptions options;
    options.protocolVersion = 2;
    ASSERT_TRUE(producer.create(name, makeConfig(2, 4, 64), options));
    const ChildResult result = testing::runRenderer(
        {name, nativePath(dir / "out"), native("0"), native("1000"), native("100")});
    EXPECT_EQ(result.exitCode, 3);
    EXPECT_EQ(result.err, platformNewlines("mapping_open_timeout\n"));
    EXPECT_EQ(producer.failureCode(), 1u);
    EXPECT_EQ(producer.consumerState(), 0u);
}

TEST(RendererBinary, CapturesAWholeRunAndPrintsTheSummary) {
    ScratchDir dir("run");
    const auto name = uniqueRegionName("run");
    constexpr std::uint64_t kStart = 480;
    constexpr std::uint64_t kFrames = 6000;
    const TransportConfig config = makeConfig(3, 2, 2048, 2, 48000, kStart, kStart + kFrames);

    // The renderer starts first and waits for the region.
    RendererProcess renderer(
        {name, nativePath(dir / "out"), native("0"), native("20000"), native("20000")});
    ASSERT_TRUE(renderer.started());
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    TransportProducer producer;
    ASSERT_TRUE(producer.create(name, config));
    ASSERT_TRUE(waitForConsumer(producer, kConsumerAttached));

    std::mt19937 random(3);
    std::vector<std::uint64_t> chunks(3, 0);
    for (std::uint32_t s = 0; s < 3; ++s) {
        std::uint64_t left = kFrames;
        while (left > 0) {
            // Stream 0 sends single frames first, stream 1 whole chunks, stream 2 random sizes.
            std::uint32_t frames = s == 1 ? 2048u : 1u + random() % 2048u;
            if (s == 0 && chunks[0] < 3) {
                frames = 1;
            }
            frames = static_cast<std::uint32_t>(std::min<std::uint64_t>(frames, left));
            const auto samples =
                patternChunk(s, producer.nextHeader(s, frames).firstFrame, frames, 2);
            while (!producer.tryPublish(s, samples.data(), frames)) {
                std::this_thread::yield();
            }
            left -= frames;
            ++chunks[s];
        }
        producer.closeStream(s);
    }
    const ChildResult result = renderer.wait();
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.err, "");

    // maxOccupancy is relayed from the producer, which raises it after it publishes: the value
    // read after a stream's last chunk lies between 1 and the producer's final mark.
    std::string expected = "mapping=" + std::string(name.begin(), name.end()) + ",streamCount=3\n";
    for (std::uint32_t s = 0; s < 3; ++s) {
        const std::string prefix = "streamId=" + std::to_string(s) +
                                   ",writtenChunks=" + std::to_string(chunks[s]) +
                                   ",writtenFrames=" + std::to_string(kFrames) + ",maxOccupancy=";
        const auto at = result.out.find(prefix);
        ASSERT_NE(at, std::string::npos) << result.out;
        const auto occupancy = std::stoull(result.out.substr(at + prefix.size()));
        EXPECT_GE(occupancy, 1u);
        EXPECT_LE(occupancy, producer.block(s).maxOccupancy);
        expected += prefix + std::to_string(occupancy) + "\n";
    }
    EXPECT_EQ(result.out, platformNewlines(expected));

    for (std::uint32_t s = 0; s < 3; ++s) {
        SCOPED_TRACE(s);
        const auto samples = patternChunk(s, kStart, static_cast<std::uint32_t>(kFrames), 2);
        const std::string bytes(reinterpret_cast<const char*>(samples.data()),
                                samples.size() * sizeof(float));
        const auto path = streamFilePath(dir / "out", s);
        EXPECT_EQ(readFile(path),
                  testing::wavHeaderBytes(48000, 2, static_cast<std::uint32_t>(bytes.size())) +
                      bytes);
#ifdef VASKEL_HAVE_SNDFILE
        SF_INFO info{};
        SNDFILE* file = sf_open(path.string().c_str(), SFM_READ, &info);
        ASSERT_NE(file, nullptr);
        EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
        EXPECT_EQ(info.samplerate, 48000);
        EXPECT_EQ(info.channels, 2);
        EXPECT_EQ(info.frames, static_cast<sf_count_t>(kFrames));
        std::vector<float> read(samples.size());
        EXPECT_EQ(sf_readf_float(file, read.data(), info.frames), info.frames);
        EXPECT_EQ(read, samples);
        sf_close(file);
#endif
    }
    EXPECT_EQ(readFile(dir / "out" / "render-progress.json"),
              "{\"schemaVersion\":1,\"state\":\"complete\",\"streamCount\":3,\"activeStreams\":3,"
              "\"completedStreams\":3,\"writtenFrames\":18000,\"totalFrames\":18000}");
    EXPECT_FALSE(std::filesystem::exists(dir / "out" / "render-progress.json.tmp"));
    EXPECT_EQ(producer.consumerState(), kConsumerCompleted);
    EXPECT_EQ(producer.failureCode(), 0u);
}

TEST(RendererBinary, AProducerFailurePrintsItsNameAndExitsFour) {
    ScratchDir dir("overflow");
    const auto name = uniqueRegionName("overflow");
    TransportProducer producer;
    ASSERT_TRUE(producer.create(name, makeConfig(2, 4, 64)));
    RendererProcess renderer({name, nativePath(dir / "out")});
    ASSERT_TRUE(waitForConsumer(producer, kConsumerAttached));
    producer.publishFailure(2);
    const ChildResult result = renderer.wait();
    EXPECT_EQ(result.exitCode, 4);
    EXPECT_EQ(result.err, platformNewlines("overflow\n"));
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(producer.consumerState(), kConsumerAttached);
    EXPECT_EQ(readFile(dir / "out" / "stream-1.wav"), testing::wavHeaderBytes(48000, 2, 0));
}

TEST(RendererBinary, EchoesTheMappingNameExactly) {
    // Windows: the summary redirected to a file is UTF-8, characters outside the basic plane
    // included. POSIX: a name is bytes, used and echoed unchanged, whatever their encoding.
    struct Tail {
        const char* utf8;
        const char16_t* utf16;
    };
    std::vector<Tail> tails = {
        {"\xD0\xBC\xD0\xB8\xD1\x80x", u"\u043C\u0438\u0440x"}, // Cyrillic
        {"\xE6\xB8\xB2\xE6\x9F\x93", u"\u6E32\u67D3"},         // CJK
        {"\xF0\x9F\x8E\xB5", u"\U0001F3B5"},                   // an emoji, a surrogate pair
        {"caf\xC3\xA9", u"caf\u00E9"},                         // Latin-1, one byte there
    };
    if (!testing::kWindowsTarget) {
        tails.push_back({"caf\xC3\xA9-\xFF", nullptr}); // no UTF-8 at all
    }
    for (const Tail& tail : tails) {
        SCOPED_TRACE(tail.utf8);
        const platform::NativeString prefix = uniqueRegionName("echo");
        const platform::NativeString name =
            prefix + testing::nativeText(tail.utf8, tail.utf16 != nullptr ? tail.utf16 : u"");
        ScratchDir dir("echo");
        TransportProducer producer;
        ASSERT_TRUE(producer.create(name, makeConfig(1, 1, 1, 1, 1)));
        producer.closeStream(0);
        const ChildResult result = testing::runRenderer({name, nativePath(dir / "out")});
        ASSERT_EQ(result.exitCode, 0) << result.err;
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.out,
                  platformNewlines("mapping=" + std::string(prefix.begin(), prefix.end()) +
                                   tail.utf8 +
                                   ",streamCount=1\nstreamId=0,writtenChunks=0,"
                                   "writtenFrames=0,maxOccupancy=0\n"));
    }
}

TEST(RendererBinary, ASummaryThatCannotBeWrittenIsNamedAndTheExitStaysZero) {
    if (testing::kWindowsTarget) {
        GTEST_SKIP() << "no device that refuses writes to redirect the summary into";
    }
    ScratchDir dir("full");
    const auto name = uniqueRegionName("full");
    TransportProducer producer;
    ASSERT_TRUE(producer.create(name, makeConfig(1, 1, 1, 1, 1)));
    producer.closeStream(0);
    platform::ChildProcess child = platform::ChildProcess::start(
        testing::rendererPath(), {name, nativePath(dir / "out")}, "/dev/full", dir / "stderr");
    ASSERT_TRUE(child);
    EXPECT_EQ(child.wait(), 0);
    EXPECT_EQ(readFile(dir / "stderr"), "summary_write_failed\n");
    EXPECT_EQ(producer.consumerState(), kConsumerCompleted);
}

// On Windows a file cannot be replaced while another process holds it open. The test process is
// that reader: an ordinary std::ifstream (read and write sharing, no delete sharing).
TEST(RendererBinary, TheCompleteSnapshotSurvivesAReaderOfTheProgressFile) {
    const std::string complete =
        "{\"schemaVersion\":1,\"state\":\"complete\",\"streamCount\":2,\"activeStreams\":2,"
        "\"completedStreams\":2,\"writtenFrames\":1280,\"totalFrames\":1280}";
    for (const bool releases : {true, false}) {
        SCOPED_TRACE(releases ? "the reader lets go" : "the reader holds on");
        ScratchDir dir("reader");
        const auto name = uniqueRegionName("reader");
        const auto snapshot = dir / "out" / "render-progress.json";
        const auto temporary = dir / "out" / "render-progress.json.tmp";
        TransportProducer producer;
        ASSERT_TRUE(producer.create(name, makeConfig(2, 4, 64, 2, 48000, 0, 640)));
        RendererProcess renderer({name, nativePath(dir / "out"), native("0"), native("20000")});
        // The first snapshot; an open may fail while its rename is still in progress.
        std::unique_ptr<std::ifstream> reader;
        ASSERT_TRUE(waitUntil([&] {
            reader = std::make_unique<std::ifstream>(snapshot, std::ios::binary);
            return reader->is_open();
        }));

        for (std::uint32_t chunk = 0; chunk < 10; ++chunk) {
            for (std::uint32_t s = 0; s < 2; ++s) {
                const auto samples = patternChunk(s, producer.nextHeader(s, 64).firstFrame, 64, 2);
                ASSERT_TRUE(waitUntil([&] { return producer.tryPublish(s, samples.data(), 64); }));
            }
        }
        producer.closeStream(0);
        producer.closeStream(1);
        if (releases) {
            // Let go while the renderer is retrying its final snapshot (on POSIX it never has
            // to, and completes at once).
            waitUntil([&] {
                return readFile(temporary) == complete ||
                       producer.consumerState() == kConsumerCompleted;
            });
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            reader.reset();
        }
        const ChildResult result = renderer.wait();
        reader.reset();
        ASSERT_EQ(result.exitCode, 0) << result.err;
        EXPECT_EQ(producer.consumerState(), kConsumerCompleted);
        if (testing::kWindowsTarget && !releases) {
            // Beyond the retry window: the complete snapshot waits in the temporary file.
            EXPECT_EQ(readFile(temporary), complete);
            EXPECT_NE(readFile(snapshot), complete);
        } else {
            EXPECT_EQ(readFile(snapshot), complete);
            EXPECT_FALSE(std::filesystem::exists(temporary));
        }
    }
}

} // namespace
} // namespace vaskel
