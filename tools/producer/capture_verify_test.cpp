#include "capture/capture_loop.h"
#include "producer/transport_producer.h"
#include "test_support.h"
#include "tools/producer/capture_verify.h"
#include "tools/producer/signal_source.h"
#include "transport/transport_mapping.h"

#include <gtest/gtest.h>
#include <sstream>

namespace vaskel::producer_tool {
namespace {

using vaskel::testing::readFile;
using vaskel::testing::ScratchDir;
using vaskel::testing::writeFile;

TEST(CaptureVerify, ExpectedHeaderIsTheFloatWavLayout) {
    const std::array<unsigned char, 44> placeholder = {
        0x52, 0x49, 0x46, 0x46, 0x24, 0x00, 0x00, 0x00, 0x57, 0x41, 0x56, 0x45, 0x66, 0x6D, 0x74,
        0x20, 0x10, 0x00, 0x00, 0x00, 0x03, 0x00, 0x02, 0x00, 0x80, 0xBB, 0x00, 0x00, 0x00, 0xDC,
        0x05, 0x00, 0x08, 0x00, 0x20, 0x00, 0x64, 0x61, 0x74, 0x61, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(expectedWavHeader(48000, 2, 0), placeholder);
    // Built independently of the renderer's writer; both must agree.
    for (const auto& [rate, channels, bytes] :
         {std::tuple{44100u, 1u, 4u}, std::tuple{48000u, 2u, 7680000u},
          std::tuple{8000u, 2u, 4294967256u}}) {
        const auto header = expectedWavHeader(rate, channels, bytes);
        EXPECT_EQ(
            std::string(header.begin(), header.end()),
            vaskel::testing::wavHeaderBytes(rate, static_cast<std::uint16_t>(channels), bytes));
    }
}

TEST(CaptureVerify, ExpectedProgressCountsWholeStreamsOfTheDeclaredSpan) {
    SignalSettings signal;
    signal.streams = 2;
    signal.frames = 300;
    signal.endFrame = 400;
    EXPECT_EQ(expectedProgress(signal),
              "{\"schemaVersion\":1,\"state\":\"complete\",\"streamCount\":2,\"activeStreams\":2,"
              "\"completedStreams\":1,\"writtenFrames\":600,\"totalFrames\":800}");
    signal.startFrame = 100;
    signal.endFrame = 400;
    EXPECT_NE(expectedProgress(signal).find("\"completedStreams\":2,"), std::string::npos);
    EXPECT_NE(expectedProgress(signal).find("\"totalFrames\":600}"), std::string::npos);
    signal.startFrame = 0;
    signal.endFrame = 0; // no declared end
    EXPECT_EQ(expectedProgress(signal),
              "{\"schemaVersion\":1,\"state\":\"complete\",\"streamCount\":2,\"activeStreams\":2,"
              "\"completedStreams\":0,\"writtenFrames\":600,\"totalFrames\":0}");
    signal.frames = 0;
    EXPECT_NE(expectedProgress(signal).find("\"activeStreams\":0,"), std::string::npos);
}

// A real capture made in this process: every chunk of the signal is published first (the rings
// hold them all), then the renderer's own capture drains them into files.
class VerifyCapture : public ::testing::Test {
protected:
    static SignalSettings patternSignal() {
        SignalSettings signal;
        signal.kind = SignalKind::Pattern;
        signal.streams = 2;
        signal.channels = 2;
        signal.startFrame = 100;
        signal.frames = 3000;
        signal.endFrame = 3100;
        return signal;
    }

    static void capture(const SignalSettings& signal, const std::filesystem::path& root) {
        const platform::NativeString name = vaskel::testing::uniqueRegionName("verify");
        const std::uint32_t framesPerChunk = 512;
        const transport::TransportConfig config =
            vaskel::testing::makeConfig(signal.streams, 64, framesPerChunk, signal.channels,
                                        signal.sampleRate, signal.startFrame, signal.endFrame);
        producer::TransportProducer producer;
        ASSERT_TRUE(producer.create(name, config));
        std::vector<float> samples;
        for (std::uint32_t stream = 0; stream < signal.streams; ++stream) {
            for (std::uint64_t done = 0; done < signal.frames;) {
                const auto frames = static_cast<std::uint32_t>(
                    std::min<std::uint64_t>(framesPerChunk, signal.frames - done));
                renderFrames(signal, stream, signal.startFrame + done, frames, samples);
                ASSERT_TRUE(producer.tryPublish(stream, samples.data(), frames));
                done += frames;
            }
            producer.closeStream(stream);
        }
        transport::TransportMapping mapping;
        ASSERT_TRUE(mapping.attach(name));
        const CaptureResult result = runCapture(mapping, root, 0, 5000);
        ASSERT_TRUE(result.success) << failureCodeName(result.failureCode);
    }

    void SetUp() override { capture(patternSignal(), good_.path()); }

    // A copy of the good capture to spoil.
    std::filesystem::path copy() {
        const std::filesystem::path root = scratch_ / ("copy" + std::to_string(copies_++));
        std::filesystem::copy(good_.path(), root, std::filesystem::copy_options::recursive);
        return root;
    }

    ScratchDir good_{"verify-good"};
    ScratchDir scratch_{"verify-copies"};
    int copies_ = 0;
};

TEST_F(VerifyCapture, AGoodCaptureMatchesInEveryFile) {
    const VerifyReport report = verifyCapture(good_.path(), patternSignal());
    ASSERT_TRUE(report.ok());
    ASSERT_EQ(report.streams.size(), 2u);
    EXPECT_EQ(report.streams[1].name, "stream-1.wav");
    EXPECT_EQ(report.streams[1].detail, "3000 frames, 2 channels, 48000 Hz");

    std::ostringstream text;
    printReport(report, text);
    EXPECT_EQ(text.str(), "stream-0.wav: ok, 3000 frames, 2 channels, 48000 Hz\n"
                          "stream-1.wav: ok, 3000 frames, 2 channels, 48000 Hz\n"
                          "render-progress.json: ok, " +
                              expectedProgress(patternSignal()) +
                              "\n"
                              "verify: ok, 2 of 2 stream files match, progress file matches\n");
}

TEST_F(VerifyCapture, OneChangedSampleIsFoundAndLocated) {
    const std::filesystem::path root = copy();
    std::string bytes = readFile(root / "stream-1.wav");
    // Frame 1234 of the stream (logical frame 1334), channel 1.
    bytes[44 + (1234 * 2 + 1) * 4] ^= 0x01;
    writeFile(root / "stream-1.wav", bytes);

    const VerifyReport report = verifyCapture(root, patternSignal());
    EXPECT_FALSE(report.ok());
    EXPECT_TRUE(report.streams[0].ok);
    EXPECT_FALSE(report.streams[1].ok);
    EXPECT_EQ(
        report.streams[1].detail.rfind("1 samples differ, first at frame 1334 channel 1: got ", 0),
        0u)
        << report.streams[1].detail;
    std::ostringstream text;
    printReport(report, text);
    EXPECT_NE(text.str().find("stream-1.wav: DIFFERS: 1 samples differ"), std::string::npos);
    EXPECT_NE(text.str().find("verify: FAILED, 1 of 2 stream files match"), std::string::npos);
}

TEST_F(VerifyCapture, HeaderSizeAndMissingFilesAreReported) {
    const std::filesystem::path root = copy();
    std::string bytes = readFile(root / "stream-0.wav");
    bytes[24] = 0x44; // sample rate 48000 (0xBB80) becomes 0xBB44
    writeFile(root / "stream-0.wav", bytes);
    std::string shortened = readFile(root / "stream-1.wav");
    shortened.resize(shortened.size() - 4);
    writeFile(root / "stream-1.wav", shortened);

    VerifyReport report = verifyCapture(root, patternSignal());
    EXPECT_EQ(report.streams[0].detail,
              "header field sample rate (offset 24) is 47940, expected 48000");
    EXPECT_EQ(report.streams[1].detail, "size 24040 bytes, expected 24044");
    EXPECT_TRUE(report.progress.ok);

    std::filesystem::remove(root / "stream-0.wav");
    report = verifyCapture(root, patternSignal());
    EXPECT_EQ(report.streams[0].detail, "missing or unreadable");
}

TEST_F(VerifyCapture, AProgressFileThatIsNotCompleteDiffers) {
    const std::filesystem::path root = copy();
    std::string progress = readFile(root / "render-progress.json");
    progress.replace(progress.find("complete"), 8, "capturing");
    writeFile(root / "render-progress.json", progress);
    const VerifyReport report = verifyCapture(root, patternSignal());
    EXPECT_FALSE(report.ok());
    EXPECT_TRUE(report.streams[0].ok);
    EXPECT_FALSE(report.progress.ok);
    EXPECT_NE(report.progress.detail.find("\"state\":\"capturing\""), std::string::npos);

    std::filesystem::remove(root / "render-progress.json");
    EXPECT_EQ(verifyCapture(root, patternSignal()).progress.detail, "missing or unreadable");
}

// The progress file is read through the held root as a regular file of a progress file's size
// only: a link (to a secret, to /dev/zero), a FIFO and an oversized file are refused without
// reading or waiting, and what differs is shown escaped, never as raw bytes.
TEST_F(VerifyCapture, AProgressFileIsReadOnlyAsAShortRegularFileAndShownEscaped) {
    namespace fs = std::filesystem;
    struct Case {
        const char* name;
        std::string detail; // the verdict's detail, or its start for a changed file ("is ")
    };
    const std::vector<Case> cases = {
        {"link to a secret", "not a regular file of the capture: is a symbolic link"},
        {"link to /dev/zero", "not a regular file of the capture: is a symbolic link"},
        {"fifo", "not a regular file of the capture: not a regular file"},
        {"oversized", "too large for a progress file (1048576 bytes)"},
        {"control bytes", "is \\x1b[2J\\x5c{\\x00}, expected "},
    };
    const fs::path secret = scratch_ / "secret";
    writeFile(secret, "SECRET-TEXT");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path root = copy();
        const fs::path progress = root / "render-progress.json";
        fs::remove(progress);
        const std::string name = c.name;
        if (name.starts_with("link") || name == "fifo") {
            // Links and FIFOs are POSIX matters here.
            std::error_code made;
            if (vaskel::testing::kWindowsTarget) {
                continue;
            }
            if (name == "fifo") {
                ASSERT_TRUE(vaskel::testing::makeFifo(progress));
            } else {
                fs::create_symlink(name == "link to a secret" ? secret : "/dev/zero", progress,
                                   made);
                ASSERT_FALSE(made) << made.message();
            }
        } else if (name == "oversized") {
            writeFile(progress, std::string(1 << 20, '{'));
        } else {
            writeFile(progress, std::string("\x1b[2J\\{\0}", 8));
        }
        const VerifyReport report = verifyCapture(root, patternSignal());
        EXPECT_FALSE(report.progress.ok);
        EXPECT_EQ(report.progress.detail.substr(0, c.detail.size()), c.detail);
        EXPECT_EQ(report.progress.detail.find("SECRET"), std::string::npos);
        EXPECT_EQ(report.progress.detail.find('\x1b'), std::string::npos);
        EXPECT_TRUE(report.streams[0].ok) << report.streams[0].detail;
    }
}

TEST_F(VerifyCapture, OtherSignalSettingsDoNotMatch) {
    SignalSettings sine = patternSignal();
    sine.kind = SignalKind::Sine;
    VerifyReport report = verifyCapture(good_.path(), sine);
    EXPECT_FALSE(report.streams[0].ok);
    EXPECT_NE(report.streams[0].detail.find("samples differ, first at frame 100 channel 0"),
              std::string::npos)
        << report.streams[0].detail;

    SignalSettings shifted = patternSignal();
    shifted.startFrame = 101; // same length, every frame one later
    shifted.endFrame = 3101;
    report = verifyCapture(good_.path(), shifted);
    EXPECT_FALSE(report.streams[1].ok);

    SignalSettings longer = patternSignal();
    longer.frames = 3001;
    longer.endFrame = 3101;
    report = verifyCapture(good_.path(), longer);
    EXPECT_EQ(report.streams[0].detail, "size 24044 bytes, expected 24052");
    EXPECT_FALSE(report.progress.ok);
}

} // namespace
} // namespace vaskel::producer_tool
