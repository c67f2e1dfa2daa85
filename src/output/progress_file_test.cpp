#include "output/output_paths.h"
#include "output/progress_file.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <initializer_list>
#include <string>

namespace vaskel {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::ScratchDir;
using testing::writeFile;

// A creation mask for one test, the one before restored however the test ends.
class CreationMask {
public:
    explicit CreationMask(std::uint32_t mask) : before_(testing::setCreationMask(mask)) {}
    ~CreationMask() { testing::setCreationMask(before_); }
    CreationMask(const CreationMask&) = delete;
    CreationMask& operator=(const CreationMask&) = delete;

private:
    std::uint32_t before_;
};

class ProgressFileOnDisk : public ::testing::Test {
protected:
    ScratchDir dir_{"progress"};
    fs::path snapshotPath() const { return dir_ / kProgressFileName; }
    fs::path tempPath() const { return dir_ / kProgressTempFileName; }
    // The root as a capture holds it.
    const platform::Directory& root() {
        if (!root_.isOpen()) {
            EXPECT_FALSE(root_.open(dir_.path()));
        }
        return root_;
    }

private:
    platform::Directory root_;
};

TEST_F(ProgressFileOnDisk, OneLineThatAShorterSnapshotReplacesWhole) {
    const ProgressCounts large{2, 2, 1, 7999999998, 8000000000};
    writeProgressFile(root(), large, false);
    EXPECT_EQ(readFile(snapshotPath()), formatProgress(large, false));
    EXPECT_FALSE(fs::exists(tempPath()));

    // A longer leftover temporary file is truncated, not overwritten in place.
    writeFile(tempPath(), std::string(500, '#'));
    writeProgressFile(root(), ProgressCounts{1, 0, 0, 0, 0}, true);
    const std::string text = readFile(snapshotPath());
    EXPECT_EQ(text, "{\"schemaVersion\":1,\"state\":\"complete\",\"streamCount\":1,"
                    "\"activeStreams\":0,\"completedStreams\":0,\"writtenFrames\":0,"
                    "\"totalFrames\":0}");
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '}');
    EXPECT_EQ(text.find_first_of("\r\n \t"), std::string::npos);
    EXPECT_FALSE(fs::exists(tempPath()));
}

TEST_F(ProgressFileOnDisk, UnreplaceableSnapshotLeavesTheOldOneAndACompleteTemporary) {
    // A non-empty directory in the snapshot's place cannot be replaced by a file.
    fs::create_directory(snapshotPath());
    writeFile(snapshotPath() / "keep", "kept");
    const ProgressCounts counts{2, 2, 1, 600, 800};

    writeProgressFile(root(), counts, false);

    EXPECT_TRUE(fs::is_directory(snapshotPath()));
    EXPECT_EQ(readFile(snapshotPath() / "keep"), "kept");
    EXPECT_EQ(readFile(tempPath()), formatProgress(counts, false));
}

TEST_F(ProgressFileOnDisk, WhatLiesUnderTheTemporaryNameIsNeverFollowedOrMovedOverTheSnapshot) {
    // A directory others can write: someone plants a link to a file of theirs, or something
    // that cannot be removed, under the temporary name.
    const fs::path victim = dir_ / "victim";
    writeFile(victim, "untouched");
    struct Planted {
        const char* what;
        void (*plant)(const fs::path& temp, const fs::path& victim);
        bool replaced; // whether the new snapshot still arrives
    };
    const Planted cases[] = {
        {"a link to another file",
         [](const fs::path& temp, const fs::path& target) { fs::create_symlink(target, temp); },
         true},
        {"a dangling link",
         [](const fs::path& temp, const fs::path& target) {
             fs::create_symlink(target.parent_path() / "nowhere", temp);
         },
         true},
        {"a directory that is not empty",
         [](const fs::path& temp, const fs::path&) {
             fs::create_directory(temp);
             writeFile(temp / "keep", "kept");
         },
         false},
    };
    // A known mask: the snapshot is for whoever follows the capture, as far as the mask allows.
    const CreationMask mask(027);
    for (const Planted& c : cases) {
        if (testing::kWindowsTarget && c.replaced) {
            continue; // links need a privilege there
        }
        const ProgressCounts before{2, 2, 0, 200, 800};
        writeProgressFile(root(), before, false);
        c.plant(tempPath(), victim);

        const ProgressCounts after{2, 2, 2, 800, 800};
        writeProgressFile(root(), after, true);

        // Checked before reading: a moved link would make the snapshot someone else's file.
        ASSERT_FALSE(fs::is_symlink(snapshotPath())) << c.what;
        EXPECT_EQ(readFile(snapshotPath()), formatProgress(c.replaced ? after : before, c.replaced))
            << c.what;
        EXPECT_EQ(readFile(victim), "untouched") << c.what;
        EXPECT_FALSE(fs::exists(dir_ / "nowhere")) << c.what;
        if (!testing::kWindowsTarget) {
            EXPECT_EQ(static_cast<unsigned>(fs::status(snapshotPath()).permissions()), 0640u)
                << c.what;
        }
        std::error_code ignored;
        fs::remove_all(tempPath(), ignored);
    }
}

TEST_F(ProgressFileOnDisk, UnheldRootWritesNothing) {
    const platform::Directory unheld;
    EXPECT_NO_THROW(writeProgressFile(unheld, ProgressCounts{1, 1, 0, 5, 10}, false));
    EXPECT_TRUE(fs::is_empty(dir_.path()));
}

// Someone who can write the root's parent moves the root away during a capture and puts a link
// to a directory of theirs (or of root's) in its place: every later snapshot still lands in the
// root the capture holds, never in the directory the name now leads to.
TEST_F(ProgressFileOnDisk, SnapshotsFollowTheHeldRootNotItsName) {
    if (testing::kWindowsTarget) {
        GTEST_SKIP() << "SKIPPED: a held directory cannot be renamed on Windows, so its name "
                        "cannot be swapped";
    }
    const fs::path captured = dir_ / "cap";
    const fs::path elsewhere = dir_ / "elsewhere";
    fs::create_directory(captured);
    fs::create_directory(elsewhere);
    platform::Directory held;
    ASSERT_FALSE(held.open(captured));
    writeProgressFile(held, ProgressCounts{1, 1, 0, 5, 10}, false);
    fs::rename(captured, dir_ / "cap.moved");
    fs::create_directory_symlink(elsewhere, captured);
    writeProgressFile(held, ProgressCounts{1, 1, 1, 10, 10}, true);
    EXPECT_EQ(readFile(dir_ / "cap.moved" / kProgressFileName),
              formatProgress(ProgressCounts{1, 1, 1, 10, 10}, true));
    EXPECT_TRUE(fs::is_empty(elsewhere));
}

} // namespace
} // namespace vaskel
