#include "common/byte_order.h"
#include "output/stream_writer.h"
#include "test_support.h"

#include <cstring>
#include <gtest/gtest.h>
#include <optional>
#include <span>
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

// The writers of a capture open their files in the root they hold.
struct Root {
    ScratchDir dir;
    platform::Directory held;
    explicit Root(std::string_view tag) : dir(tag) { EXPECT_FALSE(held.open(dir.path())); }
    std::filesystem::path operator/(std::string_view name) const { return dir / name; }
};

TEST(StreamWriterFile, OpenTruncatesAndAppendsFollowThePlaceholder) {
    const Root root("wav-append");
    const std::filesystem::path path = root / "stream-0.wav";
    writeFile(path, std::string(100000, 'z'));

    const auto first = payload(0, 480, 2);
    const auto second = payload(480, 2048, 2);
    {
        StreamWriter writer;
        ASSERT_FALSE(writer.begin(root.held, "stream-0.wav", kStereo48k));
        EXPECT_TRUE(writer.append(first.data(), first.size()));
        // In the kernel as soon as it is appended: a renderer killed now keeps it.
        EXPECT_EQ(readFile(path), placeholderText() + asText(first));
        EXPECT_TRUE(writer.append(second.data(), second.size()));
        EXPECT_EQ(writer.bytesWritten(), kWavHeaderSize + first.size() + second.size());
    }
    EXPECT_EQ(readFile(path), placeholderText() + asText(first) + asText(second));
}

TEST(StreamWriterFile, FinalisingRewritesOnlyTheTwoSizes) {
    const Root root("wav-final");
    const std::filesystem::path path = root / "stream-1.wav";
    const auto chunk = payload(0, 1000, 2);
    const std::uint32_t dataSize = static_cast<std::uint32_t>(3 * chunk.size());

    StreamWriter writer;
    ASSERT_FALSE(writer.begin(root.held, "stream-1.wav", kStereo48k));
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(writer.append(chunk.data(), chunk.size()));
    }
    const std::string before = readFile(path);
    ASSERT_EQ(before.size(), kWavHeaderSize + dataSize);

    // A frame count past the RIFF limit is refused and writes nothing.
    EXPECT_EQ(writer.finish(536870908), platform::Error::RiffSizeLimit);
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
    EXPECT_FALSE(writer.sync());
}

TEST(StreamWriterFile, StreamWithoutChunksIsFortyFourBytes) {
    const Root root("wav-empty");
    const std::filesystem::path path = root / "stream-0.wav";
    {
        StreamWriter writer;
        ASSERT_FALSE(writer.begin(root.held, "stream-0.wav", kStereo48k));
        EXPECT_FALSE(writer.finish(0));
    }
    const std::string bytes = readFile(path);
    EXPECT_EQ(bytes, placeholderText());
    EXPECT_EQ(std::filesystem::file_size(path), kWavHeaderSize);
}

// A write the system cuts short (a full disk) is continued, and when the rest fails the writer
// fails for good: no append after it, and the finish neither rewrites the header nor succeeds.
TEST(StreamWriterFile, AWriteThatCannotCompleteFailsTheWriterForGood) {
    StreamWriter unopened;
    const auto chunk = payload(0, 2048, 2);
    EXPECT_FALSE(unopened.append(chunk.data(), chunk.size()));
    EXPECT_FALSE(unopened.good());

    const Root root("wav-full");
    const std::filesystem::path path = root / "stream-0.wav";
    StreamWriter writer;
    ASSERT_FALSE(writer.begin(root.held, "stream-0.wav", kStereo48k));
    const std::size_t room = 1000;
    if (!testing::limitFileSize(kWavHeaderSize + room)) {
        GTEST_SKIP() << "no file size limit on this platform";
    }
    const bool appended = writer.append(chunk.data(), chunk.size());
    const bool again = writer.append(chunk.data(), 4);
    ASSERT_TRUE(testing::limitFileSize(std::nullopt));
    EXPECT_FALSE(appended);
    EXPECT_FALSE(again);
    EXPECT_FALSE(writer.good());
    EXPECT_EQ(writer.finish(2048), std::errc::file_too_large);
    EXPECT_EQ(readFile(path), placeholderText() + asText(chunk).substr(0, room));
}

// What is not a plain file of the capture's own is refused and left as it was: a link (its
// target untouched), a file with another name, a FIFO (without hanging), a directory, and a file
// another capture or a repair holds, which is waited for a second and never truncated.
TEST(StreamWriterFile, WhatIsNotItsOwnPlainFileIsRefusedUntouched) {
    struct Case {
        const char* name;
        std::error_code refused;
    };
    const std::vector<Case> cases = {
        {"symbolic link", platform::Error::SymbolicLink},
        {"hard link", platform::Error::HasOtherLinks},
        {"fifo", platform::Error::NotRegularFile},
        {"directory", {}},
        {"held by another", platform::Error::LockBusy},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Root root("wav-refused");
        const auto path = root / "stream-0.wav";
        const auto other = root / "victim";
        writeFile(other, "someone else's");
        const std::string name = c.name;
        std::error_code made;
        platform::File holder;
        if (name == "symbolic link") {
            std::filesystem::create_symlink(other, path, made);
        } else if (name == "hard link") {
            std::filesystem::create_hard_link(other, path, made);
        } else if (name == "fifo") {
            made = testing::makeFifo(path) ? std::error_code()
                                           : std::make_error_code(std::errc::not_supported);
        } else if (name == "directory") {
            std::filesystem::create_directory(path, made);
        } else {
            writeFile(path, "someone else's");
            made = holder.open(path, platform::File::Access::ReadWrite);
            ASSERT_FALSE(made || holder.lock());
        }
        if (made) {
            continue; // links need a privilege on Windows, FIFOs are POSIX only
        }
        StreamWriter writer;
        const std::error_code refused = writer.begin(root.held, "stream-0.wav", kStereo48k);
        if (c.refused) {
            EXPECT_EQ(refused, c.refused) << refused.message();
        } else {
            EXPECT_TRUE(refused);
        }
        const auto chunk = payload(0, 64, 2);
        EXPECT_FALSE(writer.append(chunk.data(), chunk.size()));
        EXPECT_EQ(readFile(other), "someone else's");
        if (name == "held by another") {
            EXPECT_EQ(readFile(path), "someone else's");
        }
    }
}

// A stream file another user planted in the root is theirs to go on reading, changing and
// locking: it is removed and made anew, never written into, whether or not they lock it; and a
// lock another user's process holds on the capture's own file is told apart from a capture's.
TEST(StreamWriterFile, AnotherUsersFileIsReplacedAndTheirLockToldApart) {
    if (!testing::canActAsOtherUser()) {
        GTEST_SKIP() << "NOT RUN: only root can play another user here";
    }
    struct Case {
        const char* name;
        bool othersFile;
        bool lockedByOther;
        std::error_code expected;
    };
    const std::vector<Case> cases = {
        {"another user's file", true, false, {}},
        {"another user's file, locked by them", true, true, {}},
        {"the caller's file, locked by another user", false, true,
         platform::Error::LockedByOtherUser},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Root root("wav-planted");
        const auto path = root / "stream-0.wav";
        writeFile(path, "planted bytes");
        std::filesystem::permissions(
            path, std::filesystem::perms::all & ~std::filesystem::perms::owner_exec &
                      ~std::filesystem::perms::group_exec & ~std::filesystem::perms::others_exec);
        ASSERT_TRUE(!c.othersFile || testing::giveToOtherUser(path));
        platform::File planted;
        ASSERT_FALSE(planted.open(path, platform::File::Access::Read));
        std::optional<testing::OtherUsersLock> lock;
        if (c.lockedByOther) {
            lock.emplace(path);
            if (!lock->held()) {
                GTEST_SKIP() << "NOT RUN: no setpriv or python3 to hold a lock as another user";
            }
        }
        StreamWriter writer;
        EXPECT_EQ(writer.begin(root.held, "stream-0.wav", kStereo48k), c.expected);
        std::string kept(32, '\0');
        const platform::ErrorOr<std::size_t> got = planted.readAt(0, kept.data(), kept.size());
        ASSERT_TRUE(got);
        kept.resize(*got);
        EXPECT_EQ(kept, "planted bytes") << "the planted file was written into";
        if (c.expected) {
            continue;
        }
        EXPECT_EQ(readFile(path), placeholderText());
        platform::File made;
        ASSERT_FALSE(made.open(path, platform::File::Access::Read));
        const platform::ErrorOr<bool> foreign = made.ownedByAnotherUser();
        EXPECT_TRUE(foreign && !*foreign) << "the stream file is not the capture's own";
    }
}

// An attacker who can write the root swaps a link to a file of someone else's into a stream
// file's place, over and over, while captures start: whatever the timing, each writer either
// refuses the link or writes only the file it opened, never the link's target.
TEST(StreamWriterFile, ALinkSwappedIntoItsPlaceIsNeverFollowed) {
    const Root root("wav-swap");
    const auto path = root / "stream-0.wav";
    testing::LinkSwapper attacker(path, root / "decoy",
                                  root.dir.path().parent_path() /
                                      ("victim-of-" + root.dir.path().filename().string()),
                                  "someone else's");
    writeFile(path, "");
    if (!attacker.start()) {
        GTEST_SKIP() << "no links or no atomic exchange of names here";
    }
    const auto chunk = payload(0, 64, 2);
    while (attacker.again(20000, 2000000)) {
        StreamWriter writer;
        if (!writer.begin(root.held, "stream-0.wav", kStereo48k)) {
            if (writer.append(chunk.data(), chunk.size()) && !writer.finish(64)) {
                attacker.wentThrough();
            }
        } else {
            attacker.wasRefused();
        }
    }
    EXPECT_EQ(attacker.stopAndReadVictim(), "someone else's");
    EXPECT_GT(attacker.through(), 0) << "the race never let a writer through";
}
} // namespace
} // namespace vaskel
