// vaskel_wav export as users meet it: the binary on a real capture and on files made to clip,
// every output read back by libsndfile and by sox and held to the float source, and a table of
// what it must refuse.
#include "output/output_paths.h"
#include "producer_test_support.h"
#include "test_platform.h"
#include "test_support.h"
#include "tools/wav/wav_export.h"

#include <chrono>
#include <cmath>
#include <cstring>
#include <gtest/gtest.h>
#include <numbers>
#include <thread>
#include <tuple>

#ifdef VASKEL_HAVE_SNDFILE
#include <sndfile.h>
#endif

namespace vaskel {
namespace {

#ifdef VASKEL_HAVE_SNDFILE

using testing::ScratchDir;

std::filesystem::path exportToolPath() {
    return platform::currentExecutablePath().parent_path() / ("vaskel_wav" VASKEL_EXE_SUFFIX);
}

testing::ChildResult runExport(const std::vector<std::string>& words) {
    std::vector<std::string> all{"export"};
    all.insert(all.end(), words.begin(), words.end());
    return testing::runChild(exportToolPath(), testing::nativeWords(all));
}

// Interleaved samples and their shape.
struct Audio {
    int channels = 0;
    int sampleRate = 0;
    int format = 0;
    std::vector<double> samples;
};

Audio readBySndfile(const std::filesystem::path& path) {
    Audio audio;
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    EXPECT_NE(file, nullptr) << path << ": " << sf_strerror(nullptr);
    if (file == nullptr) {
        return audio;
    }
    audio.channels = info.channels;
    audio.sampleRate = info.samplerate;
    audio.format = info.format;
    audio.samples.resize(static_cast<std::size_t>(info.frames * info.channels));
    EXPECT_EQ(
        sf_read_double(file, audio.samples.data(), static_cast<sf_count_t>(audio.samples.size())),
        static_cast<sf_count_t>(audio.samples.size()));
    sf_close(file);
    return audio;
}

// sox's own decoder, to raw doubles on its standard output. sox holds a sample as a 32-bit
// integer inside: a float it reads loses what lies below 2^-31 and beyond full scale.
std::vector<double> readBySox(const std::filesystem::path& path) {
    const auto result = testing::runChild(
        "/usr/bin/sox", testing::nativeWords({"-V1", path.string(), "-t", "raw", "-e",
                                              "floating-point", "-b", "64", "-L", "-"}));
    EXPECT_EQ(result.exitCode, 0) << result.err;
    std::vector<double> samples(result.out.size() / 8);
    std::memcpy(samples.data(), result.out.data(), samples.size() * 8);
    return samples;
}

// A finalised float stream file of these interleaved samples.
void writeStreamFile(const std::filesystem::path& path, std::uint16_t channels,
                     const std::vector<float>& samples) {
    std::string bytes = testing::wavHeaderBytes(
        48000, channels, static_cast<std::uint32_t>(samples.size() * sizeof(float)));
    bytes.append(reinterpret_cast<const char*>(samples.data()), samples.size() * sizeof(float));
    testing::writeFile(path, bytes);
}

// What a sample of the source becomes in a format of `bits` (0: float): clipped to the range.
double expectedValue(double source, std::uint32_t bits) {
    if (bits == 0) {
        return source;
    }
    const double top = std::ldexp(1.0, static_cast<int>(bits) - 1);
    return std::clamp(source, -1.0, (top - 1) / top);
}

// Each sample read back lies within the format's error of its source: half a step rounded,
// a step and a half dithered, nothing for float; as sox sees it, nothing finer than 32 bits.
void expectWithinStep(const std::vector<double>& got, const std::vector<float>& source,
                      const wav_tool::ExportFormatInfo& format, const std::string& reader) {
    ASSERT_EQ(got.size(), source.size()) << reader;
    const bool sox = reader == "sox";
    const std::uint32_t bits = sox && format.bits == 0 ? 32 : format.bits;
    const double step = bits == 0 ? 0.0 : std::ldexp(1.0, 1 - static_cast<int>(bits));
    const double allowed = step * (format.dither ? 1.5 : sox ? 1.0 : 0.5) + 1e-12;
    std::size_t wrong = 0;
    for (std::size_t i = 0; i < got.size(); ++i) {
        const double want = expectedValue(source[i], bits);
        if (std::fabs(got[i] - want) > allowed && ++wrong <= 3) {
            ADD_FAILURE() << reader << " " << format.name << " sample " << i << ": " << got[i]
                          << ", source " << source[i];
        }
    }
    EXPECT_EQ(wrong, 0u) << reader << " " << format.name;
}

// Every format on two files of quiet and loud samples, three beyond full scale: what libsndfile
// and sox read back is the source within the format's step, the clipped samples are counted,
// the dither repeats exactly, and the source is never touched.
TEST(WavExport, EveryFormatReadsBackWithinItsStepAndCountsClipping) {
    ScratchDir root("export-formats");
    const auto source = root / "capture";
    std::filesystem::create_directory(source);
    std::vector<float> stereo, mono;
    for (int i = 0; i < 6000; ++i) {
        const double t = i / 48000.0;
        stereo.push_back(static_cast<float>(0.9 * std::sin(2 * std::numbers::pi * 440 * t)));
        stereo.push_back(
            static_cast<float>(1e-4 * std::sin(2 * std::numbers::pi * 1000 * t))); // a fade's tail
        mono.push_back(static_cast<float>((i % 97) / 48.5 - 0.99)); // never at full scale
    }
    stereo[10] = 1.5f;
    stereo[11] = -2.0f;
    mono[20] = 1.25f;
    writeStreamFile(source / "stream-0.wav", 2, stereo);
    writeStreamFile(source / "stream-1.wav", 1, mono);
    const std::string before0 = testing::readFile(source / "stream-0.wav");
    const std::string before1 = testing::readFile(source / "stream-1.wav");

    for (const char* name : {"wav16", "wav24", "wav32", "float", "flac"}) {
        SCOPED_TRACE(name);
        const wav_tool::ExportFormatInfo& format = *wav_tool::exportFormatNamed(name);
        const auto dest = root / name;
        const auto result = runExport({source.string(), dest.string(), "--format", name});
        ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
        // Float keeps what is beyond full scale; every integer format clips the three samples.
        const std::string clipped = format.bits == 0 ? "0 samples clipped" : "3 samples clipped";
        EXPECT_NE(result.out.find("export: 2 files written, " + clipped), std::string::npos)
            << result.out;
        const std::string extension(format.extension);
        for (const auto& [file, samples, channels] :
             {std::tuple{"stream-0", &stereo, 2}, std::tuple{"stream-1", &mono, 1}}) {
            const auto path = dest / (std::string(file) + extension);
            const Audio back = readBySndfile(path);
            EXPECT_EQ(back.channels, channels);
            EXPECT_EQ(back.sampleRate, 48000);
            expectWithinStep(back.samples, *samples, format, "libsndfile");
            expectWithinStep(readBySox(path), *samples, format, "sox");
        }
    }
    // Dithered, yet the same bytes every time.
    ASSERT_EQ(runExport({source.string(), (root / "again").string(), "--format", "wav16"}).exitCode,
              0);
    EXPECT_TRUE(testing::readFile(root / "again" / "stream-0.wav") ==
                testing::readFile(root / "wav16" / "stream-0.wav"));
    EXPECT_TRUE(testing::readFile(source / "stream-0.wav") == before0);
    EXPECT_TRUE(testing::readFile(source / "stream-1.wav") == before1);
}

// A real capture of three stereo streams merged in the take sheet's order (stream 2 first): one
// six-channel WAVE_FORMAT_EXTENSIBLE file with no speaker positions, or FLAC, whose channels are
// the streams' channels in that order, named by their ports.
TEST(WavExport, MergeWritesOneFileInTheTakeSheetsOrder) {
    ScratchDir root("export-merge");
    const auto capture = root / "take";
    const platform::NativeString region = testing::uniqueRegionName("export-merge");
    const auto made = producer_tool::testing::runTool(
        {std::filesystem::path(region).string(), "--streams", "3", "--channels", "2", "--frames",
         "20000", "--signal", "sine", "--run-renderer", testing::rendererPath().string(),
         capture.string()});
    ASSERT_EQ(made.exitCode, 0) << made.out << made.err;
    std::string streams;
    for (const int i : {2, 0, 1}) {
        streams += std::string(streams.empty() ? "" : ",") + "{\"file\":\"stream-" +
                   std::to_string(i) + ".wav\",\"ports\":[\"synth:out_" + std::to_string(i) +
                   "_l\",\"synth:out_" + std::to_string(i) +
                   "_r\"],\"inputs\":[\"rec:a\",\"rec:b\"]}";
    }
    testing::writeFile(
        capture / "streams.json",
        "{\"schemaVersion\":1,\"state\":\"complete\",\"client\":\"rec\",\"mapping\":\"m\","
        "\"sampleRate\":48000,\"framesPerChunk\":256,\"channels\":2,"
        "\"startTime\":\"2026-03-01T14:05:09.250Z\",\"framesPerStream\":20000,"
        "\"verdict\":\"completed\",\"streams\":[" +
            streams + "]}");
    std::vector<Audio> sources;
    for (std::uint32_t i = 0; i < 3; ++i) {
        sources.push_back(readBySndfile(streamFilePath(capture, i)));
    }
    for (const char* name : {"wav24", "flac"}) {
        SCOPED_TRACE(name);
        const wav_tool::ExportFormatInfo& format = *wav_tool::exportFormatNamed(name);
        const auto merged = root / ("take" + std::string(format.extension));
        const auto result =
            runExport({capture.string(), merged.string(), "--format", name, "--merge"});
        ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
        EXPECT_NE(result.out.find("channel 1: synth:out_2_l (stream-2.wav channel 1)"),
                  std::string::npos)
            << result.out;
        std::vector<float> expected;
        for (std::size_t f = 0; f < 20000; ++f) {
            for (const int s : {2, 0, 1}) {
                for (std::size_t c = 0; c < 2; ++c) {
                    expected.push_back(static_cast<float>(sources[s].samples[f * 2 + c]));
                }
            }
        }
        const Audio back = readBySndfile(merged);
        EXPECT_EQ(back.channels, 6);
        expectWithinStep(back.samples, expected, format, "libsndfile");
        expectWithinStep(readBySox(merged), expected, format, "sox");
        if (format.format != wav_tool::ExportFormat::Flac) {
            EXPECT_EQ(back.format & SF_FORMAT_TYPEMASK, SF_FORMAT_WAVEX);
            const std::string bytes = testing::readFile(merged);
            ASSERT_GT(bytes.size(), 44u);
            EXPECT_EQ(bytes.substr(12, 4), "fmt ");
            EXPECT_EQ(bytes.substr(20, 2), std::string("\xFE\xFF", 2)); // extensible
            EXPECT_EQ(bytes.substr(40, 4), std::string(4, '\0'));       // no speaker positions
        }
    }
}

// What export must refuse, each leaving nothing behind and what was there untouched.
TEST(WavExport, RefusesWhatItCannotExportAndChangesNothing) {
    ScratchDir root("export-refusals");
    const auto good = root / "good";
    std::filesystem::create_directory(good);
    writeStreamFile(good / "stream-0.wav", 1, std::vector<float>(480, 0.25f));
    const auto damaged = root / "damaged";
    std::filesystem::create_directory(damaged);
    writeStreamFile(damaged / "stream-0.wav", 1, std::vector<float>(480, 0.25f));
    {
        // The data size a stopped capture leaves: 0.
        std::string bytes = testing::readFile(damaged / "stream-0.wav");
        std::memset(bytes.data() + 40, 0, 4);
        testing::writeFile(damaged / "stream-0.wav", bytes);
    }
    const auto taken = root / "taken";
    std::filesystem::create_directory(taken);
    testing::writeFile(taken / "stream-0.flac", "someone's");
    const auto linked = root / "linked";
    std::filesystem::create_directory(linked);
    std::filesystem::create_symlink(root / "victim.flac", linked / "stream-0.flac");
    const auto missing = (root / "missing").string();
    const auto linkedSource = root / "linked-source";
    std::filesystem::create_directory(linkedSource);
    std::filesystem::create_symlink(good / "stream-0.wav", linkedSource / "stream-0.wav");

    struct Case {
        std::string name;
        std::vector<std::string> words;
        int exitCode;
        std::string said;
    };
    const std::vector<Case> cases = {
        {"missing source",
         {missing, (root / "out1").string(), "--format", "flac"},
         2,
         "no such file or directory"},
        {"damaged source",
         {damaged.string(), (root / "out2").string(), "--format", "flac"},
         1,
         "run vaskel_wav repair first"},
        {"link in place of a stream file",
         {linkedSource.string(), (root / "out5").string(), "--format", "flac"},
         1,
         "is a symbolic link"},
        {"existing destination",
         {good.string(), taken.string(), "--format", "flac"},
         1,
         "exists: export never replaces a file"},
        {"link at the destination",
         {good.string(), linked.string(), "--format", "flac"},
         1,
         "exists: export never replaces a file"},
        {"existing merge destination",
         {good.string(), (taken / "stream-0.flac").string(), "--format", "flac", "--merge"},
         1,
         "exists"},
        {"unknown format",
         {good.string(), (root / "out3").string(), "--format", "mp3"},
         2,
         "unknown format mp3"},
        {"no format", {good.string(), (root / "out4").string()}, 2, "needs --format"},
        {"one path", {good.string(), "--format", "wav16"}, 2, "one source and one destination"},
        {"FLAC beyond 8 channels", {}, 2, "FLAC holds at most 8 channels"},
    };
    // Nine mono streams merge into more channels than FLAC has.
    const auto wide = root / "wide";
    std::filesystem::create_directory(wide);
    for (std::uint32_t i = 0; i < 9; ++i) {
        writeStreamFile(streamFilePath(wide, i), 1, std::vector<float>(48, 0.5f));
    }
    for (Case c : cases) {
        if (c.words.empty()) {
            c.words = {wide.string(), (root / "wide.flac").string(), "--format", "flac", "--merge"};
        }
        const auto result = runExport(c.words);
        EXPECT_EQ(result.exitCode, c.exitCode) << c.name << ": " << result.out << result.err;
        EXPECT_NE(result.err.find(c.said), std::string::npos) << c.name << ": " << result.err;
    }
    for (const char* left : {"out1", "out2", "out3", "out4", "out5", "wide.flac", "victim.flac"}) {
        EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(root / left)))
            << left << " was written";
    }
    EXPECT_EQ(testing::readFile(taken / "stream-0.flac"), "someone's");

    // A write that fails (a file size limit stands in for a full disk): the run says why and
    // keeps nothing of the file it began.
    const auto large = root / "large";
    std::filesystem::create_directory(large);
    writeStreamFile(large / "stream-0.wav", 1, std::vector<float>(48000, 0.5f));
    ASSERT_TRUE(testing::limitFileSize(64 << 10));
    const auto failed = runExport({large.string(), (root / "full").string(), "--format", "float"});
    testing::limitFileSize(std::nullopt);
    EXPECT_EQ(failed.exitCode, 1) << failed.out << failed.err;
    EXPECT_NE(failed.err.find("nothing of it is kept"), std::string::npos) << failed.err;
    EXPECT_FALSE(std::filesystem::exists(root / "full" / "stream-0.wav"));
}

// Ctrl-C during an export: the run ends with 130 and keeps nothing of the file it was writing.
TEST(WavExport, AnInterruptedExportKeepsNothingOfTheFileItWasWriting) {
    ScratchDir root("export-interrupted");
    const auto source = root / "take";
    std::filesystem::create_directory(source);
    // 64 MB of noise, which FLAC takes a while to encode.
    std::vector<float> noise(2 * 8000000);
    std::uint32_t state = 1;
    for (float& sample : noise) {
        state = state * 1664525u + 1013904223u;
        sample = static_cast<float>(state >> 8) / 8388608.0f - 1.0f;
    }
    writeStreamFile(source / "stream-0.wav", 2, noise);
    const auto written = root / "flac" / "stream-0.flac";
    testing::RunningChild child(
        exportToolPath(), testing::nativeWords({"export", source.string(), (root / "flac").string(),
                                                "--format", "flac"}));
    ASSERT_TRUE(child.started()) << child.failure();
    // Once the file it writes exists, the export is under way.
    for (int i = 0; i < 10000 && !std::filesystem::exists(written); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(child.interrupt(testing::StopSignal::Interrupt));
    const auto ended = child.wait();
    EXPECT_EQ(ended.exitCode, 130) << ended.out << ended.err;
    EXPECT_NE(ended.err.find("interrupted; nothing of it is kept"), std::string::npos) << ended.err;
    EXPECT_FALSE(std::filesystem::exists(written));
}

#else

TEST(WavExport, NeedsLibsndfile) {
    GTEST_SKIP() << "built without libsndfile: vaskel_wav export and its tests are left out";
}

#endif

} // namespace
} // namespace vaskel
