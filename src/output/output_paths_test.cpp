#include "output/output_paths.h"
#include "output/stream_writer.h"
#include "test_support.h"

#include <gtest/gtest.h>

namespace vaskel {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::ScratchDir;
using testing::writeFile;

constexpr auto kSeparator = fs::path::preferred_separator;

fs::path withTrailing(const fs::path& root, fs::path::value_type separator) {
    fs::path::string_type text = root.native();
    text += separator;
    return fs::path(text);
}

TEST(OutputRoot, MissingParentsAreCreatedLevelByLevel) {
    ScratchDir dir("root-deep");
    const fs::path root = dir.path() / "one" / "two" / "three";
    ASSERT_FALSE(createOutputRoot(root));
    EXPECT_TRUE(fs::is_directory(dir.path() / "one"));
    EXPECT_TRUE(fs::is_directory(dir.path() / "one" / "two"));
    EXPECT_TRUE(fs::is_directory(root));
    // A second call finds it and succeeds.
    EXPECT_FALSE(createOutputRoot(root));
}

TEST(OutputRoot, ExistingRootKeepsWhatAnEarlierRunLeft) {
    ScratchDir dir("root-existing");
    const fs::path root = dir.path() / "out";
    fs::create_directories(root);
    writeFile(streamFilePath(root, 0), "old stream zero");
    writeFile(streamFilePath(root, 5), "old stream five");

    ASSERT_FALSE(createOutputRoot(root));
    EXPECT_EQ(readFile(streamFilePath(root, 5)), "old stream five");
    EXPECT_EQ(readFile(streamFilePath(root, 0)), "old stream zero");

    // This run's streams are cut and rewritten; the others stay.
    {
        platform::Directory held;
        ASSERT_FALSE(held.open(root));
        StreamWriter writer;
        ASSERT_FALSE(writer.begin(held, streamFileName(0), testing::makeConfig(1, 4, 256)));
    }
    EXPECT_EQ(fs::file_size(streamFilePath(root, 0)), kWavHeaderSize);
    EXPECT_EQ(readFile(streamFilePath(root, 5)), "old stream five");
}

TEST(OutputRoot, TrailingSeparatorIsNotDoubled) {
    ScratchDir dir("root-separator");
    const fs::path bare = dir.path() / "out";
    const fs::path::string_type name = fs::path("stream-3.wav").native();

    fs::path::string_type expected = bare.native();
    expected += kSeparator;
    expected += name;
    EXPECT_EQ(streamFilePath(bare, 3).native(), expected);

    // Both the preferred separator and a forward slash end a root on every platform.
    for (const auto separator : {kSeparator, fs::path::value_type('/')}) {
        const fs::path root = withTrailing(bare, separator);
        fs::path::string_type joined = root.native();
        joined += name;
        EXPECT_EQ(streamFilePath(root, 3).native(), joined);
    }

    // Such a root is created and its stream files open like any other.
    const fs::path root = withTrailing(bare, kSeparator);
    ASSERT_FALSE(createOutputRoot(root));
    EXPECT_TRUE(fs::is_directory(bare));
    platform::Directory held;
    ASSERT_FALSE(held.open(root));
    StreamWriter writer;
    EXPECT_FALSE(writer.begin(held, streamFileName(3), testing::makeConfig(4, 4, 256)));
    // And an existing one is accepted too.
    EXPECT_FALSE(createOutputRoot(root));
}

TEST(OutputRoot, RegularFileOrEmptyRootFails) {
    ScratchDir dir("root-file");
    const fs::path file = dir.path() / "taken";
    writeFile(file, "not a directory");
    EXPECT_TRUE(createOutputRoot(file));
    EXPECT_TRUE(createOutputRoot(file / "below"));
    EXPECT_EQ(readFile(file), "not a directory");

    EXPECT_TRUE(createOutputRoot(fs::path()));
}

TEST(StreamFileNames, PlainDecimalIndex) {
    const fs::path root("out");
    EXPECT_EQ(streamFilePath(root, 0).filename(), fs::path("stream-0.wav"));
    EXPECT_EQ(streamFilePath(root, 9).filename(), fs::path("stream-9.wav"));
    EXPECT_EQ(streamFilePath(root, 10).filename(), fs::path("stream-10.wav"));
    EXPECT_EQ(streamFilePath(root, 12).filename(), fs::path("stream-12.wav"));
    EXPECT_EQ(streamFilePath(root, 127).filename(), fs::path("stream-127.wav"));
    EXPECT_EQ(streamFilePath(root, 4294967295u).filename(), fs::path("stream-4294967295.wav"));
    EXPECT_EQ(streamFilePath(root, 12).parent_path(), root);
}

} // namespace
} // namespace vaskel
