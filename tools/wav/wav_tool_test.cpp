// vaskel_wav as users meet it: the binary on captures stopped in every way a capture can stop,
// on an RF64-sized sparse file with a repair that crashes half-way, and on what it must refuse.
#include "output/output_paths.h"
#include "output/wav_format.h"
#include "platform/time.h"
#include "producer/transport_producer.h"
#include "producer_test_support.h"
#include "reliability_support.h"
#include "test_support.h"
#include "tools/producer/signal_source.h"
#include "wavfile/wav_repair.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <iostream>
#include <limits>
#include <optional>
#include <thread>

#ifdef VASKEL_HAVE_SNDFILE
#include <sndfile.h>
#endif

namespace vaskel {
namespace {

using testing::kWindowsTarget;
using testing::nativeWords;
using testing::producerPath;
using testing::ScratchDir;

std::filesystem::path wavToolPath() {
    return platform::currentExecutablePath().parent_path() / ("vaskel_wav" VASKEL_EXE_SUFFIX);
}

testing::ChildResult runWav(const std::vector<platform::NativeString>& arguments) {
    return testing::runChild(wavToolPath(), arguments);
}

testing::ChildResult runWav(const std::string& command, const std::filesystem::path& path) {
    return runWav({testing::native(command), testing::nativePath(path)});
}

std::string fileBytes(const std::filesystem::path& path) {
    return testing::readFile(path);
}

// --- recovery end to end -----------------------------------------------------------------------

[[maybe_unused]] producer_tool::SignalSettings recoverySignal() {
    producer_tool::SignalSettings signal;
    signal.kind = producer_tool::SignalKind::Pattern;
    signal.streams = 2;
    signal.channels = 2;
    signal.frames = 96000;
    signal.endFrame = 96000;
    return signal;
}

std::vector<std::string> producerWords(const std::string& name, const std::string& pace) {
    return {name,  "--streams", "2",       "--frames", "96000", "--frames-per-chunk",
            "256", "--signal",  "pattern", "--pace",   pace,    "--timeout-ms",
            "1500"};
}

enum class Stop { ProducerKilled, IdleTimeout, RejectedChunk, Abort, RendererKilled, Interrupted };

struct StopCase {
    std::string name;
    Stop stop;
    // Exact frames of stream 1 when the way of stopping fixes them; 0 when timing decides.
    std::uint64_t stream1Frames;
};

void PrintTo(const StopCase& c, std::ostream* out) {
    *out << c.name;
}

// Runs a capture of recoverySignal() into `root` and stops it the given way.
void stoppedCapture(const StopCase& c, const std::filesystem::path& root) {
    const platform::NativeString region = testing::uniqueRegionName("wav-" + c.name);
    const std::string name = std::filesystem::path(region).string(); // ASCII, for the tool's words
    const auto renderer = testing::rendererPath();
    const std::string rootText = root.string();
    auto faulted = [&](const std::string& fault, const std::string& idleMs) {
        auto words = producerWords(name, "0");
        for (const std::string word : {"--fault", fault.c_str(), "--fault-stream", "1",
                                       "--fault-chunk", "40", "--run-renderer"}) {
            words.push_back(word);
        }
        for (const std::string& word : {renderer.string(), rootText, std::string("0"), idleMs}) {
            words.push_back(word);
        }
        const auto result = producer_tool::testing::runTool(words);
        EXPECT_EQ(result.exitCode, 4) << result.out << result.err;
    };
    switch (c.stop) {
    case Stop::IdleTimeout:
        return faulted("stall", "300");
    case Stop::RejectedChunk:
        return faulted("sequence-gap", "5000");
    case Stop::Abort:
        return faulted("abort", "5000");
    case Stop::ProducerKilled:
    case Stop::RendererKilled:
    case Stop::Interrupted:
        break;
    }
    testing::RunningChild producer(producerPath(), nativeWords(producerWords(name, "1")));
    ASSERT_TRUE(producer.started());
    testing::RendererProcess rendererChild({region, testing::nativePath(root), testing::native("0"),
                                            testing::native("400"), testing::native("5000")});
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    if (c.stop == Stop::ProducerKilled) {
        producer.kill();
        EXPECT_EQ(rendererChild.wait().err, "producer_abort\n");
        producer.wait();
        vaskel::testing::removeRegionName(region); // a killed producer leaves its name behind
        return;
    }
    if (c.stop == Stop::RendererKilled) {
        rendererChild.kill();
    } else {
        ASSERT_TRUE(rendererChild.interrupt(testing::StopSignal::Interrupt));
    }
    const auto ended = rendererChild.wait();
    EXPECT_EQ(ended.exitCode, c.stop == Stop::Interrupted ? 130 : -1) << ended.err;
    producer.wait();
}

#ifdef VASKEL_HAVE_SNDFILE
// Every sample libsndfile reads is the one published, bit for bit; returns the frame count.
std::uint64_t expectPublishedPrefix(const std::filesystem::path& path, std::uint32_t stream) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    EXPECT_NE(file, nullptr) << path << ": " << sf_strerror(nullptr);
    if (file == nullptr) {
        return 0;
    }
    std::vector<float> read(static_cast<std::size_t>(info.frames) * 2);
    EXPECT_EQ(sf_readf_float(file, read.data(), info.frames), info.frames);
    sf_close(file);
    std::vector<float> published;
    producer_tool::renderFrames(recoverySignal(), stream, 0,
                                static_cast<std::uint32_t>(info.frames), published);
    EXPECT_TRUE(std::memcmp(read.data(), published.data(), read.size() * 4) == 0) << path;
    return static_cast<std::uint64_t>(info.frames);
}
#endif

class CaptureRecovery : public ::testing::TestWithParam<StopCase> {};

TEST_P(CaptureRecovery, RepairMakesEveryConsumedFrameReadable) {
    if (kWindowsTarget) {
        GTEST_SKIP() << "Linux only: it starts several processes, seconds each under Wine";
    }
    const StopCase& c = GetParam();
    ScratchDir root("wav-recovery");
    stoppedCapture(c, root.path());

    const auto before = runWav("check", root.path());
    EXPECT_EQ(before.exitCode, 1) << before.out << before.err;
    std::vector<std::uint64_t> framesOnDisk;
    for (std::uint32_t i = 0; i < 2; ++i) {
        const platform::ErrorOr<WavLayout> head = readStreamHead(streamFilePath(root.path(), i));
        ASSERT_TRUE(head);
        const WavLayout& layout = *head;
        EXPECT_EQ(layout.state, HeaderState::Placeholder);
        framesOnDisk.push_back(layout.frames);
    }

    const auto repair = runWav("repair", root.path());
    EXPECT_EQ(repair.exitCode, 0) << repair.out << repair.err;
    const auto after = runWav("check", root.path());
    EXPECT_EQ(after.exitCode, 0) << after.out << after.err;
    EXPECT_NE(after.out.find("render-progress.json: capturing"), std::string::npos) << after.out;
#ifdef VASKEL_HAVE_SNDFILE
    for (std::uint32_t i = 0; i < 2; ++i) {
        const auto frames = expectPublishedPrefix(streamFilePath(root.path(), i), i);
        EXPECT_EQ(frames, framesOnDisk[i]);
        EXPECT_GT(frames, 0u);
        if (i == 1 && c.stream1Frames != 0) {
            EXPECT_EQ(frames, c.stream1Frames);
        }
    }
#endif
}

INSTANTIATE_TEST_SUITE_P(EveryWayACaptureStops, CaptureRecovery,
                         ::testing::Values(StopCase{"producer_killed", Stop::ProducerKilled, 0},
                                           StopCase{"idle_timeout", Stop::IdleTimeout, 40 * 256},
                                           StopCase{"rejected_chunk", Stop::RejectedChunk,
                                                    40 * 256},
                                           StopCase{"abort", Stop::Abort, 0},
                                           StopCase{"renderer_killed", Stop::RendererKilled, 0},
                                           StopCase{"renderer_interrupted", Stop::Interrupted, 0}),
                         [](const auto& param) { return param.param.name; });

// A capture holds its files locked: check says so, repair refuses to touch them (a repair that
// cut a half-written frame would leave a hole in the audio), and the capture completes exactly.
// The test is the producer and holds the second half back until the repairs are done, so the
// capture is running whatever a process start costs (seconds under Wine).
TEST(WavToolBesideARunningCapture, RepairRefusesAndTheCaptureCompletesExactly) {
    ScratchDir root("wav-live");
    const platform::NativeString region = testing::uniqueRegionName("wav-live");
    constexpr std::uint64_t kFrames = 384 * 256; // two halves of whole chunks
    constexpr std::uint32_t kChunk = 256;
    producer::TransportProducer producer;
    ASSERT_TRUE(producer.create(region, testing::makeConfig(2, 16, kChunk, 2, 48000, 0, kFrames)));
    testing::RendererProcess renderer(
        {region, testing::nativePath(root.path()), testing::native("0"), testing::native("60000")});
    ASSERT_TRUE(renderer.started());
    std::uint64_t next[2] = {0, 0};
    const auto publishUntil = [&](std::uint64_t end) {
        const auto deadline = platform::Deadline::after(60'000'000'000);
        while ((next[0] < end || next[1] < end) && !deadline.expired()) {
            bool published = false;
            for (std::uint32_t s = 0; s < 2; ++s) {
                if (next[s] < end && testing::publishPattern(producer, s, kChunk)) {
                    next[s] += kChunk;
                    published = true;
                }
            }
            if (!published) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
        ASSERT_EQ(next[0], end);
        ASSERT_EQ(next[1], end);
    };
    publishUntil(kFrames / 2);
    const auto stream0 = streamFilePath(root.path(), 0);
    for (int i = 0; i < 5000 && !(std::filesystem::exists(stream0) &&
                                  std::filesystem::file_size(stream0) > 4 * kWavHeaderSize);
         ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    const auto check = runWav("check", root.path());
    EXPECT_EQ(check.exitCode, 1) << check.out << check.err;
    EXPECT_NE(check.out.find("stream-0.wav: in use by a capture or a repair"), std::string::npos)
        << check.out;
    for (int i = 0; i < 3; ++i) {
        const auto repair = runWav("repair", root.path());
        EXPECT_EQ(repair.exitCode, 1) << repair.out << repair.err;
        EXPECT_NE(repair.out.find("stream-1.wav: not repaired, left as it was: in use by a capture "
                                  "or a repair"),
                  std::string::npos)
            << repair.out;
    }
    publishUntil(kFrames);
    producer.closeStream(0);
    producer.closeStream(1);
    const auto ended = renderer.wait();
    EXPECT_EQ(ended.exitCode, 0) << ended.err;
    const auto after = runWav("check", root.path());
    EXPECT_EQ(after.exitCode, 0) << after.out << after.err;
    for (std::uint32_t i = 0; i < 2; ++i) {
        const platform::ErrorOr<WavLayout> head = readStreamHead(streamFilePath(root.path(), i));
        ASSERT_TRUE(head);
        const WavLayout& layout = *head;
        EXPECT_EQ(layout.frames, kFrames);
#ifdef VASKEL_HAVE_SNDFILE
        EXPECT_EQ(expectPublishedPrefix(streamFilePath(root.path(), i), i), kFrames);
#endif
    }
}

// --- RF64 ----------------------------------------------------------------------------------------

// One stereo frame with values that say where they are.
std::array<float, 2> markFrame(std::uint64_t frame) {
    return {static_cast<float>(frame % 1000003) / 1000003.0f, -0.5f};
}

// The fields of an RF64 header by their definitions, read from the file itself.
void expectRf64Fields(const std::filesystem::path& path, std::uint64_t frames) {
    std::ifstream file(path, std::ios::binary);
    std::array<std::uint8_t, kRf64HeaderSize> head{};
    file.read(reinterpret_cast<char*>(head.data()), head.size());
    const auto field = [&head](std::size_t at, int bytes) {
        std::uint64_t value = 0;
        for (int i = bytes - 1; i >= 0; --i) {
            value = value << 8 | head[at + static_cast<std::size_t>(i)];
        }
        return value;
    };
    const std::uint64_t size = std::filesystem::file_size(path);
    EXPECT_EQ(size, kRf64HeaderSize + frames * 8);
    EXPECT_EQ(field(4, 4), 0xFFFFFFFFu);  // RIFF size: see ds64
    EXPECT_EQ(field(16, 4), 28u);         // ds64 chunk size
    EXPECT_EQ(field(20, 8), size - 8);    // RIFF size: all after its own field
    EXPECT_EQ(field(28, 8), frames * 8);  // data size
    EXPECT_EQ(field(36, 8), frames);      // sample count: frames per channel
    EXPECT_EQ(field(44, 4), 0u);          // table length
    EXPECT_EQ(field(76, 4), 0xFFFFFFFFu); // data size: see ds64
    EXPECT_EQ(field(64, 4), 48000u * 8);  // byte rate
}

// What a shell command prints, for the tools the test reads a file with.
std::string commandOutput(const std::string& command, const std::filesystem::path& scratch) {
    const auto out = scratch / "command-output";
    EXPECT_EQ(std::system((command + " > '" + out.string() + "' 2>&1").c_str()), 0) << command;
    return testing::readFile(out);
}

TEST(WavToolRf64, SparseStreamBeyondTheRiffLimitSurvivesACrashedRepair) {
    if (kWindowsTarget) {
        GTEST_SKIP() << "Linux only: a 4 GiB copy under Wine takes minutes";
    }
#ifdef VASKEL_SANITIZED
    GTEST_SKIP() << "run in the plain build: checking 4 GiB of samples takes minutes here";
#endif
    ScratchDir dir("wav-rf64");
    const auto path = dir / "stream-0.wav";
    const std::uint64_t frames = kMaxWavDataSize / 8 + 1000;
    // The last marks lie well before the end, so the copy ends in a run of zeros it skips.
    const std::vector<std::uint64_t> marked = {0, 1, 268435456, 536870000, frames - 700000};
    {
        const auto header = makeWavHeader(48000, 2, 0);
        std::ofstream file(path, std::ios::binary);
        file.write(reinterpret_cast<const char*>(header.data()), header.size());
        for (const std::uint64_t frame : marked) {
            const auto values = markFrame(frame);
            file.seekp(static_cast<std::streamoff>(kWavHeaderSize + frame * 8));
            file.write(reinterpret_cast<const char*>(values.data()), 8);
        }
        file.seekp(static_cast<std::streamoff>(kWavHeaderSize + frames * 8 - 1));
        file.put('\0');
    }
    ASSERT_EQ(std::filesystem::file_size(path), kWavHeaderSize + frames * 8);
    const auto readMarks = [&](std::uint64_t dataOffset) {
        std::ifstream file(path, std::ios::binary);
        std::string marks;
        for (const std::uint64_t frame : marked) {
            char bytes[8];
            file.seekg(static_cast<std::streamoff>(dataOffset + frame * 8));
            file.read(bytes, 8);
            marks.append(bytes, 8);
        }
        return marks;
    };
    const std::string marksBefore = readMarks(kWavHeaderSize);

    // No room for the copy: the system's reason, nothing changed.
    const std::string immutable = "chattr +i '" + dir.path().string() + "' 2>/dev/null";
    if (std::system(immutable.c_str()) == 0) {
        const auto refused = runWav("repair", path);
        std::system(("chattr -i '" + dir.path().string() + "'").c_str());
        EXPECT_EQ(refused.exitCode, 1);
        EXPECT_NE(refused.out.find("could not be created beside it: Operation not permitted"),
                  std::string::npos)
            << refused.out;
    }

    // Killed a quarter of the way through its copy: the original is as it was.
    RepairOptions crashing;
    crashing.progress = [](std::uint64_t done, std::uint64_t) {
        if (done >= (std::uint64_t{1} << 30)) {
            std::_Exit(3);
        }
    };
    EXPECT_EXIT(repairStreamFile(path, crashing), ::testing::ExitedWithCode(3), "");
    platform::ErrorOr<WavLayout> layout = readStreamHead(path);
    ASSERT_TRUE(layout);
    EXPECT_EQ(layout->state, HeaderState::Placeholder);
    EXPECT_EQ(std::filesystem::file_size(path), kWavHeaderSize + frames * 8);
    EXPECT_EQ(readMarks(kWavHeaderSize), marksBefore);
    ASSERT_EQ(leftoverRepairTemporaries(path).size(), 1u);
    const auto leftover = runWav("check", path);
    EXPECT_NE(
        leftover.out.find("leftover temporary of a repair that stopped: stream-0.wav.repair-"),
        std::string::npos)
        << leftover.out;

    // The next run removes the leftover and completes, its copy on disk before the rename, the
    // original's owner and mode kept and a link planted at the old temporary name not followed;
    // a third finds nothing to do.
    testing::writeFile(dir / "victim.txt", "victim");
    std::filesystem::create_symlink("victim.txt", dir / "stream-0.wav.repair");
    const auto ownership = "stat -c '%u:%g %a' '" + path.string() + "'";
    std::system(
        ("chown 1234:5678 '" + path.string() + "' && chmod 640 '" + path.string() + "'").c_str());
    const std::string ownerBefore = commandOutput(ownership, dir.path());
    EXPECT_EQ(ownerBefore, "1234:5678 640\n") << "the test runs as root";
    const auto trace = dir / "trace";
    // LeakSanitizer cannot run under a tracer; the sanitizer build's other checks still do.
    const auto repaired = commandOutput(
        "ASAN_OPTIONS=\"${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0\" "
        "strace -f -y -e trace=fsync,fdatasync,rename,renameat,"
        "renameat2 -o '" +
            trace.string() + "' '" + wavToolPath().string() + "' repair '" + path.string() + "'",
        dir.path());
    EXPECT_NE(repaired.find("a leftover temporary of a repair that stopped, removed"),
              std::string::npos)
        << repaired;
    EXPECT_NE(repaired.find("rewritten as RF64: " + std::to_string(frames) + " frames"),
              std::string::npos)
        << repaired;
    std::optional<std::size_t> synced, renamed;
    const auto calls = testing::linesOf(testing::readFile(trace));
    for (std::size_t i = 0; i < calls.size(); ++i) {
        if (calls[i].find(".repair-") == std::string::npos) {
            continue;
        }
        if (calls[i].find("sync(") != std::string::npos && !synced) {
            synced = i;
        } else if (calls[i].find("rename") != std::string::npos) {
            renamed = i;
        }
    }
    ASSERT_TRUE(synced && renamed) << testing::readFile(trace);
    EXPECT_LT(*synced, *renamed) << testing::readFile(trace);
    EXPECT_TRUE(leftoverRepairTemporaries(path).empty());
    EXPECT_EQ(commandOutput(ownership, dir.path()), ownerBefore);
    EXPECT_EQ(testing::readFile(dir / "victim.txt"), "victim");
    EXPECT_FALSE(std::filesystem::is_symlink(path));
    layout = readStreamHead(path);
    ASSERT_TRUE(layout);
    EXPECT_EQ(layout->state, HeaderState::Finalised);
    EXPECT_TRUE(layout->rf64);
    EXPECT_EQ(layout->frames, frames);
    expectRf64Fields(path, frames);
    EXPECT_EQ(readMarks(kRf64HeaderSize), marksBefore);
    // Holes stay holes: a few MiB allocated of over 4 GiB.
    const auto allocatedKib =
        std::stoull(commandOutput("du -k '" + path.string() + "'", dir.path()));
    EXPECT_LT(allocatedKib, 64u << 10);
    const auto again = runWav("repair", path);
    EXPECT_EQ(again.exitCode, 0);
    EXPECT_NE(again.out.find("finalised, left as it is"), std::string::npos) << again.out;
#ifdef VASKEL_HAVE_SNDFILE
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
    EXPECT_EQ(info.format & SF_FORMAT_TYPEMASK, SF_FORMAT_RF64);
    EXPECT_EQ(info.format & SF_FORMAT_SUBMASK, SF_FORMAT_FLOAT);
    EXPECT_EQ(static_cast<std::uint64_t>(info.frames), frames);
    for (const std::uint64_t frame : marked) {
        std::array<float, 2> values{};
        ASSERT_EQ(sf_seek(file, static_cast<sf_count_t>(frame), SEEK_SET),
                  static_cast<sf_count_t>(frame));
        ASSERT_EQ(sf_readf_float(file, values.data(), 1), 1);
        EXPECT_EQ(values, markFrame(frame)) << "frame " << frame;
    }
    sf_close(file);
#endif
}

// --- refusals and the command line ---------------------------------------------------------------

// Makes a file unwritable even for root (the immutable flag on Linux, the read-only attribute on
// Windows); false when this machine cannot.
bool setUnwritable(const std::filesystem::path& path, bool unwritable) {
    using std::filesystem::perms;
    std::error_code error;
    std::filesystem::permissions(
        path, unwritable ? perms::owner_read : perms::owner_read | perms::owner_write, error);
    if (!kWindowsTarget) {
        const std::string command = std::string("chattr ") + (unwritable ? "+i '" : "-i '") +
                                    path.string() + "' 2>/dev/null";
        [[maybe_unused]] const int ignored = std::system(command.c_str());
    }
    std::ofstream probe(path, std::ios::binary | std::ios::app);
    return probe.is_open() != unwritable;
}

std::string withField(std::string bytes, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes[at + i] = static_cast<char>(value >> (8 * i));
    }
    return bytes;
}

std::string headerBytes(std::uint32_t dataSize) {
    const auto header = makeWavHeader(48000, 2, dataSize);
    return std::string(reinterpret_cast<const char*>(header.data()), header.size());
}

struct CommandCase {
    std::string name;
    std::string file;                 // content of x.wav; "<dir>" an empty directory
    std::vector<std::string> command; // "PATH" stands for x.wav
    int exitCode;
    std::string says; // on standard output or standard error
};

TEST(WavToolCommandLine, RefusesWithAMessageAndChangesNothing) {
    const std::string frames(800, '\x11');
    std::string pcm16 = withField(headerBytes(800), 20, 0x00020001);
    pcm16 = withField(pcm16, 32, 0x00100004) + frames;
    const std::vector<CommandCase> cases = {
        {"finalised", headerBytes(800) + frames, {"repair", "PATH"}, 0, "finalised, left as it is"},
        {"pcm16",
         pcm16,
         {"repair", "PATH"},
         1,
         "refused, left untouched: not a stream file of ours: its samples are not 32-bit float "
         "(format 1, 16 bits)"},
        {"mp3",
         "ID3\x04" + std::string(60, '\0') + frames,
         {"repair", "PATH"},
         1,
         "not a RIFF/WAVE file"},
        {"truncated_header",
         headerBytes(0).substr(0, 40),
         {"repair", "PATH"},
         1,
         "its header is cut short (40 of 44 bytes)"},
        // A capture stopped before its first stream file was made: nothing to recover.
        {"directory_without_stream_files",
         "<dir>",
         {"repair", "PATH"},
         0,
         "no stream files (stream-<i>.wav) in"},
        // Stopped before the header reached the disk: a stream with nothing to recover.
        {"repair_empty_file", std::string(), {"repair", "PATH"}, 0, "empty: the capture stopped"},
        {"check_empty_file", std::string(), {"check", "PATH"}, 1, "x.wav: empty: the capture"},
        {"unwritable",
         headerBytes(0) + frames,
         {"repair", "PATH"},
         1,
         "not repaired, left as it was: cannot be opened for writing"},
        {"missing_path", "", {"check", "PATH"}, 2, ": no such file or directory"},
        {"no_command", "", {}, 2, "usage: vaskel_wav check"},
        {"no_path", "", {"check", "--json"}, 2, "vaskel_wav: no path given"},
        {"json_is_for_check",
         headerBytes(0) + frames,
         {"repair", "PATH", "--json"},
         2,
         "unknown option --json"},
        {"unknown_command", headerBytes(0) + frames, {"fix", "PATH"}, 2, "unknown command fix"},
        // The queries answer on standard output alone.
        {"help_option", "", {"--help"}, 0, "usage: vaskel_wav check"},
        {"help_command", "", {"help"}, 0, "Commands:"},
        {"version", "", {"--version"}, 0, "vaskel_wav " VASKEL_TEST_VERSION},
        {"help_with_a_path", "", {"help", "x"}, 2, "unknown command help"},
        {"unreadable_file",
         headerBytes(800) + frames,
         {"check", "PATH"},
         2,
         "vaskel_wav: cannot read"},
        {"check_nan",
         headerBytes(8) + std::string("\0\0\xC0\x7F\0\0\0\0", 8),
         {"check", "PATH"},
         1,
         "NaN: 1 samples"},
        {"check_partial_trailing_frame",
         headerBytes(803) + frames + "abc",
         {"check", "PATH"},
         1,
         "partial trailing frame: 3 bytes"},
        {"check_empty_directory", "<dir>", {"check", "PATH"}, 1, "no stream files"},
        // Infinities alone, without a NaN beside them in the same read.
        {"check_infinity",
         headerBytes(8) + std::string("\0\0\x80\x7F\0\0\0\x3F", 8),
         {"check", "PATH"},
         1,
         "NaN: 0 samples; infinite: 1 samples, first at frame 0"},
        // Another user's link on the way is not the caller's choice of directory.
        {"directory_behind_another_users_link",
         headerBytes(0) + frames,
         {"repair", "PATH"},
         2,
         "cannot read the directory"},
        // A finalised file with a temporary of a stopped repair beside it.
        {"check_leftover_temporary",
         headerBytes(800) + frames,
         {"check", "PATH"},
         1,
         "leftover temporary of a repair that stopped: x.wav.repair-7-0"},
    };
    for (const CommandCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::error_code ignored;
        ScratchDir dir("wav-command");
        const auto path = dir / (c.file == "<dir>" ? "empty" : "x.wav");
        if (c.file == "<dir>") {
            std::filesystem::create_directory(path);
        } else if (!c.file.empty() || c.name.find("empty_file") != std::string::npos) {
            testing::writeFile(path, c.file);
        }
        auto named = path;
        if (c.name == "unreadable_file") {
            // Root reads any file whatever its mode; not this one.
            std::filesystem::permissions(path, std::filesystem::perms::none);
            if (std::ifstream(path).is_open()) {
                named = "/proc/sys/vm/drop_caches";
            }
            if (kWindowsTarget || std::ifstream(named).is_open()) {
                std::filesystem::permissions(path, std::filesystem::perms::owner_all);
                continue; // Windows: no file that cannot be opened for reading
            }
        }
        if (c.name == "check_leftover_temporary") {
            testing::writeFile(dir / "x.wav.repair-7-0", frames);
            // The user's own file, named like one at first sight.
            testing::writeFile(dir / "x.wav.repaired.wav", frames);
        }
        if (c.name == "directory_behind_another_users_link") {
            named = dir / "through";
            std::filesystem::create_symlink(dir.path(), named, ignored);
            if (ignored || !testing::giveToOtherUser(named)) {
                std::cout << "[ NOT RUN  ] " << c.name << ": only root can play another user\n";
                continue;
            }
        }
        if (c.name == "unwritable" && !setUnwritable(path, true)) {
            setUnwritable(path, false);
            // Wine run as root maps the read-only attribute to permission bits root ignores.
            if (!kWindowsTarget) {
                ADD_FAILURE() << "this machine cannot make a file unwritable";
            }
            continue;
        }
        std::vector<platform::NativeString> words;
        for (const std::string& word : c.command) {
            words.push_back(word == "PATH" ? testing::nativePath(named) : testing::native(word));
        }
        const auto result = runWav(words);
        EXPECT_EQ(result.exitCode, c.exitCode) << result.out << result.err;
        EXPECT_NE((result.out + result.err).find(c.says), std::string::npos)
            << result.out << result.err;
        if (c.exitCode == 0 && c.file.empty()) {
            EXPECT_EQ(result.err, "") << "a query answers on standard output";
        }
        EXPECT_EQ(result.out.find("x.wav.repaired.wav"), std::string::npos);
        if (c.name == "missing_path") {
            EXPECT_NE(result.err.find(path.filename().string()), std::string::npos);
        }
        if (c.name == "unwritable") {
            setUnwritable(path, false);
        }
        std::filesystem::permissions(path, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ignored);
        if (!c.file.empty() && c.file != "<dir>") {
            EXPECT_TRUE(fileBytes(path) == c.file) << "the file was changed";
        }
    }
}

// check on NaN, infinity and beyond-full-scale samples: counted with their first frames, exit 1,
// and the MD5 of the data bytes is what md5sum says of exactly those bytes.
TEST(WavToolCheck, ReportsNonFiniteSamplesAndTheDataMd5AsMd5sumDoes) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const std::vector<float> samples = {0.25f, 0.5f, nan, -3.0f, 0.0f, -inf, 1.0f, -1.0f};
    std::string data(samples.size() * 4, '\0');
    std::memcpy(data.data(), samples.data(), data.size());
    ScratchDir dir("wav-check");
    testing::writeFile(dir / "stream-0.wav",
                       headerBytes(static_cast<std::uint32_t>(data.size())) + data);
    testing::writeFile(dir / "data.raw", data);

    const auto json = runWav(
        {testing::native("check"), testing::nativePath(dir.path()), testing::native("--json")});
    EXPECT_EQ(json.exitCode, 1) << json.err;
    for (const std::string expected :
         {"\"header\":\"finalised\"", "\"frames\":4", "\"beyondFullScale\":1",
          "\"nan\":{\"count\":1,\"firstFrame\":1}", "\"infinite\":{\"count\":1,\"firstFrame\":2}",
          "\"peakDbfs\":9.54", "\"progress\":[{\"path\":", "\"state\":\"missing\"}]",
          "\"exitCode\":1}"}) {
        EXPECT_NE(json.out.find(expected), std::string::npos) << expected << " in " << json.out;
    }
    if (!kWindowsTarget) {
        const std::string command =
            "md5sum < '" + (dir / "data.raw").string() + "' > '" + (dir / "md5").string() + "'";
        ASSERT_EQ(std::system(command.c_str()), 0);
        const std::string md5sum = testing::readFile(dir / "md5").substr(0, 32);
        EXPECT_NE(json.out.find("\"dataMd5\":\"" + md5sum + "\""), std::string::npos)
            << md5sum << " in " << json.out;
    }
    if (!kWindowsTarget) {
        // A POSIX name may hold any bytes, a surrogate's UTF-8 form too (strict parsers refuse
        // it); the document stays UTF-8.
        const auto odd = dir.path() / "stream-\xff\xed\xa0\x80.wav";
        std::filesystem::copy_file(dir / "stream-0.wav", odd);
        const auto escaped =
            runWav({testing::native("check"), testing::nativePath(odd), testing::native("--json")});
        EXPECT_NE(escaped.out.find("stream-\\ufffd\\ufffd\\ufffd\\ufffd.wav\""), std::string::npos)
            << escaped.out;
        EXPECT_EQ(escaped.out.find_first_of("\xff\xed"), std::string::npos);
    }
    const auto text = runWav("check", dir / "stream-0.wav");
    EXPECT_NE(text.out.find("NaN: 1 samples, first at frame 1; infinite: 1 samples, first at "
                            "frame 2"),
              std::string::npos)
        << text.out;
}

struct BesideCase {
    std::string name;
    // render-progress.json, and streams.json when not empty; "<fifo>", "<dev-zero>", "<huge>",
    // "<link>" (to a copy elsewhere of the take sheet below): made so, not written.
    std::string progress;
    int exitCode;
    std::string says;
    std::string sheet = "";
    std::vector<std::string> jsonSays = {}; // of check --json on stream-1.wav alone
};

// check reads render-progress.json and the take sheet only as small regular files of a shape it
// knows, and holds the directory's stream files to them.
TEST(WavToolCheck, ReadsTheProgressFileAndTheTakeSheetWithLimitsAndReportsTheFilesTheyName) {
    const std::string snapshot = "{\"schemaVersion\":1,\"state\":\"complete\",\"streamCount\":2,"
                                 "\"activeStreams\":0,\"completedStreams\":2,"
                                 "\"writtenFrames\":200,\"totalFrames\":200}";
    // The stream files below hold 100 frames of stereo at 48000 Hz.
    const std::string sheet = R"({
  "schemaVersion": 1, "state": "complete", "client": "rec", "mapping": "m",
  "sampleRate": 48000, "framesPerChunk": 256, "channels": 2,
  "startTime": "2024-02-29T23:59:59.999Z", "framesPerStream": 100, "verdict": "completed",
  "streams": [
    {"file": "stream-0.wav", "ports": ["synth:out_0", "synth:out_1"], "inputs": ["rec:in_0_l", "rec:in_0_r"]},
    {"file": "stream-1.wav", "ports": ["synth:out_2", null], "inputs": ["rec:in_1_l", "rec:in_1_r"]}
  ]
})";
    const auto edited = [](std::string text, const std::string& from, const std::string& to) {
        return text.replace(text.find(from), from.size(), to);
    };
    // Events of the take: one of stream 1, one of the whole take.
    const std::string withEvents = edited(
        sheet, "\n  ]\n}",
        "\n  ],\n  \"events\": [{\"frame\": 48, \"kind\": \"xrun\", \"stream\": null, "
        "\"detail\": \"2\"}, {\"frame\": 96, \"kind\": \"port_disconnected\", \"stream\": 1, "
        "\"detail\": \"synth:out_2\"}]\n}");
    std::string streams129 = "[";
    for (int i = 0; i < 129; ++i) {
        streams129 += (i == 0 ? "" : ",") + std::string("{\"file\": \"stream-") +
                      std::to_string(i) +
                      ".wav\", \"ports\": [null, null], \"inputs\": [\"a\", \"b\"]}";
    }
    const std::string refused = "streams.json: not a take sheet of ours";
    const std::vector<BesideCase> cases = {
        {"complete",
         snapshot,
         0,
         "render-progress.json: complete, 200 frames written",
         "",
         {"\"ports\":null,\"takeSheetConflict\":null", "\"takeSheets\":[]"}},
        {"trailing_garbage", snapshot + "x", 0,
         "render-progress.json: not a progress file of ours"},
        {"names_a_missing_stream", std::string(snapshot).replace(snapshot.find(":2,"), 3, ":3,"), 1,
         "stream-2.wav: missing, though render-progress.json names 3 streams"},
        // No capture has more than 128 streams; nor is a count past 32 bits read modulo 2^32.
        {"more_streams_than_a_capture_has",
         std::string(snapshot).replace(snapshot.find(":2,"), 3, ":129,"), 0,
         "render-progress.json: not a progress file of ours"},
        {"stream_count_past_32_bits",
         std::string(snapshot).replace(snapshot.find(":2,"), 3, ":4294967298,"), 0,
         "render-progress.json: not a progress file of ours"},
        {"far_too_large", "<huge>", 0, "render-progress.json: larger than a progress file can be"},
        {"link_to_dev_zero", "<dev-zero>", 0, "render-progress.json: not a regular file"},
        {"fifo", "<fifo>", 0, "render-progress.json: not a regular file"},
        // The take sheet names each file's ports on its lines, and in --json, for a file named
        // alone too; the sheet's own line says whose capture it was.
        {"sheet_names_the_ports",
         snapshot,
         0,
         "stream-1.wav: finalised\n  ports: synth:out_2 + (unconnected)\n",
         sheet,
         {"\"ports\":[\"synth:out_2\",null],\"takeSheetConflict\":null",
          "\"takeSheets\":[{\"path\":",
          "\"state\":\"complete\",\"client\":\"rec\",\"mapping\":"
          "\"m\",\"sampleRate\":48000,\"framesPerChunk\":256,"
          "\"channels\":2,\"startTime\":\"2024-02-29T23:59:59.999Z\""}},
        // A sheet that disagrees with a file's header is another capture's, or the file is.
        {"sheet_contradicts_the_headers",
         snapshot,
         1,
         "  the take sheet says 44100 Hz, 99 frames, unlike this file",
         edited(edited(sheet, ": 48000", ": 44100"), ": 100", ": 99"),
         {"\"takeSheetConflict\":\"44100 Hz, 99 frames\""}},
        // What the bridge recorded of a stream is shown beside its file, what touched the whole
        // take beside the sheet's own line.
        {"sheet_events_beside_their_files",
         snapshot,
         0,
         "stream-1.wav: finalised\n  ports: synth:out_2 + (unconnected)\n  port_disconnected at "
         "frame 96: synth:out_2\n  2 channels",
         withEvents,
         {"\"ports\":[\"synth:out_2\",null],\"takeSheetConflict\":null,\"events\":[{\"frame\":"
          "96,\"kind\":\"port_disconnected\",\"stream\":1,\"detail\":\"synth:out_2\"}],",
          "\"streams\":2,\"events\":[{\"frame\":48,\"kind\":\"xrun\",\"stream\":null,"
          "\"detail\":\"2\"},{\"frame\":96,"}},
        {"sheet_events_of_the_whole_take", snapshot, 0,
         "started 2024-02-29T23:59:59.999Z\n  xrun at frame 48: 2\n", withEvents},
        // A name in the sheet may hold any control, C1 (CSI, NEL) as \u escapes or raw: none
        // reaches the terminal, in text or in JSON.
        {"sheet_controls_escaped",
         snapshot,
         0,
         "ports: synth:?2J?? + (unconnected)\n  port_disconnected at frame 96: ?[0m?\n",
         edited(edited(withEvents, "\"synth:out_2\", null", "\"synth:\\u009b2J\\u0085\x7f\", null"),
                "\"detail\": \"synth:out_2\"", "\"detail\": \"\xc2\x9b[0m\\u001b\""),
         {"\"ports\":[\"synth:\\u009b2J\\u0085\\u007f\",null]",
          "\"detail\":\"\\u009b[0m\\u001b\"}"}},
        {"sheet_truncated", snapshot, 0, refused, sheet.substr(0, sheet.size() / 2)},
        {"sheet_rate_past_32_bits", snapshot, 0, refused, edited(sheet, "48000", "4295015296")},
        {"sheet_lone_surrogate", snapshot, 0, refused, edited(sheet, "synth:out_2", "\\ud800")},
        {"sheet_fewer_ports_than_channels", snapshot, 0, refused,
         edited(sheet, "[\"synth:out_2\", null]", "[\"synth:out_2\"]")},
        {"sheet_of_129_streams", snapshot, 0, refused,
         sheet.substr(0, sheet.find("[\n")) + streams129 + "]}"},
        {"sheet_far_too_large", snapshot, 0, "streams.json: larger than a take sheet can be",
         "<huge>"},
        {"sheet_linked", snapshot, 0, "streams.json: not a regular file", "<link>"},
    };
    for (const BesideCase& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir dir("wav-progress");
        for (std::uint32_t i = 0; i < 2; ++i) {
            testing::writeFile(streamFilePath(dir.path(), i),
                               headerBytes(800) + std::string(800, '\0'));
        }
        bool made = true;
        const auto make = [&](const std::filesystem::path& path, const std::string& content) {
            if (content == "<huge>") {
                std::ofstream(path, std::ios::binary).close();
                std::filesystem::resize_file(path, std::uint64_t{3} << 30);
            } else if (content == "<dev-zero>" || content == "<fifo>" || content == "<link>") {
                made = !kWindowsTarget; // no FIFO, and links only with privileges
                if (made && content == "<link>") {
                    testing::writeFile(dir / "elsewhere.json", sheet);
                    std::filesystem::create_symlink(dir / "elsewhere.json", path);
                } else if (made) {
                    const std::string how = content == "<fifo>" ? "mkfifo '" : "ln -s /dev/zero '";
                    ASSERT_EQ(std::system((how + path.string() + "'").c_str()), 0);
                }
            } else {
                testing::writeFile(path, content);
            }
        };
        make(dir / "render-progress.json", c.progress);
        if (!c.sheet.empty()) {
            make(dir / "streams.json", c.sheet);
        }
        if (!made) {
            continue;
        }
        const auto result = runWav("check", dir.path());
        std::string out = result.out;
        std::erase(out, '\r'); // Windows ends its lines with CR LF
        EXPECT_EQ(result.exitCode, c.exitCode) << out << result.err;
        EXPECT_NE(out.find(c.says), std::string::npos) << out;
        for (const char* control : {"\x1b", "\x7f", "\xc2\x85", "\xc2\x9b"}) {
            EXPECT_EQ(out.find(control), std::string::npos) << out;
        }
        // Ports come only from a sheet that was read whole.
        EXPECT_EQ(out.find("\n  ports: ") != std::string::npos,
                  out.find("streams.json: take sheet of rec, complete: 2 streams of 2 "
                           "channels, ") != std::string::npos)
            << out;
        if (!c.jsonSays.empty()) {
            const auto json = runWav({testing::native("check"),
                                      testing::nativePath(streamFilePath(dir.path(), 1)),
                                      testing::native("--json")});
            EXPECT_EQ(json.exitCode, c.exitCode) << json.out << json.err;
            for (const std::string& expected : c.jsonSays) {
                EXPECT_NE(json.out.find(expected), std::string::npos)
                    << expected << " in " << json.out;
            }
            for (const char* control : {"\x1b", "\x7f", "\xc2\x85", "\xc2\x9b"}) {
                EXPECT_EQ(json.out.find(control), std::string::npos) << json.out;
            }
        }
    }
}

// A 2-stream capture into the folder of an earlier 4-stream one overwrites stream-0 and stream-1
// and leaves the others: check names those as not part of this capture.
TEST(WavToolCheck, FlagsTheStreamFilesOfAnEarlierCaptureInAReusedFolder) {
    ScratchDir root("wav-reused");
    for (const std::string streams : {"4", "2"}) {
        const std::string name =
            std::filesystem::path(testing::uniqueRegionName("wav-reused")).string();
        const auto capture = producer_tool::testing::runTool(
            {name, "--streams", streams, "--frames", "4800", "--frames-per-chunk", "256",
             "--signal", "pattern", "--timeout-ms", "5000", "--run-renderer",
             testing::rendererPath().string(), root.path().string()});
        ASSERT_EQ(capture.exitCode, 0) << capture.out << capture.err;
    }
    const auto check = runWav("check", root.path());
    EXPECT_EQ(check.exitCode, 1) << check.out << check.err;
    const auto lines = testing::linesOf(check.out);
    for (const std::string file : {"stream-2.wav", "stream-3.wav"}) {
        const auto verdict = std::find_if(lines.begin(), lines.end(), [&](const auto& line) {
            return line.ends_with(file + ": finalised");
        });
        ASSERT_TRUE(verdict != lines.end() && verdict + 1 != lines.end()) << check.out;
        EXPECT_EQ(verdict[1], "  not part of this capture: render-progress.json names 2 streams "
                              "(a file of an earlier capture into the same folder)");
    }
    EXPECT_NE(check.out.find("check: 4 files, 2 need repair or attention"), std::string::npos)
        << check.out;
    const auto json = runWav(
        {testing::native("check"), testing::nativePath(root.path()), testing::native("--json")});
    EXPECT_NE(json.out.find("stream-1.wav\",\"partOfCapture\":true"), std::string::npos)
        << json.out;
    EXPECT_NE(json.out.find("stream-3.wav\",\"partOfCapture\":false"), std::string::npos)
        << json.out;
}

// check and repair read a directory once per run, not once per file in it: their time grows
// with the number of files, not with its square.
TEST(WavToolCheck, ReadsAnOutputRootOncePerRunWhateverItsNumberOfFiles) {
    if (kWindowsTarget) {
        GTEST_SKIP() << "traced with strace, on Linux";
    }
    ScratchDir scratch("wav-scans");
    const auto directoryReads = [&](const std::string& command, std::uint32_t files) {
        ScratchDir dir("wav-scans");
        for (std::uint32_t i = 0; i < files; ++i) {
            testing::writeFile(streamFilePath(dir.path(), i), headerBytes(8) + std::string(8, 0));
        }
        const auto trace = scratch / "trace";
        [[maybe_unused]] const int status = std::system(
            ("ASAN_OPTIONS=\"${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0\" strace -f -e "
             "trace=getdents,getdents64 -o '" +
             trace.string() + "' '" + wavToolPath().string() + "' " + command + " '" +
             dir.path().string() + "' > /dev/null 2>&1")
                .c_str());
        return testing::linesOf(testing::readFile(trace)).size();
    };
    for (const std::string command : {"check", "repair"}) {
        SCOPED_TRACE(command);
        const std::size_t few = directoryReads(command, 3);
        EXPECT_GT(few, 0u) << "strace saw no directory read";
        EXPECT_EQ(directoryReads(command, 24), few);
    }
}

// A report that cannot be written fails the run with exit 2, as a full disk fails GNU tools:
// only once the repair it reports on is done.
TEST(WavToolReport, ThatCannotBeWrittenExits2AfterTheRepairIsDone) {
    if (kWindowsTarget) {
        GTEST_SKIP() << "/dev/full is Linux's";
    }
    ScratchDir dir("wav-full");
    const auto path = dir / "stream-0.wav";
    testing::writeFile(path, headerBytes(0) + std::string(800, '\x11'));
    const auto toFullDisk = [&](const std::string& words) {
        const std::string exit =
            commandOutput("'" + wavToolPath().string() + "' " + words + " 2>'" +
                              (dir / "err").string() + "' > /dev/full; echo $?",
                          dir.path());
        EXPECT_NE(testing::readFile(dir / "err")
                      .find("vaskel_wav: the report could not be "
                            "written: No space left on device"),
                  std::string::npos)
            << words;
        return exit;
    };
    const std::string root = " '" + dir.path().string() + "'";
    EXPECT_EQ(toFullDisk("check" + root), "2\n");
    EXPECT_EQ(toFullDisk("check --json" + root), "2\n");
    EXPECT_EQ(toFullDisk("--help"), "2\n");
    EXPECT_EQ(toFullDisk("repair" + root), "2\n");
    const platform::ErrorOr<WavLayout> repaired = readStreamHead(path);
    ASSERT_TRUE(repaired);
    EXPECT_EQ(repaired->state, HeaderState::Finalised);
    EXPECT_EQ(repaired->frames, 100u);
}

} // namespace
} // namespace vaskel
