// Reading stream files back and repairing them, in this process: every kind of file the tools
// meet, what each is classified as, what repair does to it, and that a second repair changes
// nothing.
#include "common/byte_order.h"
#include "common/md5.h"
#include "platform/file.h"
#include "test_support.h"
#include "wavfile/wav_repair.h"

#include <cmath>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <limits>
#include <optional>
#include <span>

namespace vaskel {
namespace {

using testing::readFile;
using testing::ScratchDir;
using testing::wavHeaderBytes;
using testing::writeFile;

std::string bytesOf(const std::vector<float>& samples) {
    std::string bytes(samples.size() * 4, '\0');
    std::memcpy(bytes.data(), samples.data(), bytes.size());
    return bytes;
}

// Frames of a two-channel stream that differ from frame to frame.
std::string samples(std::size_t frames) {
    std::vector<float> values;
    for (std::size_t i = 0; i < frames * 2; ++i) {
        values.push_back(static_cast<float>(i % 97) / 97.0f - 0.5f);
    }
    return bytesOf(values);
}

std::span<std::uint8_t> writable(std::string& bytes) {
    return {reinterpret_cast<std::uint8_t*>(bytes.data()), bytes.size()};
}

std::string withField(std::string bytes, std::size_t at, std::uint32_t value) {
    storeLE32(writable(bytes), at, value);
    return bytes;
}

enum class Link { None, Symbolic, Hard };

struct RepairCase {
    std::string name;
    std::string file;     // the file's bytes before
    HeaderState state;    // what check classifies it as
    std::uint64_t frames; // whole frames on disk
    std::uint32_t partial;
    RepairAction action;
    std::string repaired; // the bytes after repair (== file when left alone)
};

void PrintTo(const RepairCase& c, std::ostream* out) {
    *out << c.name;
}

// The cases named so stand behind a link, and the refusal says why.
Link linkOf(const RepairCase& c) {
    return c.name == "symbolic_link" ? Link::Symbolic
           : c.name == "hard_link"   ? Link::Hard
                                     : Link::None;
}

std::string rf64Header(std::uint64_t dataSize) {
    const auto header = makeRf64Header(48000, 2, dataSize);
    return std::string(reinterpret_cast<const char*>(header.data()), header.size());
}

std::string withField64(std::string bytes, std::size_t at, std::uint64_t value) {
    storeLE64(writable(bytes), at, value);
    return bytes;
}

std::uint64_t fieldAt(const std::string& bytes, std::size_t at, std::size_t size) {
    const std::span<const std::uint8_t> all(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                            bytes.size());
    return loadLittleEndian(all.subspan(at, size));
}

// A repaired file's size fields by their definitions, whatever wrote them.
void expectSizesByDefinition(const std::string& bytes) {
    const std::uint64_t size = bytes.size();
    const bool rf64 = bytes.compare(0, 4, "RF64") == 0;
    const std::size_t fmt = rf64 ? 56 : 20;
    const std::uint64_t blockAlign = fieldAt(bytes, fmt + 12, 2);
    EXPECT_EQ(fieldAt(bytes, fmt + 8, 4), fieldAt(bytes, fmt + 4, 4) * blockAlign) << "byte rate";
    if (!rf64) {
        EXPECT_EQ(fieldAt(bytes, 4, 4), size - 8) << "RIFF size";
        EXPECT_EQ(fieldAt(bytes, 40, 4), size - 44) << "data size";
        return;
    }
    EXPECT_EQ(fieldAt(bytes, 4, 4), 0xFFFFFFFFu);
    EXPECT_EQ(fieldAt(bytes, 20, 8), size - 8) << "ds64 RIFF size";
    EXPECT_EQ(fieldAt(bytes, 28, 8), size - 80) << "ds64 data size";
    EXPECT_EQ(fieldAt(bytes, 36, 8), (size - 80) / blockAlign) << "ds64 sample count";
    EXPECT_EQ(fieldAt(bytes, 76, 4), 0xFFFFFFFFu);
}

std::vector<RepairCase> repairCases() {
    const std::string data = samples(1000); // 8000 bytes
    const std::string placeholder = wavHeaderBytes(48000, 2, 0);
    const std::string finalised = wavHeaderBytes(48000, 2, 8000) + data;
    std::string pcm16 = withField(wavHeaderBytes(44100, 2, 8000), 20, 0x00020001); // format 1
    pcm16 = withField(pcm16, 32, 0x00100004) + data;                               // 16 bits
    return {
        {"placeholder", placeholder + data, HeaderState::Placeholder, 1000, 0,
         RepairAction::InPlace, finalised},
        {"placeholder_with_a_write_cut_short", placeholder + data + "abc", HeaderState::Placeholder,
         1000, 3, RepairAction::InPlace, finalised},
        {"sizes_of_an_earlier_capture", wavHeaderBytes(48000, 2, 4000) + data,
         HeaderState::SizeMismatch, 1000, 0, RepairAction::InPlace, finalised},
        {"riff_size_alone_rewritten", withField(placeholder, 4, 8036) + data,
         HeaderState::SizeMismatch, 1000, 0, RepairAction::InPlace, finalised},
        {"finalised", finalised, HeaderState::Finalised, 1000, 0, RepairAction::LeftFinalised,
         finalised},
        {"stream_that_never_got_a_chunk", placeholder, HeaderState::Finalised, 0, 0,
         RepairAction::LeftFinalised, placeholder},
        {"mono_placeholder", wavHeaderBytes(44100, 1, 0) + data, HeaderState::Placeholder, 2000, 0,
         RepairAction::InPlace, wavHeaderBytes(44100, 1, 8000) + data},
        // Stopped before its header reached the disk: nothing to recover, nothing to refuse.
        {"empty_file", "", HeaderState::Empty, 0, 0, RepairAction::LeftEmpty, ""},
        {"pcm16_wav", pcm16, HeaderState::Unrecognised, 0, 0, RepairAction::Refused, pcm16},
        {"mp3", "ID3\x04" + std::string(40, '\0') + "\xFF\xFB\x90\x64" + data,
         HeaderState::Unrecognised, 0, 0, RepairAction::Refused, ""},
        {"truncated_header", placeholder.substr(0, 30), HeaderState::Unrecognised, 0, 0,
         RepairAction::Refused, ""},
        {"chunks_after_the_data", withField(wavHeaderBytes(48000, 2, 4000), 4, 8036) + data,
         HeaderState::Unrecognised, 0, 0, RepairAction::Refused, ""},
        {"finalised_with_a_partial_trailing_frame", wavHeaderBytes(48000, 2, 8003) + data + "abc",
         HeaderState::Finalised, 1000, 3, RepairAction::InPlace, finalised},
        {"riff_size_wrong_data_size_right", withField(finalised, 4, 8044),
         HeaderState::SizeMismatch, 1000, 0, RepairAction::InPlace, finalised},
        {"byte_rate_contradicts_the_rate", withField(finalised, 28, 48000 * 4),
         HeaderState::Unrecognised, 0, 0, RepairAction::Refused, ""},
        {"rf64_cut_short", rf64Header(16000) + data, HeaderState::SizeMismatch, 1000, 0,
         RepairAction::InPlace, rf64Header(8000) + data},
        {"rf64_riff_size_wrong", withField64(rf64Header(8000), 20, 8000 + 80) + data,
         HeaderState::SizeMismatch, 1000, 0, RepairAction::InPlace, rf64Header(8000) + data},
        // Sizes go only where this system's RF64 header has them, behind a 28-byte ds64.
        {"rf64_first_chunk_not_ds64", rf64Header(16000).replace(12, 4, "JUNK") + data,
         HeaderState::Unrecognised, 0, 0, RepairAction::Refused, ""},
        {"rf64_ds64_of_another_size", withField(rf64Header(16000), 16, 32) + data,
         HeaderState::Unrecognised, 0, 0, RepairAction::Refused, ""},
        // Self-consistent, but no capture writes three channels: its "partial frame" is samples.
        {"three_channels", wavHeaderBytes(48000, 3, 0) + data, HeaderState::Unrecognised, 0, 0,
         RepairAction::Refused, ""},
        {"symbolic_link", placeholder + data, HeaderState::Unrecognised, 0, 0,
         RepairAction::Refused, ""},
        {"hard_link", placeholder + data, HeaderState::Unrecognised, 0, 0, RepairAction::Refused,
         ""},
    };
}

class StreamFileRepair : public ::testing::TestWithParam<RepairCase> {};

TEST_P(StreamFileRepair, ClassifiesRepairsAndLeavesTheRepairAlone) {
    const RepairCase& c = GetParam();
    const Link link = linkOf(c);
    if (link != Link::None && testing::kWindowsTarget) {
        GTEST_SKIP() << "links are a POSIX matter here";
    }
    ScratchDir dir("wav-repair");
    const auto path = dir / "stream-0.wav";
    // A link's target, or the other name of a hard-linked file.
    const auto timed = link == Link::None ? path : dir / "elsewhere.wav";
    writeFile(timed, c.file);
    // Back by an odd amount in either platform's units, so a sub-second part is there to keep.
    {
        platform::File file;
        ASSERT_FALSE(file.open(timed, platform::File::Access::ReadWrite));
        platform::ErrorOr<platform::FileAttributes> now = file.attributes();
        ASSERT_TRUE(now);
        now->modified -= 1000000007ll * 100;
        ASSERT_FALSE(file.setModifiedTime(*now));
    }
    if (link == Link::Symbolic) {
        std::filesystem::create_symlink("elsewhere.wav", path);
    } else if (link == Link::Hard) {
        std::filesystem::create_hard_link(timed, path);
    }
    const auto written = std::filesystem::last_write_time(timed);

    // Check reads neither a link nor a file with other names, and says why.
    const StreamFileReport report = inspectStreamFile(path);
    const std::string says = link == Link::Symbolic ? "it is a symbolic link"
                             : link == Link::Hard   ? "it has other hard links"
                                                    : "";
    EXPECT_NE(report.error.find(says), std::string::npos) << report.error;
    EXPECT_EQ(headerStateName(report.layout.state), std::string(headerStateName(c.state)))
        << report.layout.reason;
    if (c.state != HeaderState::Unrecognised) {
        EXPECT_EQ(report.layout.frames, c.frames);
        EXPECT_EQ(report.layout.partialFrameBytes, c.partial);
    }

    const RepairOutcome first = repairStreamFile(path);
    EXPECT_EQ(static_cast<int>(first.action), static_cast<int>(c.action)) << first.message;
    EXPECT_NE(first.message.find(says), std::string::npos) << first.message;
    if (link != Link::None) {
        EXPECT_EQ(static_cast<int>(first.action), static_cast<int>(RepairAction::Refused));
    }
    const std::string expected = c.repaired.empty() ? c.file : c.repaired;
    EXPECT_TRUE(readFile(path) == expected) << "the file's bytes after repair";
    EXPECT_EQ(std::filesystem::last_write_time(timed), written) << "modification time kept";
    if (c.action == RepairAction::InPlace) {
        expectSizesByDefinition(readFile(path));
    }

    // Twice changes nothing: a repaired file is finalised, any other is left as it was.
    const RepairOutcome second = repairStreamFile(path);
    if (c.action == RepairAction::InPlace) {
        EXPECT_EQ(static_cast<int>(second.action), static_cast<int>(RepairAction::LeftFinalised));
        EXPECT_EQ(inspectStreamFile(path).layout.state, HeaderState::Finalised);
    } else {
        EXPECT_EQ(static_cast<int>(second.action), static_cast<int>(c.action));
    }
    EXPECT_TRUE(readFile(path) == expected);
}

INSTANTIATE_TEST_SUITE_P(Every, StreamFileRepair, ::testing::ValuesIn(repairCases()),
                         [](const auto& param) { return param.param.name; });

// A temporary whose repair is still at work (it holds the temporary locked) is no leftover;
// once its holder has gone it is.
// After a power cut a file may end in pages the disk never held, read as zeros. Past the length
// the capture recorded as on the disk, a run of zeros at the end is cut off; other bytes there
// are kept and counted as unverified; up to the recorded length nothing changes, zeros or not.
TEST(StreamFileRepair, ZerosPastTheRecordedLengthAreCutAndTheRestCountedUnverified) {
    constexpr std::uint64_t kFrame = 8;
    const std::string audio = samples(8);
    const std::string zeros(4 * kFrame, '\0');
    struct Row {
        const char* what;
        std::string data;
        std::optional<std::uint64_t> durableFrames;
        std::uint64_t framesAfter;
        std::uint64_t zeroFramesCut;
        std::uint64_t unverifiedFrames;
    };
    const Row rows[] = {
        {"no record: all kept", audio + zeros, std::nullopt, 12, 0, 0},
        {"zeros recorded as on the disk: silence, kept", audio + zeros, 12, 12, 0, 0},
        {"audio and zeros past the record", audio + zeros, 6, 8, 4, 2},
        {"only zeros past the record", audio + zeros, 8, 8, 4, 0},
        {"nothing recorded but the header", audio + zeros, 0, 8, 4, 8},
        {"all zeros past a record of the header", zeros + zeros, 0, 0, 8, 0},
        {"a record longer than the file", audio, 100, 8, 0, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const ScratchDir dir("durable-tail");
        const auto path = dir / "stream-0.wav";
        writeFile(path, wavHeaderBytes(48000, 2, 0) + row.data);
        RepairOptions options;
        if (row.durableFrames) {
            options.durableBytes = 44 + *row.durableFrames * kFrame;
        }
        const RepairOutcome outcome = repairStreamFile(path, options);
        EXPECT_EQ(outcome.action, RepairAction::InPlace) << outcome.message;
        EXPECT_EQ(outcome.tail.zeroBytes, row.zeroFramesCut * kFrame);
        EXPECT_EQ(outcome.tail.unverifiedBytes, row.unverifiedFrames * kFrame);
        const std::uint64_t bytes = row.framesAfter * kFrame;
        EXPECT_EQ(readFile(path), wavHeaderBytes(48000, 2, static_cast<std::uint32_t>(bytes)) +
                                      row.data.substr(0, bytes));
    }
}

TEST(StreamFileRepair, ALiveRepairsTemporaryIsNoLeftover) {
    ScratchDir dir("wav-live-temporary");
    const auto path = dir / "stream-0.wav";
    writeFile(path, wavHeaderBytes(48000, 2, 0));
    platform::NewFile temporary;
    ASSERT_FALSE(temporary.create(dir / "stream-0.wav.repair-1-0"));
    ASSERT_FALSE(temporary.lock());
    EXPECT_TRUE(leftoverRepairTemporaries(path).empty());
    ASSERT_FALSE(temporary.close());
    EXPECT_EQ(leftoverRepairTemporaries(path),
              std::vector<std::filesystem::path>{dir / "stream-0.wav.repair-1-0"});
}

// A FIFO in a stream file's place is neither waited on nor read: check and repair say why.
TEST(StreamFileRepair, AFifoInTheFilesPlaceIsRefusedWithoutWaiting) {
    ScratchDir dir("wav-fifo");
    const auto path = dir / "stream-0.wav";
    if (!testing::makeFifo(path)) {
        GTEST_SKIP() << "no FIFOs on this platform";
    }
    EXPECT_EQ(inspectStreamFile(path).error, "not read: it is not a regular file");
    const RepairOutcome outcome = repairStreamFile(path);
    EXPECT_EQ(static_cast<int>(outcome.action), static_cast<int>(RepairAction::Refused));
    EXPECT_EQ(outcome.message, "it is not a regular file");
}

// An attacker who can write the directory swaps a link to someone else's file into the stream
// file's place, over and over, while repairs run: each repair either refuses the link or
// repairs the file it opened, never writing, cutting or re-dating the link's target.
TEST(StreamFileRepair, ALinkSwappedIntoItsPlaceIsNeverFollowed) {
    ScratchDir dir("wav-repair-swap");
    const auto path = dir / "stream-0.wav";
    // Long enough for every field a repair writes and past the length it would cut to.
    const std::string victimBytes(20000, 'v');
    testing::LinkSwapper attacker(
        path, dir / "decoy",
        dir.path().parent_path() / (dir.path().filename().string() + "-victim"), victimBytes);
    const std::string stopped = wavHeaderBytes(48000, 2, 0) + samples(1000) + "abc";
    writeFile(path, stopped);
    platform::File stream;
    ASSERT_FALSE(stream.open(path, platform::File::Access::ReadWrite));
    if (!attacker.start()) {
        GTEST_SKIP() << "no links or no atomic exchange of names here";
    }
    while (attacker.again(5000, 500000)) {
        // The stream file as a stopped capture leaves it, whatever name it has now.
        ASSERT_FALSE(stream.setSize(0));
        ASSERT_FALSE(stream.writeAt(0, stopped.data(), stopped.size()));
        if (repairStreamFile(path).action == RepairAction::InPlace) {
            attacker.wentThrough();
        } else {
            attacker.wasRefused();
        }
    }
    EXPECT_TRUE(attacker.stopAndReadVictim() == victimBytes) << "the link's target was changed";
    EXPECT_GT(attacker.through(), 0) << "the race never let a repair through";
}

// An RF64 repair that cannot finish leaves the original where and as it was and no temporary
// beside it: an original that shrinks while it is copied puts none of the copy's stale bytes
// into a file that would replace it, and a copy that cannot be moved over the original is not
// reported as done. The original is a sparse file beyond the RIFF limit whose data, 8 MiB at
// its start, is the only part read.
TEST(StreamFileRepair, AnRf64CopyThatCannotFinishLeavesTheOriginal) {
    if (testing::kWindowsTarget) {
        GTEST_SKIP() << "Linux only: no sparse files there, a 4 GiB copy under Wine takes minutes";
    }
    constexpr std::uint64_t kData = 8 << 20;
    constexpr std::uint64_t kPiece = 4 << 20; // what the copy reads at once
    const std::uint64_t frames = kMaxWavDataSize / 8 + 1000;
    enum class Fault { Shrinks, CannotReplace };
    for (const Fault fault : {Fault::Shrinks, Fault::CannotReplace}) {
        SCOPED_TRACE(fault == Fault::Shrinks ? "the original shrinks" : "it cannot replace");
        ScratchDir dir("wav-rf64-fails");
        const auto path = dir / "stream-0.wav";
        const std::string head = wavHeaderBytes(48000, 2, 0) + std::string(kData, '\x5A');
        writeFile(path, head);
        std::filesystem::resize_file(path, kWavHeaderSize + frames * 8);
        const auto aside = dir / "moved-aside.wav";
        int calls = 0;
        RepairOptions options;
        options.progress = [&](std::uint64_t done, std::uint64_t total) {
            ++calls;
            if (fault == Fault::Shrinks && done == kPiece) {
                // Cut in the middle of the next read; grown back, holes only, once it is read.
                std::filesystem::resize_file(path, kWavHeaderSize + kPiece + kPiece / 2);
            } else if (fault == Fault::Shrinks && done == 2 * kPiece) {
                std::filesystem::resize_file(path, kWavHeaderSize + frames * 8);
            } else if (fault == Fault::CannotReplace && done == total) {
                std::filesystem::rename(path, aside);
                std::filesystem::create_directories(path / "keep");
            }
        };
        const RepairOutcome outcome = repairStreamFile(path, options);
        EXPECT_EQ(static_cast<int>(outcome.action), static_cast<int>(RepairAction::Failed))
            << outcome.message;
        EXPECT_NE(outcome.message.find(fault == Fault::Shrinks
                                           ? "the original could not be read to its end"
                                           : "it could not replace the original"),
                  std::string::npos)
            << outcome.message;
        EXPECT_GE(calls, 1) << "the copy never started";
        const auto original = fault == Fault::Shrinks ? path : aside;
        std::ifstream file(original, std::ios::binary);
        std::string kept(head.size(), '\0');
        file.read(kept.data(), static_cast<std::streamsize>(kept.size()));
        EXPECT_TRUE(kept.compare(0, kWavHeaderSize + kPiece, head, 0, kWavHeaderSize + kPiece) == 0)
            << "the original was replaced or changed";
        std::vector<std::string> left;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
            if (entry.path().filename().string().find(".repair") != std::string::npos) {
                left.push_back(entry.path().filename().string());
            }
        }
        EXPECT_TRUE(left.empty()) << "a temporary was left: " << left.front();
    }
}

// An RF64 repair makes its copy in the file's own directory, held since the file was opened,
// and moves it into place there: a directory swapped for another user's link meanwhile gets
// nothing, a file moved away meanwhile is not reported repaired, and the copy never carries a
// set-id bit, whatever the original had. Root keeps the original's owner.
TEST(StreamFileRepair, AnRf64CopyStaysInTheFilesDirectoryAndIsNeverSetId) {
    if (testing::kWindowsTarget) {
        GTEST_SKIP() << "Linux only: no sparse files there, a 4 GiB copy under Wine takes minutes";
    }
    namespace fs = std::filesystem;
    enum class Swap { None, DirectoryForALink, FileMovedAway };
    struct Case {
        const char* name;
        Swap swap;
        fs::perms mode;
        RepairAction action;
        fs::perms modeAfter;
    };
    constexpr auto kRwxAll = fs::perms::all;
    const std::vector<Case> cases = {
        {"set-user-id", Swap::None, kRwxAll | fs::perms::set_uid, RepairAction::Rf64, kRwxAll},
        {"set-group-id", Swap::None, fs::perms(0750) | fs::perms::set_gid, RepairAction::Rf64,
         fs::perms(0750)},
        {"directory swapped for another user's link", Swap::DirectoryForALink,
         kRwxAll | fs::perms::set_uid, RepairAction::Rf64, kRwxAll},
        {"file moved away", Swap::FileMovedAway, fs::perms(0644), RepairAction::Failed,
         fs::perms(0644)},
    };
    const std::uint64_t frames = kMaxWavDataSize / 8 + 1000;
    const bool asRoot = testing::canActAsOtherUser();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir dir("wav-rf64-held");
        fs::create_directory(dir / "cap");
        fs::create_directory(dir / "victim");
        const auto path = dir / "cap" / "stream-0.wav";
        const std::string head = wavHeaderBytes(48000, 2, 0) + samples(1024);
        writeFile(path, head);
        fs::resize_file(path, kWavHeaderSize + frames * 8);
        ASSERT_TRUE(!asRoot || testing::giveToOtherUser(path));
        fs::permissions(path, c.mode);
        RepairOptions options;
        bool swapped = false;
        options.progress = [&](std::uint64_t, std::uint64_t) {
            if (swapped) {
                return;
            }
            swapped = true;
            if (c.swap == Swap::DirectoryForALink) {
                fs::rename(dir / "cap", dir / "moved");
                fs::create_symlink("victim", dir / "cap");
                EXPECT_TRUE(!asRoot || testing::giveToOtherUser(dir / "cap"));
            } else if (c.swap == Swap::FileMovedAway) {
                fs::rename(path, dir / "cap" / "aside.wav");
            }
        };
        const RepairOutcome outcome = repairStreamFile(path, options);
        EXPECT_EQ(static_cast<int>(outcome.action), static_cast<int>(c.action)) << outcome.message;
        EXPECT_TRUE(fs::is_empty(dir / "victim")) << "the copy went through the link";
        const auto repaired =
            c.swap == Swap::DirectoryForALink ? dir / "moved" / "stream-0.wav" : path;
        const auto original = c.swap == Swap::FileMovedAway ? dir / "cap" / "aside.wav" : repaired;
        EXPECT_EQ(fs::status(original).permissions(), c.modeAfter);
        platform::File file;
        ASSERT_FALSE(file.open(original, platform::File::Access::Read));
        std::string id(4, '\0');
        ASSERT_TRUE(file.readAt(0, id.data(), id.size()));
        EXPECT_EQ(id, c.action == RepairAction::Rf64 ? "RF64" : "RIFF");
        const platform::ErrorOr<platform::FileAttributes> attributes = file.attributes();
        ASSERT_TRUE(attributes);
        EXPECT_TRUE(!asRoot || attributes->owner == testing::kOtherUser)
            << "root gave the copy away to " << attributes->owner;
        if (c.swap == Swap::FileMovedAway) {
            EXPECT_NE(outcome.message.find("moved away"), std::string::npos) << outcome.message;
        }
    }
    if (!asRoot) {
        GTEST_SKIP() << "the owner and another user's link NOT CHECKED: only root can play "
                     << "another user here";
    }
}

// NaN, infinities and samples beyond full scale are counted, each with its first frame; the
// peak is that of the finite samples; the MD5 covers the whole frames' bytes only.
TEST(StreamFileCheck, CountsNonFiniteAndLoudSamplesAndHashesTheFrames) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    std::vector<float> frames = {0.5f, -0.25f, 0.1f, nan, -1.5f, 1.0f,
                                 -inf, 2.0f,   nan,  inf, -1.0f, 0.0f};
    // Enough quiet frames behind them that the scan crosses several reads.
    frames.resize(frames.size() + (6 << 20) / 4, 0.125f);
    const std::string data = bytesOf(frames);
    ScratchDir dir("wav-check");
    const auto path = dir / "stream-0.wav";
    writeFile(path, wavHeaderBytes(48000, 2, 0) + data + "xy");

    const StreamFileReport report = inspectStreamFile(path);
    ASSERT_TRUE(report.samples.has_value());
    const SampleStats& stats = *report.samples;
    EXPECT_EQ(stats.nanCount, 2u);
    EXPECT_EQ(stats.firstNanFrame, 1u);
    EXPECT_EQ(stats.infiniteCount, 2u);
    EXPECT_EQ(stats.firstInfiniteFrame, 3u);
    EXPECT_EQ(stats.beyondFullScale, 2u); // -1.5 and 2.0; 1.0 and -1.0 are full scale
    EXPECT_EQ(stats.peak, 2.0f);
    EXPECT_NEAR(*peakDbfs(stats.peak), 6.0206, 1e-4);
    EXPECT_EQ(report.layout.partialFrameBytes, 2u);
    Md5 md5;
    md5.update(reinterpret_cast<const std::uint8_t*>(data.data()), data.size());
    EXPECT_EQ(stats.dataMd5, md5.finishHex());
    EXPECT_FALSE(peakDbfs(0.0f).has_value());
}

} // namespace
} // namespace vaskel
