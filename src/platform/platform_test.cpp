#include "platform/platform.h"
#include "test_support.h"

#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <system_error>
#include <utility>

namespace vaskel::platform {
namespace {

bool nameExists(const NativeString& name) {
    return static_cast<bool>(Region::open(name));
}

// Who removes the name: the creating side when it lets go, never an opener, a moved-from region
// or a create that found the name taken.
TEST(Region, OnlyTheCreatingSideRemovesTheName) {
    const NativeString name = testing::uniqueRegionName("owner");
    {
        Region created = Region::create(name, 8192);
        ASSERT_TRUE(created);
        ASSERT_TRUE(created.map(8192));
        created.data()[100] = std::byte{42};
        {
            Region opened = Region::open(name);
            ASSERT_TRUE(opened);
            ASSERT_TRUE(opened.map(4096));
            EXPECT_EQ(opened.data()[100], std::byte{42});
            // No view longer than the region, and a failed map leaves none.
            EXPECT_FALSE(opened.map(8193));
            EXPECT_EQ(opened.data(), nullptr);
            EXPECT_EQ(opened.size(), 0u);
        }
        EXPECT_TRUE(nameExists(name)) << "an opener removed the name";

        bool taken = false;
        const Region twice = Region::create(name, 4096, &taken);
        EXPECT_FALSE(twice);
        EXPECT_TRUE(taken);
        EXPECT_TRUE(nameExists(name)) << "a refused create removed someone else's name";

        // Moving hands the name on: the source is empty and removes nothing when it goes.
        Region moved;
        {
            Region source = std::move(created);
            moved = std::move(source);
            EXPECT_FALSE(source);
            EXPECT_EQ(source.data(), nullptr);
            EXPECT_EQ(source.size(), 0u);
        }
        EXPECT_FALSE(created);
        ASSERT_TRUE(moved);
        EXPECT_EQ(moved.size(), 8192u);
        EXPECT_EQ(moved.data()[100], std::byte{42});
        EXPECT_TRUE(nameExists(name)) << "a moved-from region removed the name";

        // Assigning over a region releases what it held, name included.
        const NativeString other = testing::uniqueRegionName("replaced");
        Region replaced = Region::create(other, 4096);
        ASSERT_TRUE(replaced);
        replaced = std::move(moved);
        EXPECT_FALSE(nameExists(other));
        EXPECT_TRUE(nameExists(name));
    }
    EXPECT_FALSE(nameExists(name)) << "the creating side left its name behind";
}

// Restores PATH when the test ends, however it ends.
class PathVariable {
public:
    explicit PathVariable(const std::filesystem::path& directory) {
        const char* old = std::getenv("PATH");
        saved_ = old != nullptr ? old : "";
        testing::setEnvironmentVariable("PATH", directory.string());
    }
    ~PathVariable() { testing::setEnvironmentVariable("PATH", saved_); }
    PathVariable(const PathVariable&) = delete;
    PathVariable& operator=(const PathVariable&) = delete;

private:
    std::string saved_;
};

// A bare program name is looked up in PATH, one with a directory part is taken as it is, and a
// start that fails says why in the system's words.
TEST(ChildProcess, BareNamesAreSearchedInPathAndFailuresSayWhy) {
    const std::filesystem::path directory = testing::rendererPath().parent_path();
    const PathVariable path(directory);
    struct Case {
        std::filesystem::path program;
        bool starts;
    };
    const Case cases[] = {
        {"vaskel_renderer", true},
        {"vaskel-no-such-program", false},
        {std::filesystem::path("no-such-directory") / "vaskel_renderer", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.program.string());
        testing::RunningChild child(c.program, {testing::native("--transport-capacity")});
        ASSERT_EQ(child.started(), c.starts) << child.failure();
        if (c.starts) {
            EXPECT_TRUE(child.failure().empty());
            const testing::ChildResult result = child.wait();
            EXPECT_EQ(result.exitCode, 0);
            EXPECT_EQ(result.out.rfind("{", 0), 0u) << result.out;
            continue;
        }
        EXPECT_FALSE(child.failure().empty());
        if (!testing::kWindowsTarget) {
            EXPECT_EQ(child.failure(), std::strerror(ENOENT));
        }
    }
}

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
    ASSERT_TRUE(file.write("ab", 2));
    ASSERT_TRUE(file.skip(3));
    ASSERT_TRUE(file.write("c", 1));
    ASSERT_TRUE(file.setSize(8));
    FileAttributes given;
    ASSERT_TRUE(readFileAttributes(dir / "victim", given));
    given.modified -= 86400LL * 1000 * 1000 * 1000 / (testing::kWindowsTarget ? 100 : 1);
    given.mode = 0640;
    ASSERT_TRUE(file.applyAttributes(given));
    ASSERT_TRUE(file.sync());
    ASSERT_TRUE(file.close());
    EXPECT_EQ(testing::readFile(dir / "victim"), "victim");
    const std::string written("ab\0\0\0c\0\0", 8);
    const auto made = std::filesystem::exists(moved) ? moved : name;
    EXPECT_EQ(testing::readFile(made), written);
    FileAttributes kept;
    ASSERT_TRUE(readFileAttributes(made, kept));
    EXPECT_EQ(kept.modified, given.modified);
    EXPECT_EQ(kept.mode, testing::kWindowsTarget ? 0u : 0640u);
    for (const auto& taken : {name, dir / "victim"}) {
        NewFile again;
        EXPECT_EQ(again.create(taken), std::errc::file_exists) << taken;
        EXPECT_FALSE(again.isOpen());
    }
    EXPECT_EQ(testing::readFile(dir / "victim"), "victim");
}

} // namespace
} // namespace vaskel::platform
