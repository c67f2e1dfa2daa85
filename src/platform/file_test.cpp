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
    const std::string written("ab\0\0\0c\0\0", 8);
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
