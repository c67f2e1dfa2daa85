#include "platform/file.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <string>
#include <system_error>

namespace vaskel::platform {
namespace {

// Everything goes to the file the create made, whatever is put at its name meanwhile; a name
// already taken, a link included, is refused without touching what it names.
TEST(NewFile, WritesOnlyTheFileItCreated) {
    const testing::ScratchDir dir("new-file");
    const auto name = dir / "new";
    const auto moved = dir / "moved";
    testing::writeFile(dir / "victim", "victim");
    NewFile file;
    ASSERT_FALSE(file.create(name));
    // Windows keeps a file open without delete sharing at its name: nothing to swap there.
    std::error_code swapped;
    std::filesystem::rename(name, moved, swapped);
    if (!swapped) {
        std::filesystem::create_symlink("victim", name, swapped);
    }
    ASSERT_FALSE(file.write("ab", 2));
    ASSERT_FALSE(file.skip(3));
    ASSERT_FALSE(file.write("c", 1));
    ASSERT_FALSE(file.setSize(8));
    ASSERT_FALSE(file.writeAt(1, "XY", 2)); // over what was written
    ASSERT_FALSE(file.writeAt(9, "z", 1));  // beyond the end
    // What a file has, read through a handle of its own.
    const auto attributesOf = [](const std::filesystem::path& path) {
        File held;
        EXPECT_FALSE(held.open(path, File::Access::Read));
        return held.attributes();
    };
    ErrorOr<FileAttributes> given = attributesOf(dir / "victim");
    ASSERT_TRUE(given);
    given->modified -= 86400LL * 1000 * 1000 * 1000 / (testing::kWindowsTarget ? 100 : 1);
    given->mode = 0640;
    ASSERT_FALSE(file.applyAttributes(*given));
    ASSERT_FALSE(file.sync());
    ASSERT_FALSE(file.close());
    EXPECT_EQ(testing::readFile(dir / "victim"), "victim");
    const std::string written("aXY\0\0c\0\0\0z", 10);
    const auto made = std::filesystem::exists(moved) ? moved : name;
    EXPECT_EQ(testing::readFile(made), written);
    const ErrorOr<FileAttributes> kept = attributesOf(made);
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->modified, given->modified);
    EXPECT_EQ(kept->mode, testing::kWindowsTarget ? 0u : 0640u);
    for (const auto& taken : {name, dir / "victim"}) {
        NewFile again;
        EXPECT_EQ(again.create(taken), std::errc::file_exists) << taken;
        EXPECT_FALSE(again.isOpen());
    }
    EXPECT_EQ(testing::readFile(dir / "victim"), "victim");
}

// A copy moves over the file it replaces while still held and locked (POSIX: even with that file
// open elsewhere): the name names the copy at once, the file replaced has no name left, and no
// one can take the copy's lock (or, on Windows, open it) until it is let go.
TEST(NewFile, ReplacesAFileStillHeldAndLocked) {
    const testing::ScratchDir dir("new-file-replace");
    Directory held;
    ASSERT_FALSE(held.open(dir.path()));
    testing::writeFile(dir / "target", "old");
    // Windows (Wine at least) refuses to replace a file that is open anywhere.
    File replaced;
    ASSERT_TRUE(testing::kWindowsTarget || !replaced.open(dir / "target", File::Access::Read));
    NewFile copy;
    ASSERT_FALSE(copy.create(held, "target.tmp"));
    ASSERT_FALSE(copy.lock());
    ASSERT_FALSE(copy.write("new", 3));
    const std::error_code moved = copy.replace(held, "target.tmp", "target");
    ASSERT_FALSE(moved) << errorMessage(moved);
    EXPECT_FALSE(std::filesystem::exists(dir / "target.tmp"));
    const ErrorOr<bool> named = replaced.stillNamed();
    EXPECT_TRUE(testing::kWindowsTarget || (named && !*named))
        << "the file replaced still has a name";
    File probe;
    const std::error_code opened = probe.open(dir / "target", File::Access::Read);
    EXPECT_TRUE(opened == Error::LockBusy || (!opened && probe.lock() == Error::LockBusy))
        << "the copy was let go before it was in place";
    probe.close();
    ASSERT_FALSE(copy.close());
    EXPECT_EQ(testing::readFile(dir / "target"), "new");
}

// One holder at a time: another is told the lock is busy until the first lets go.
TEST(File, AnotherHolderIsToldTheLockIsBusy) {
    const testing::ScratchDir dir("file-lock");
    Directory root;
    ASSERT_FALSE(root.open(dir.path()));
    File first;
    ASSERT_FALSE(first.open(root, "stream-0.wav", File::Access::CreateReadWrite));
    ASSERT_FALSE(first.lock());
    EXPECT_TRUE(first.locked()) << "the scratch directory's file system offers locks";
    File second;
    ASSERT_FALSE(second.open(dir / "stream-0.wav", File::Access::Read));
    EXPECT_EQ(second.lock(), Error::LockBusy);
    EXPECT_FALSE(second.locked());
    first.unlock();
    EXPECT_FALSE(second.lock());
    EXPECT_TRUE(second.locked());
    first.close();
    second.close();
    EXPECT_FALSE(first.open(dir / "stream-0.wav", File::Access::Read));
    EXPECT_FALSE(first.lock());
}

// The limit itself is a size a file may have; one byte more is refused, a file read in several
// pieces included.
TEST(File, ReadsASmallFileOfUpToItsLimitWhole) {
    const testing::ScratchDir dir("small-file");
    const struct {
        std::size_t size;
        std::size_t limit;
    } rows[] = {{0, 0}, {1, 0}, {16, 16}, {17, 16}, {5000, 5000}, {5001, 5000}};
    for (const auto& row : rows) {
        const std::string text(row.size, 'x');
        testing::writeFile(dir / "small", text);
        const ErrorOr<std::string> read = readSmallRegularFile(dir / "small", row.limit);
        if (row.size <= row.limit) {
            ASSERT_TRUE(read) << row.size << " of " << row.limit << ": " << read.error().message();
            EXPECT_EQ(*read, text);
        } else {
            EXPECT_EQ(read.error(), Error::TooLarge) << row.size << " of " << row.limit;
        }
    }
}

// A folder made inside a held directory is new or refused (a name taken, a link included), and
// opened through the handle it is that folder, even after the parent's name points elsewhere.
TEST(Directory, MakesAndOpensAFolderThroughTheHeldParent) {
    const testing::ScratchDir dir("directory-made");
    std::filesystem::create_directory(dir / "parent");
    std::filesystem::create_directory(dir / "elsewhere");
    Directory parent;
    ASSERT_FALSE(parent.open(dir / "parent"));
    ASSERT_FALSE(parent.makeDirectory("take-001"));
    EXPECT_EQ(parent.makeDirectory("take-001"), std::errc::file_exists);
    std::error_code linked;
    std::filesystem::create_directory_symlink(dir / "elsewhere", dir / "parent" / "link", linked);
    if (!linked) {
        EXPECT_EQ(parent.makeDirectory("link"), std::errc::file_exists);
        Directory through;
        EXPECT_TRUE(through.open(parent, "link"));
    }
    Directory take;
    ASSERT_FALSE(take.open(parent, "take-001"));
    NewFile file;
    ASSERT_FALSE(file.create(take, "streams.json"));
    ASSERT_FALSE(file.close());
    EXPECT_TRUE(std::filesystem::exists(dir / "parent" / "take-001" / "streams.json"));
    // Linux: the held path still reaches the folder once its name is gone.
    std::error_code moved;
    std::filesystem::rename(dir / "parent", dir / "moved", moved);
    if (!moved && !testing::kWindowsTarget) {
        EXPECT_TRUE(std::filesystem::exists(take.heldPath() / "streams.json"));
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir / "elsewhere"));
}

} // namespace
} // namespace vaskel::platform
