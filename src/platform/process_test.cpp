#include "platform/process.h"
#include "test_support.h"

#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <string>

namespace vaskel::platform {
namespace {

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

// POSIX: an empty or relative PATH entry names whatever directory the parent happens to run in,
// where anyone may have put a program of that name; it is never searched.
TEST(ChildProcess, RelativePathEntriesAreNeverSearched) {
    if (testing::kWindowsTarget) {
        GTEST_SKIP() << "SKIPPED on Windows: CreateProcess searches the current directory first";
    }
    const std::filesystem::path directory = testing::rendererPath().parent_path();
    const std::filesystem::path before = std::filesystem::current_path();
    std::filesystem::current_path(directory); // a vaskel_renderer right here
    for (const std::string search : {".", "", ":", "./", "bin:.", "/nonexistent:"}) {
        const PathVariable path(search);
        testing::RunningChild child("vaskel_renderer", {testing::native("--transport-capacity")});
        EXPECT_FALSE(child.started()) << "PATH=" << search;
    }
    {
        const PathVariable path(".:" + directory.string());
        testing::RunningChild child("vaskel_renderer", {testing::native("--transport-capacity")});
        EXPECT_TRUE(child.started()) << child.failure();
        if (child.started()) {
            EXPECT_EQ(child.wait().exitCode, 0);
        }
    }
    std::filesystem::current_path(before);
}

} // namespace
} // namespace vaskel::platform
