// Faults end to end, with real processes: the renderer binary fed by the vaskel_producer tool.
// One table runs every fault the tool can inject; the other tests bring the faults of the world
// around a capture: the producer killed, a full disk, an output root that cannot exist, a
// progress file that cannot be replaced, the renderer itself killed. Each checks what the user
// and the producer see (exit code, failure word, the region's failureCode and consumerState)
// and what is left on disk: every stream file holds its header and an exact prefix of the
// stream, and nothing the renderer consumed before the fault is missing.
//
// Under Wine every process start costs seconds, so there only a few rows run.
#include "output/output_paths.h"
#include "producer_test_support.h"
#include "region_watcher.h"
#include "reliability_support.h"
#include "test_platform.h"
#include "transport/transport_layout.h"

#include <algorithm>
#include <chrono>
#include <gtest/gtest.h>
#include <map>
#include <optional>
#include <thread>

namespace vaskel {
namespace {

using namespace transport;
using producer_tool::testing::outcomeLine;
using producer_tool::testing::runTool;
using testing::kWindowsTarget;
using testing::linesOf;
using testing::native;
using testing::nativePath;
using testing::producerPath;
using testing::readFile;
using testing::RegionWatcher;
using testing::ScratchDir;
using testing::uniqueName;

constexpr std::uint32_t kStreams = 3;
constexpr std::uint32_t kChunkFrames = 256;
constexpr std::uint64_t kStreamFrames = 20000;
constexpr std::uint32_t kFrameBytes = 8; // two channels of 32-bit samples
constexpr std::uint32_t kRate = 48000;

// The tool's signal and chunking: three stereo streams of 256-frame chunks, in rings of four.
std::vector<std::string> signalArguments(std::uint64_t frames) {
    return {"--streams",
            std::to_string(kStreams),
            "--frames",
            std::to_string(frames),
            "--frames-per-chunk",
            std::to_string(kChunkFrames),
            "--slots",
            "4",
            "--signal",
            "pattern",
            "--chunks",
            "fixed"};
}

// The samples of every stream from a clean run of the same signal, longer than any run below.
const std::vector<std::string>& referenceData() {
    static const std::vector<std::string> data = [] {
        std::vector<std::string> streams;
        ScratchDir root("reference");
        std::vector<std::string> arguments = signalArguments(3 * kStreamFrames);
        const std::string name = uniqueName("reference");
        arguments.insert(arguments.end(), {name, "--run-renderer", testing::rendererPath().string(),
                                           root.path().string(), "0", "20000", "20000"});
        const testing::ChildResult ended = runTool(arguments);
        EXPECT_EQ(ended.exitCode, 0) << ended.out << ended.err;
        for (std::uint32_t s = 0; s < kStreams; ++s) {
            const std::string file = readFile(streamFilePath(root.path(), s));
            EXPECT_EQ(file.size(), 44 + 3 * kStreamFrames * kFrameBytes);
            streams.push_back(file.size() > 44 ? file.substr(44) : std::string());
        }
        return streams;
    }();
    return data;
}

enum class Header { Placeholder, Final };

// Checks stream file `s`: the header, then exactly `frames` frames of the stream.
void expectStreamFile(const std::filesystem::path& root, std::uint32_t s, Header header,
                      std::uint64_t frames) {
    SCOPED_TRACE(streamFileName(s));
    const std::string file = readFile(streamFilePath(root, s));
    const auto dataSize = static_cast<std::uint32_t>(frames * kFrameBytes);
    ASSERT_EQ(file.size(), 44 + std::uint64_t{dataSize});
    EXPECT_EQ(file.substr(0, 44),
              testing::wavHeaderBytes(kRate, 2, header == Header::Final ? dataSize : 0));
    EXPECT_TRUE(file.compare(44, std::string::npos, referenceData()[s], 0, dataSize) == 0);
}

// Frames in stream file `s` when it is the placeholder header and an exact prefix of the
// stream in whole chunks; a failed check otherwise.
std::uint64_t prefixFrames(const std::filesystem::path& root, std::uint32_t s) {
    SCOPED_TRACE(streamFileName(s));
    const std::string file = readFile(streamFilePath(root, s));
    if (file.size() < 44) {
        ADD_FAILURE() << "no header: " << file.size() << " bytes";
        return 0;
    }
    EXPECT_EQ(file.substr(0, 44), testing::wavHeaderBytes(kRate, 2, 0));
    const std::uint64_t data = file.size() - 44;
    EXPECT_EQ(data % (kChunkFrames * kFrameBytes), 0u) << "a chunk was cut";
    EXPECT_TRUE(file.compare(44, std::string::npos, referenceData()[s], 0, data) == 0);
    return data / kFrameBytes;
}

bool progressSays(const std::filesystem::path& root, const std::string& state) {
    return readFile(root / "render-progress.json").find("\"state\":\"" + state + "\"") !=
           std::string::npos;
}

// ---------------------------------------------------------------------------------------------
// Every fault the tool injects, at chunk 5 of stream 1.

enum class Files {
    Rejected,    // stream 1 holds exactly its chunks 0..4; every header a placeholder
    Stopped,     // stream 1 holds at most chunks 0..4; every header a placeholder
    Stalled,     // stream 1 holds exactly chunks 0..4, the others everything; placeholders
    ShortStream, // stream 0 finalised whole; stream 1 chunks 0..4, stream 2 whole, placeholders
    Complete,    // every stream finalised whole
    NoOutput,    // the renderer never attached: no output root at all
};

struct FaultRow {
    const char* fault;
    int exitCode;
    const char* word;
    std::uint32_t failureCode;
    std::uint32_t consumerState;
    Files files;
    bool underWine;
};

const FaultRow kFaultRows[] = {
    {"sequence-gap", 4, "gap", 3, 3, Files::Rejected, true},
    {"duplicate", 4, "duplicate_or_out_of_order", 4, 3, Files::Rejected, false},
    {"frame-gap", 4, "gap", 3, 3, Files::Rejected, false},
    {"frame-overlap", 4, "duplicate_or_out_of_order", 4, 3, Files::Rejected, false},
    {"wrong-stream-id", 4, "protocol_mismatch", 1, 3, Files::Rejected, false},
    {"wrong-channels", 4, "protocol_mismatch", 1, 3, Files::Rejected, false},
    {"zero-frames", 4, "protocol_mismatch", 1, 3, Files::Rejected, false},
    {"too-many-frames", 4, "protocol_mismatch", 1, 3, Files::Rejected, false},
    {"wrong-bits", 4, "protocol_mismatch", 1, 3, Files::Rejected, false},
    {"abort", 4, "producer_abort", 6, 1, Files::Stopped, false},
    {"publish-failure", 4, "overflow", 2, 1, Files::Stopped, false},
    {"stall", 4, "producer_abort", 6, 1, Files::Stalled, true},
    {"short-stream", 4, "logical_range_mismatch", 5, 1, Files::ShortStream, true},
    {"header-rewrite", 0, "", 0, 2, Files::Complete, true},
    {"wrong-version", 3, "mapping_open_timeout", 1, 0, Files::NoOutput, false},
    {"invalid-config", 3, "mapping_open_timeout", 1, 0, Files::NoOutput, false},
    {"short-region", 3, "mapping_open_timeout", 0, 0, Files::NoOutput, false},
};

TEST(FaultMatrix, EveryInjectedFaultEndsWithItsNameCodeStatesAndFiles) {
    for (const FaultRow& row : kFaultRows) {
        if (kWindowsTarget && !row.underWine) {
            continue;
        }
        SCOPED_TRACE(row.fault);
        ScratchDir scratch("matrix");
        const std::filesystem::path root = scratch / "out";
        const bool attaches = row.files != Files::NoOutput;
        std::vector<std::string> arguments = signalArguments(kStreamFrames);
        arguments.insert(arguments.end(),
                         {"--fault", row.fault, "--fault-stream", "1", "--fault-chunk", "5",
                          "--timeout-ms", attaches ? "30000" : "1000", uniqueName("matrix"),
                          "--run-renderer", testing::rendererPath().string(), root.string(), "0",
                          row.fault == std::string("stall") ? "1000" : "20000",
                          attaches ? "20000" : "300"});
        const testing::ChildResult ended = runTool(arguments);

        const auto outcome = outcomeLine(ended.out);
        EXPECT_EQ(ended.exitCode, row.exitCode) << ended.out << ended.err;
        EXPECT_EQ(outcome.count("rendererExit") ? outcome.at("rendererExit") : "",
                  std::to_string(row.exitCode));
        EXPECT_EQ(outcome.count("failureCode") ? outcome.at("failureCode") : "",
                  std::to_string(row.failureCode));
        EXPECT_EQ(outcome.count("consumerState") ? outcome.at("consumerState") : "",
                  std::to_string(row.consumerState));
        const std::vector<std::string> errors = linesOf(ended.err);
        if (row.exitCode == 0) {
            EXPECT_EQ(ended.err, "");
            EXPECT_NE(ended.out.find("streamCount=3"), std::string::npos);
        } else {
            // The renderer's own word comes first; it printed no summary.
            ASSERT_FALSE(errors.empty());
            EXPECT_EQ(errors.front(), row.word);
            EXPECT_EQ(ended.out.find("mapping="), std::string::npos);
        }

        const std::uint64_t before = 5 * kChunkFrames;
        switch (row.files) {
        case Files::Rejected:
        case Files::Stopped: {
            const std::uint64_t frames = prefixFrames(root, 1);
            if (row.files == Files::Rejected) {
                EXPECT_EQ(frames, before);
            } else {
                EXPECT_LE(frames, before);
            }
            prefixFrames(root, 0);
            prefixFrames(root, 2);
            EXPECT_TRUE(progressSays(root, "capturing"));
            break;
        }
        case Files::Stalled:
        case Files::ShortStream:
            // Stream 0 completed; only a short stream lets the capture finalise it.
            expectStreamFile(root, 0,
                             row.files == Files::ShortStream ? Header::Final : Header::Placeholder,
                             kStreamFrames);
            expectStreamFile(root, 1, Header::Placeholder, before);
            expectStreamFile(root, 2, Header::Placeholder, kStreamFrames);
            EXPECT_TRUE(progressSays(root, "capturing"));
            break;
        case Files::Complete:
            for (std::uint32_t s = 0; s < kStreams; ++s) {
                expectStreamFile(root, s, Header::Final, kStreamFrames);
            }
            EXPECT_EQ(readFile(root / "render-progress.json"),
                      "{\"schemaVersion\":1,\"state\":\"complete\",\"streamCount\":3,"
                      "\"activeStreams\":3,\"completedStreams\":3,\"writtenFrames\":60000,"
                      "\"totalFrames\":60000}");
            break;
        case Files::NoOutput:
            EXPECT_FALSE(std::filesystem::exists(root));
            break;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// The world around the capture.

// The tool producing into a region that this test watches, for a renderer that the test starts
// on its own once the watcher holds the region: the watcher then outlives every other user, so
// the ring indices can be read whatever ended first.
struct WatchedCapture {
    ScratchDir scratch{"watched"};
    std::string name = uniqueName("watched");
    testing::RunningChild tool;
    RegionWatcher watcher;

    // `paced`: the tool renders in real time, so a capture is still running when a test acts.
    WatchedCapture(bool paced, const std::string& toolTimeoutMs)
        : tool(producerPath(), testing::nativeWords(toolArguments(paced, toolTimeoutMs))),
          watcher(native(name)) {}

    std::vector<std::string> toolArguments(bool paced, const std::string& toolTimeoutMs) const {
        std::vector<std::string> arguments =
            signalArguments(paced ? 2 * kStreamFrames : kStreamFrames);
        if (paced) {
            arguments.insert(arguments.end(), {"--pace", "1"});
        }
        arguments.insert(arguments.end(), {"--timeout-ms", toolTimeoutMs, name});
        return arguments;
    }

    std::vector<platform::NativeString> rendererArguments(const std::filesystem::path& root,
                                                          const std::string& idleMs) const {
        return {native(name), nativePath(root), native("0"), native(idleMs), native("10000")};
    }

    // Waits until every stream has given the renderer 20 chunks, about 100 ms of sound.
    bool flowing() const {
        return RegionWatcher::waitFor([&] {
            for (std::uint32_t s = 0; s < kStreams; ++s) {
                if (watcher.readIndex(s) < 20) {
                    return false;
                }
            }
            return true;
        });
    }
};

// A paced capture under way: once the region is watched, the renderer drains it into `root`,
// and every stream has given it 20 chunks.
struct FlowingCapture : WatchedCapture {
    FlowingCapture() : WatchedCapture(true, "30000") {}

    // Starts the renderer with an idle timeout of `idleMs`; false when the region could not be
    // watched (the renderer is then not started) or the streams never flowed.
    bool start(const std::string& idleMs) {
        if (!watcher.watching()) {
            return false;
        }
        renderer.emplace(rendererArguments(root, idleMs));
        return flowing();
    }

    const std::filesystem::path root = scratch / "out";
    std::optional<testing::RendererProcess> renderer;
};

TEST(FaultMatrix, ProducerKilledMidCaptureEndsInProducerAbortWithEveryConsumedSample) {
    FlowingCapture live;
    ASSERT_TRUE(live.start("1500"));
    const std::filesystem::path& root = live.root;
    live.tool.kill();
    live.tool.wait();

    const testing::ChildResult ended = live.renderer->wait();
    vaskel::testing::removeRegionName(native(live.name)); // the killed producer could not
    EXPECT_EQ(ended.exitCode, 4);
    EXPECT_EQ(ended.err, testing::platformNewlines("producer_abort\n"));
    EXPECT_EQ(ended.out, "");
    EXPECT_EQ(live.watcher.failureCode(), 6u);
    EXPECT_EQ(live.watcher.consumerState(), kConsumerAttached);
    for (std::uint32_t s = 0; s < kStreams; ++s) {
        // Everything the producer published before it died was drained, and is on disk.
        EXPECT_EQ(live.watcher.readIndex(s), live.watcher.writeIndex(s));
        EXPECT_EQ(prefixFrames(root, s), live.watcher.readIndex(s) * kChunkFrames);
    }
    EXPECT_TRUE(progressSays(root, "capturing"));
}

TEST(FaultMatrix, RendererKilledMidCaptureLeavesHeadersAndWholeChunks) {
    FlowingCapture live;
    ASSERT_TRUE(live.start("20000"));
    const std::filesystem::path& root = live.root;
    live.renderer->kill();
    EXPECT_EQ(live.renderer->wait().exitCode, kWindowsTarget ? 137 : -1);
    live.tool.kill();
    live.tool.wait();
    vaskel::testing::removeRegionName(native(live.name));

    for (std::uint32_t s = 0; s < kStreams; ++s) {
        // A chunk's bytes are handed to the system before its slot is released, and a stream's
        // chunks go out in one write of at most 16: the file holds every released chunk and at
        // most those of the write being made.
        const std::uint64_t chunks = prefixFrames(root, s) / kChunkFrames;
        const std::uint64_t released = live.watcher.readIndex(s);
        EXPECT_GE(chunks, released);
        EXPECT_LE(chunks, released + 16);
    }
    EXPECT_EQ(live.watcher.consumerState(), kConsumerAttached);
}

// A whole capture of the fixed signal into `root`, the region watched throughout.
struct WholeCapture {
    WatchedCapture capture{false, "30000"};
    testing::ChildResult renderer;
    testing::ChildResult tool;

    // `fileLimit`: every file the renderer writes is limited to that many bytes, as on a disk
    // that is full beyond them.
    explicit WholeCapture(const std::filesystem::path& root,
                          std::optional<std::uint64_t> fileLimit = std::nullopt) {
        if (capture.watcher.watching()) {
            if (fileLimit) {
                EXPECT_TRUE(testing::limitFileSize(fileLimit));
            }
            testing::RendererProcess child(capture.rendererArguments(root, "20000"));
            if (fileLimit) {
                EXPECT_TRUE(testing::limitFileSize(std::nullopt));
            }
            renderer = child.wait();
        }
        tool = capture.tool.wait();
    }
    const RegionWatcher& region() const { return capture.watcher; }
};

// What renderer, tool and region show after an output error: the failure's name alone on the
// first line, then the file it concerns (its name starting with `file`) and the system's reason.
void expectWriterFailure(const WholeCapture& run, const std::string& file) {
    EXPECT_EQ(run.renderer.exitCode, 4) << run.renderer.out << run.renderer.err;
    const std::vector<std::string> lines = linesOf(run.renderer.err);
    ASSERT_EQ(lines.size(), 2u) << run.renderer.err;
    EXPECT_EQ(lines[0], "writer_failure");
    const std::string named = "writer_failure: " + file;
    EXPECT_EQ(lines[1].substr(0, named.size()), named) << lines[1];
    EXPECT_GT(lines[1].size(), named.size() + 4) << "no reason: " << lines[1];
    EXPECT_EQ(outcomeLine(run.tool.out)["outcome"], "capture_failed");
    EXPECT_EQ(run.region().failureCode(), 7u);
    EXPECT_EQ(run.region().consumerState(), kConsumerFailed);
}

TEST(FaultMatrix, FullDiskEndsInWriterFailureWithNothingConsumedLost) {
    ScratchDir scratch("full");
    const std::filesystem::path root = scratch / "out";
    // No stream file may grow beyond ten chunks: the eleventh write fails, as on a full disk.
    constexpr std::uint64_t kRoom = 10;
    if (!testing::limitFileSize(std::nullopt)) {
        GTEST_SKIP() << "no file size limit on this platform";
    }

    const WholeCapture run(root, 44 + kRoom * kChunkFrames * kFrameBytes);
    ASSERT_TRUE(run.region().watching());
    const RegionWatcher* watcher = &run.region();
    expectWriterFailure(run, "stream-");
    // Every file holds the chunks released and nothing else: the chunks of the write that
    // failed were not released, and what of them reached the file before the limit is cut
    // back off.
    std::uint64_t longest = 0;
    for (std::uint32_t s = 0; s < kStreams; ++s) {
        const std::uint64_t chunks = prefixFrames(root, s) / kChunkFrames;
        EXPECT_EQ(chunks, watcher->readIndex(s)) << "stream " << s;
        longest = std::max(longest, chunks);
    }
    EXPECT_LE(longest, kRoom);
    EXPECT_GE(longest, kRoom - 2);
    EXPECT_TRUE(progressSays(root, "capturing"));
}

TEST(FaultMatrix, OutputRootBelowARegularFileEndsInWriterFailureBeforeAnyChunk) {
    ScratchDir scratch("below-file");
    testing::writeFile(scratch / "file", "not a directory");
    const std::filesystem::path root = scratch / "file" / "out";

    const WholeCapture run(root);
    ASSERT_TRUE(run.region().watching());
    const RegionWatcher* watcher = &run.region();
    const std::u8string named = root.u8string();
    expectWriterFailure(run, std::string(named.begin(), named.end()));
    for (std::uint32_t s = 0; s < kStreams; ++s) {
        EXPECT_EQ(watcher->readIndex(s), 0u);
    }
    EXPECT_EQ(readFile(scratch / "file"), "not a directory");
}

TEST(FaultMatrix, ProgressFileThatCannotBeReplacedLeavesTheCaptureWhole) {
    ScratchDir scratch("progress");
    const std::filesystem::path root = scratch / "out";
    // A non-empty directory where the snapshot goes: no rename can replace it.
    std::filesystem::create_directories(root / "render-progress.json" / "keep");

    const WholeCapture run(root);
    ASSERT_TRUE(run.region().watching());
    const RegionWatcher* watcher = &run.region();
    EXPECT_EQ(run.renderer.exitCode, 0) << run.renderer.out << run.renderer.err;
    EXPECT_EQ(linesOf(run.renderer.out).size(), 1u + kStreams);
    EXPECT_EQ(outcomeLine(run.tool.out)["outcome"], "completed");
    EXPECT_EQ(watcher->consumerState(), kConsumerCompleted);
    for (std::uint32_t s = 0; s < kStreams; ++s) {
        expectStreamFile(root, s, Header::Final, kStreamFrames);
    }
    EXPECT_TRUE(std::filesystem::is_directory(root / "render-progress.json" / "keep"));
    // The last snapshot reached its temporary file.
    EXPECT_EQ(readFile(root / "render-progress.json.tmp"),
              "{\"schemaVersion\":1,\"state\":\"complete\",\"streamCount\":3,"
              "\"activeStreams\":3,\"completedStreams\":3,\"writtenFrames\":60000,"
              "\"totalFrames\":60000}");
}

} // namespace
} // namespace vaskel
