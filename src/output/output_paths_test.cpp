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

// Each component of the root is opened inside the one before it: a link on the way is
// followed only when root or the caller made it (a system's own, or the caller's), never one
// another user put there, even inside a trusted link's target; the root itself is never a link.
// A refused walk makes nothing where the link points. Windows refuses every reparse point.
TEST(OutputRoot, LinksOnTheWayAreFollowedOnlyWhenRootOrTheCallerMadeThem) {
    namespace fs = std::filesystem;
    struct Link {
        const char* at; // under the scratch directory
        const char* to; // relative to the link's directory; "@" starts an absolute target
        bool otherUsers;
    };
    struct Case {
        const char* name;
        std::vector<Link> links;
        const char* root; // under the scratch directory
        std::error_code expected;
        const char* madeIn; // where the root is made, under the scratch directory
    };
    const std::error_code untrusted = platform::Error::UntrustedLink;
    const std::vector<Case> cases = {
        {"another user's link in the middle",
         {{"w/x", "../victim", true}},
         "w/x/y/cap",
         untrusted,
         nullptr},
        {"the caller's link in the middle",
         {{"w/x", "../victim", false}},
         "w/x/y/cap",
         {},
         "victim/y/cap"},
        {"the caller's link to an absolute path",
         {{"w/x", "@victim", false}},
         "w/x/cap",
         {},
         "victim/cap"},
        {"a chain of the caller's links",
         {{"w/x", "x2", false}, {"w/x2", "../victim", false}},
         "w/x/cap",
         {},
         "victim/cap"},
        {"another user's link inside a trusted link's target",
         {{"w/x", "../hop", false}, {"hop/z", "../victim", true}},
         "w/x/z/cap",
         untrusted,
         nullptr},
        {"the root itself a link",
         {{"w/x", "../victim", false}},
         "w/x",
         platform::Error::SymbolicLink,
         nullptr},
        {"a loop of links",
         {{"w/x", "x", false}},
         "w/x/cap",
         std::make_error_code(std::errc::too_many_symbolic_link_levels),
         nullptr},
    };
    int skipped = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir dir("root-links");
        fs::create_directories(dir / "w");
        fs::create_directories(dir / "hop");
        fs::create_directories(dir / "victim");
        bool playable = true;
        for (const Link& link : c.links) {
            const std::string to = link.to;
            std::error_code made;
            fs::create_directory_symlink(to[0] == '@' ? dir / to.substr(1) : fs::path(to),
                                         dir / link.at, made);
            playable =
                playable && !made && (!link.otherUsers || testing::giveToOtherUser(dir / link.at));
        }
        if (!playable) {
            ++skipped;
            continue;
        }
        platform::Directory held;
        // Windows asks no owner: a reparse point anywhere on the way is refused.
        const bool windows = testing::kWindowsTarget;
        EXPECT_EQ(openOutputRoot(dir / c.root, held),
                  windows ? platform::Error::SymbolicLink : c.expected);
        if (c.madeIn == nullptr || windows) {
            EXPECT_FALSE(held.isOpen());
            EXPECT_TRUE(fs::is_empty(dir / "victim")) << "made through a refused link";
            continue;
        }
        ASSERT_TRUE(held.isOpen());
        // The held directory is the one made where the links lead.
        StreamWriter writer;
        ASSERT_FALSE(writer.begin(held, streamFileName(0), testing::makeConfig(1, 4, 256)));
        EXPECT_EQ(fs::file_size(dir / c.madeIn / streamFileName(0)), kWavHeaderSize);
    }
    if (skipped != 0) {
        GTEST_SKIP() << skipped << " rows NOT RUN: only root can play another user here, and "
                     << "only a privileged Windows user makes links";
    }
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
