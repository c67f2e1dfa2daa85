#include "common/byte_order.h"
#include "output/stream_writer.h"
#include "test_support.h"

#include <cstring>
#include <gtest/gtest.h>
#include <span>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

namespace vaskel {
namespace {

using testing::makeConfig;
using testing::readFile;
using testing::ScratchDir;
using testing::writeFile;

// The placeholder of a two-channel 48000 Hz stream, byte for byte.
const std::uint8_t kStereo48kPlaceholder[kWavHeaderSize] = {
    0x52, 0x49, 0x46, 0x46, 0x24, 0x00, 0x00, 0x00, 0x57, 0x41, 0x56, 0x45, 0x66, 0x6D, 0x74,
    0x20, 0x10, 0x00, 0x00, 0x00, 0x03, 0x00, 0x02, 0x00, 0x80, 0xBB, 0x00, 0x00, 0x00, 0xDC,
    0x05, 0x00, 0x08, 0x00, 0x20, 0x00, 0x64, 0x61, 0x74, 0x61, 0x00, 0x00, 0x00, 0x00};

std::string placeholderText() {
    return std::string(reinterpret_cast<const char*>(kStereo48kPlaceholder), kWavHeaderSize);
}

std::span<const std::uint8_t> bytesOf(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// The bytes of a chunk of pattern samples, as they would lie in a slot's payload.
std::vector<std::byte> payload(std::uint64_t firstFrame, std::uint32_t frames,
                               std::uint32_t channels) {
    const std::vector<float> samples = testing::patternChunk(0, firstFrame, frames, channels);
    std::vector<std::byte> bytes(samples.size() * sizeof(float));
    std::memcpy(bytes.data(), samples.data(), bytes.size());
    return bytes;
}

const transport::TransportConfig kStereo48k = makeConfig(1, 4, 2048, 2, 48000);

std::string asText(const std::vector<std::byte>& bytes) {
    return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

TEST(WavHeader, StereoPlaceholderIsByteForByte) {
    const auto header = makeWavHeader(48000, 2, 0);
    EXPECT_EQ(0, std::memcmp(header.data(), kStereo48kPlaceholder, kWavHeaderSize));

    // writeWavHeader puts exactly these 44 bytes into the stream, from offset 0.
    std::ostringstream stream(std::string(60, 'x'), std::ios::binary);
    stream.seekp(0, std::ios::end);
    writeWavHeader(stream, 48000, 2, 0);
    EXPECT_TRUE(stream.good());
    EXPECT_EQ(stream.str(), placeholderText() + std::string(16, 'x'));
}

TEST(WavHeader, FormatFieldsFollowRateAndChannels) {
    const auto mono = makeWavHeader(44100, 1, 0);
    EXPECT_EQ(loadLE16(mono, 20), 3u);
    EXPECT_EQ(loadLE16(mono, 22), 1u);
    EXPECT_EQ(loadLE32(mono, 24), 44100u);
    EXPECT_EQ(loadLE32(mono, 28), 176400u);
    EXPECT_EQ(loadLE16(mono, 32), 4u);
    EXPECT_EQ(loadLE16(mono, 34), 32u);
    EXPECT_EQ(loadLE32(mono, 4), 36u);
    EXPECT_EQ(loadLE32(mono, 40), 0u);
    // Only rate and channel fields differ from the stereo 48 kHz placeholder.
    for (std::size_t i = 0; i < kWavHeaderSize; ++i) {
        if (i < 22 || i >= 34) {
            EXPECT_EQ(mono[i], kStereo48kPlaceholder[i]) << "offset " << i;
        }
    }

    // The byte rate is formed in 32 bits, so a huge rate wraps rather than spilling over.
    const auto huge = makeWavHeader(1000000000, 2, 0);
    EXPECT_EQ(loadLE32(huge, 28), static_cast<std::uint32_t>(8000000000ull));
}

TEST(WavHeader, TwentySecondsOfStereoAt48k) {
    const std::uint64_t dataSize = wavDataSize(2, 960000);
    EXPECT_EQ(dataSize, 7680000u);
    EXPECT_TRUE(fitsRiffLimit(dataSize));
    EXPECT_EQ(riffSize(dataSize), 7680036u);
    const auto header = makeWavHeader(48000, 2, static_cast<std::uint32_t>(dataSize));
    EXPECT_EQ(loadLE32(header, 4), 7680036u);
    EXPECT_EQ(loadLE32(header, 40), 7680000u);
}

TEST(WavHeader, RiffSizeLimit) {
    EXPECT_EQ(wavDataSize(1, 1073741814), 4294967256u);
    EXPECT_TRUE(fitsRiffLimit(wavDataSize(1, 1073741814)));
    EXPECT_EQ(wavDataSize(1, 1073741815), 4294967260u);
    EXPECT_FALSE(fitsRiffLimit(wavDataSize(1, 1073741815)));

    EXPECT_TRUE(fitsRiffLimit(4294967259u));
    EXPECT_FALSE(fitsRiffLimit(4294967260u));
    EXPECT_EQ(riffSize(4294967259u), 4294967295u);
    // Beyond the limit the field saturates instead of wrapping to a small size.
    EXPECT_EQ(riffSize(4294967260u), 4294967295u);
    EXPECT_EQ(riffSize(0xFFFFFFFFu), 4294967295u);
    const auto largest = makeWavHeader(48000, 1, 4294967259u);
    EXPECT_EQ(loadLE32(largest, 4), 4294967295u);
    EXPECT_EQ(loadLE32(largest, 40), 4294967259u);

    // Sizes are formed in 64 bits: a count that would wrap to 0 in 32 bits is still refused.
    EXPECT_EQ(wavDataSize(2, 0x80000000u), 0x400000000u);
    EXPECT_FALSE(fitsRiffLimit(wavDataSize(2, 0x80000000u)));
    EXPECT_FALSE(fitsRiffLimit(wavDataSize(2, 536870908)));
    EXPECT_TRUE(fitsRiffLimit(wavDataSize(2, 536870907)));
}

TEST(StreamWriterFile, OpenTruncatesAndAppendsFollowThePlaceholder) {
    ScratchDir dir("wav-append");
    const std::filesystem::path path = dir / "stream-0.wav";
    writeFile(path, std::string(100000, 'z'));

    const auto first = payload(0, 480, 2);
    const auto second = payload(480, 2048, 2);
    {
        StreamWriter writer;
        ASSERT_FALSE(writer.begin(path, kStereo48k));
        EXPECT_TRUE(writer.append(first.data(), first.size()));
        EXPECT_TRUE(writer.append(second.data(), second.size()));
    }
    EXPECT_EQ(readFile(path), placeholderText() + asText(first) + asText(second));
}

TEST(StreamWriterFile, FinalisingRewritesOnlyTheTwoSizes) {
    ScratchDir dir("wav-final");
    const std::filesystem::path path = dir / "stream-1.wav";
    const auto chunk = payload(0, 1000, 2);
    const std::uint32_t dataSize = static_cast<std::uint32_t>(3 * chunk.size());

    StreamWriter writer;
    ASSERT_FALSE(writer.begin(path, kStereo48k));
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(writer.append(chunk.data(), chunk.size()));
    }
    writer.stream().flush();
    const std::string before = readFile(path);
    ASSERT_EQ(before.size(), kWavHeaderSize + dataSize);

    // A frame count past the RIFF limit is refused and writes nothing.
    EXPECT_EQ(writer.finish(536870908), platform::Error::RiffSizeLimit);
    writer.stream().flush();
    EXPECT_EQ(readFile(path), before);

    EXPECT_FALSE(writer.finish(3 * 1000));
    const std::string after = readFile(path);
    ASSERT_EQ(after.size(), before.size());
    for (std::size_t i = 0; i < after.size(); ++i) {
        const bool sizeField = (i >= 4 && i < 8) || (i >= 40 && i < 44);
        if (!sizeField && after[i] != before[i]) {
            ADD_FAILURE() << "byte " << i << " changed";
            break;
        }
    }
    EXPECT_EQ(loadLE32(bytesOf(after), 4), dataSize + 36);
    EXPECT_EQ(loadLE32(bytesOf(after), 40), dataSize);
}

TEST(StreamWriterFile, StreamWithoutChunksIsFortyFourBytes) {
    ScratchDir dir("wav-empty");
    const std::filesystem::path path = dir / "stream-0.wav";
    {
        StreamWriter writer;
        ASSERT_FALSE(writer.begin(path, kStereo48k));
        EXPECT_FALSE(writer.finish(0));
    }
    const std::string bytes = readFile(path);
    EXPECT_EQ(bytes, placeholderText());
    EXPECT_EQ(std::filesystem::file_size(path), kWavHeaderSize);
}

TEST(StreamWriterFile, FailedStreamGetsNoHeader) {
    std::ostringstream memory(std::ios::binary);
    memory.setstate(std::ios::failbit);
    writeWavHeader(memory, 48000, 2, 0);
    EXPECT_TRUE(memory.str().empty());
    EXPECT_TRUE(memory.fail());

    // On a real file the seek would succeed; a failed stream must still not rewrite the header.
    ScratchDir dir("wav-failed");
    const std::filesystem::path path = dir / "stream-0.wav";
    const auto chunk = payload(0, 64, 2);
    {
        StreamWriter writer;
        ASSERT_FALSE(writer.begin(path, kStereo48k));
        ASSERT_TRUE(writer.append(chunk.data(), chunk.size()));
        writer.stream().flush();
        writer.stream().setstate(std::ios::failbit);
        EXPECT_EQ(writer.finish(64), std::errc::io_error);
    }
    EXPECT_EQ(readFile(path), placeholderText() + asText(chunk));
}

// An output that takes at most `limit` bytes and may refuse every seek.
class LimitedSink : public std::streambuf {
public:
    LimitedSink(std::size_t limit, bool seekable) : limit_(limit), seekable_(seekable) {}
    const std::string& bytes() const { return bytes_; }

protected:
    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof()) || bytes_.size() >= limit_) {
            return traits_type::eof();
        }
        bytes_.push_back(traits_type::to_char_type(c));
        return c;
    }
    pos_type seekoff(off_type off, std::ios::seekdir dir, std::ios::openmode) override {
        return seekable_ && off == 0 && dir == std::ios::beg ? pos_type(0) : pos_type(-1);
    }
    pos_type seekpos(pos_type pos, std::ios::openmode) override {
        return seekable_ && pos == pos_type(0) ? pos_type(0) : pos_type(-1);
    }

private:
    std::string bytes_;
    std::size_t limit_;
    bool seekable_;
};

TEST(WavHeader, FailedSeekOrShortWriteShowsInTheState) {
    // A refused seek fails the stream and nothing is written at the wrong place.
    LimitedSink unseekable(1000, false);
    std::ostream cannotSeek(&unseekable);
    writeWavHeader(cannotSeek, 48000, 2, 0);
    EXPECT_TRUE(cannotSeek.fail());
    EXPECT_TRUE(unseekable.bytes().empty());

    // A header that does not fit sets the bad flag.
    LimitedSink small(10, true);
    std::ostream shortWrite(&small);
    writeWavHeader(shortWrite, 48000, 2, 0);
    EXPECT_TRUE(shortWrite.bad());
    EXPECT_EQ(small.bytes(), placeholderText().substr(0, 10));
}

TEST(StreamWriterFile, AppendThatCannotCompleteLeavesTheWriterNotGood) {
    // A writer whose file is not open starts good; the append itself must mark it.
    StreamWriter writer;
    ASSERT_TRUE(writer.good());
    const auto chunk = payload(0, 16, 1);
    EXPECT_FALSE(writer.append(chunk.data(), chunk.size()));
    EXPECT_FALSE(writer.good());

    // A failed open marks it before any append.
    ScratchDir dir("wav-unopened");
    StreamWriter onDirectory;
    EXPECT_TRUE(onDirectory.begin(dir.path(), kStereo48k));
    EXPECT_FALSE(onDirectory.good());
}

TEST(StreamWriterFile, AppendOnAFullDeviceFails) {
    const std::filesystem::path device = "/dev/full";
    std::error_code error;
    // Only POSIX systems have a device whose every write fails with "no space".
    if (std::filesystem::path::preferred_separator != '/' ||
        !std::filesystem::is_character_file(device, error)) {
        GTEST_SKIP() << "no /dev/full on this platform";
    }
    StreamWriter writer;
    ASSERT_FALSE(writer.begin(device, kStereo48k));
    // Larger than any stream buffer, so the write reaches the device now.
    const auto chunk = payload(0, 2048, 2);
    for (int i = 0; i < 16 && writer.append(chunk.data(), chunk.size()); ++i) {
    }
    EXPECT_FALSE(writer.good());
    // The state is sticky: nothing later makes the writer good again.
    EXPECT_EQ(writer.finish(0), std::errc::io_error);
    EXPECT_FALSE(writer.good());
}

} // namespace
} // namespace vaskel
