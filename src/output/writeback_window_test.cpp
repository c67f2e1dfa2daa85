#include "output/writeback_window.h"
#include "test_platform.h"
#include "test_support.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <vector>

namespace vaskel {
namespace {

constexpr std::uint64_t kW = std::uint64_t{1} << 20;
constexpr std::uint64_t kHead = WritebackWindow::kKeptHeadBytes;

// One file's appends in order, each with the step it must ask for, then the tail left to the
// final sync. The window is 1 MiB.
struct Capture {
    const char* what;
    std::uint64_t window;
    std::vector<std::pair<std::uint64_t, WritebackStep>> appends;
    FileRange tail;
};

TEST(WritebackWindow, StartsEachWindowOnceAndSettlesTheOneTwoBehind) {
    const WritebackStep none{};
    const Capture captures[] = {
        {"shorter than a window: all left to the final sync",
         kW,
         {{44, none}, {44 + 16384, none}, {kW - 1, none}},
         {0, kW - 1}},
        {"writeback off", 0, {{44, none}, {5 * kW, none}}, {0, 5 * kW}},
        {"window by window, the last one partial",
         kW,
         {{kW, {{0, kW}, {}, {}}},
          {kW, none}, // no growth, nothing asked again
          {2 * kW + 100, {{kW, kW}, {}, {}}},
          // The first window settles once the third is complete; its header page stays.
          {3 * kW, {{2 * kW, kW}, {0, kW}, {kHead, kW - kHead}}},
          {4 * kW - 1, none},
          {4 * kW, {{3 * kW, kW}, {kW, kW}, {kW, kW}}},
          {4 * kW + kW / 2, none}},
         {4 * kW, kW / 2}},
        {"one append completing several windows",
         kW,
         {{kW / 2, none}, {3 * kW + 10, {{0, 3 * kW}, {0, kW}, {kHead, kW - kHead}}}},
         {3 * kW, 10}},
        {"ends exactly on a window: nothing left but what is in flight",
         kW,
         {{2 * kW, {{0, 2 * kW}, {}, {}}}},
         {}},
        {"a window no larger than the header page drops nothing of it",
         kHead,
         {{3 * kHead, {{0, 3 * kHead}, {0, kHead}, {}}},
          {4 * kHead, {{3 * kHead, kHead}, {kHead, kHead}, {kHead, kHead}}}},
         {}},
    };
    for (const Capture& capture : captures) {
        WritebackWindow window(capture.window);
        std::uint64_t size = 0;
        for (const auto& [bytes, expected] : capture.appends) {
            EXPECT_EQ(window.advance(bytes), expected) << capture.what << ", at " << bytes;
            size = bytes;
        }
        EXPECT_EQ(window.tail(size), capture.tail) << capture.what;
    }
}

TEST(WritebackWindow, SharesTheBudgetOutWithinBounds) {
    const std::pair<std::uint32_t, std::uint64_t> rows[] = {
        {0, 1 << 20},    {1, 1 << 20},     {64, 1 << 20},
        {96, 640 << 10}, {128, 512 << 10}, {4096, 256 << 10},
    };
    for (const auto& [streams, window] : rows) {
        EXPECT_EQ(WritebackWindow::windowBytesFor(streams), window) << streams << " streams";
    }
}

// The steps reach the file's own pages: once written back and dropped, nothing of the settled
// window is left in the cache but its header page. (A wrong flag would leave the window dirty,
// and the drop would keep it.) A handle that is not a file fails the step,
// as a failed write would (Windows does nothing and cannot fail).
TEST(WritebackWindow, StepsReachTheDiskAndAFailureIsReported) {
    const testing::ScratchDir dir("writeback");
    const auto path = dir / "stream-0.wav";
    std::vector<char> chunk(16384, 'x');
    {
        testing::NativeTestFile file(path);
        ASSERT_NE(file.handle(), -1);
        WritebackWindow window(256 << 10);
        std::uint64_t size = 0;
        for (int i = 0; i < 48; ++i) { // 3 windows of 16 chunks
            ASSERT_TRUE(file.write(chunk.data(), chunk.size()));
            size += chunk.size();
            ASSERT_FALSE(applyWritebackStep(file.handle(), window.advance(size)));
        }
        // Two windows in flight and the header's page (or the larger folio that holds it).
        if (const auto cached = testing::pageCachedBytes(path)) {
            EXPECT_LE(*cached, 2 * (256 << 10) + (64 << 10));
        }
    }
    const std::error_code failed = applyWritebackStep(-1, {{0, kW}, {}, {}});
    if (testing::kWindowsTarget) {
        EXPECT_FALSE(failed);
    } else {
        EXPECT_EQ(failed, std::error_code(EBADF, std::generic_category()));
    }
}

} // namespace
} // namespace vaskel
