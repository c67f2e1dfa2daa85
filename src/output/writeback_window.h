// When to write a stream file's pages back behind the write position: the arithmetic of
// windows, apart from the system calls (platform/writeback.h) so that every edge can be tested
// without a disk.
//
// The file is cut into windows of W bytes from offset 0. Once an append completes window k,
// its writeback is started, and the window two before it (k - 2) is waited for and then dropped
// from the page cache. On a disk that keeps up, window k - 2 has been on the disk for a whole
// window's time when it is waited for, so the wait returns at once; it blocks only when the
// disk is truly behind, by more than a window. At most three windows of a file are in the page
// cache: the one being filled and the two started behind it. The partial window at the end and
// the two in flight are left to the final sync (see tail()).
#pragma once

#include <cstdint>
#include <system_error>

namespace vaskel {

// A byte range of a file.
struct FileRange {
    std::uint64_t offset = 0;
    std::uint64_t bytes = 0;

    bool empty() const { return bytes == 0; }
    std::uint64_t end() const { return offset + bytes; }
    friend bool operator==(const FileRange&, const FileRange&) = default;
};

// What an append asks for, in this order: start writing `start` back; wait until `wait` is on
// the disk; drop `drop` from the page cache. Empty ranges ask for nothing; mostly all are.
struct WritebackStep {
    FileRange start;
    FileRange wait;
    FileRange drop;

    bool empty() const { return start.empty() && wait.empty() && drop.empty(); }
    friend bool operator==(const WritebackStep&, const WritebackStep&) = default;
};

class WritebackWindow {
public:
    // The window of each of `streams` stream files: the total budget shared out, within bounds,
    // in whole multiples of kWindowGrain. Chosen by measurement (docs/PERFORMANCE.md): on this
    // ext4 a 1 MiB window wrote as fast as any larger one, with shorter steps and a shorter
    // final sync; above 64 streams the budget keeps the pages in flight (three windows a file)
    // within what the disk writes in a fraction of a second.
    static constexpr std::uint64_t kTotalBudgetBytes = std::uint64_t{64} << 20;
    static constexpr std::uint64_t kMaxWindowBytes = std::uint64_t{1} << 20;
    static constexpr std::uint64_t kMinWindowBytes = std::uint64_t{256} << 10;
    static constexpr std::uint64_t kWindowGrain = std::uint64_t{64} << 10;
    static std::uint64_t windowBytesFor(std::uint32_t streams);

    // The first page holds the header, which the finish rewrites: it stays in the cache, so
    // that rewrite never has to read it back from the disk first.
    static constexpr std::uint64_t kKeptHeadBytes = 4096;

    // 0 never writes back: everything is left to the final sync.
    explicit WritebackWindow(std::uint64_t windowBytes) : window_(windowBytes) {}

    // After an append that left the file `fileBytes` long: the step to take. A size that does
    // not grow asks for nothing.
    [[nodiscard]] WritebackStep advance(std::uint64_t fileBytes);

    // At a time-kept round, for a file `fileBytes` long: the step that starts everything not
    // started yet, a partial window included, so that nothing waits for its window to fill
    // before it heads for the disk. Windows fill on from there as before.
    [[nodiscard]] WritebackStep startAll(std::uint64_t fileBytes);

    // The end of the prefix whose writeback was started.
    std::uint64_t started() const { return started_; }
    // The end of the prefix waited for: on the disk.
    std::uint64_t settled() const { return settled_; }

    // At the finish, for a file `fileBytes` long: the range whose writeback was never started
    // (the last partial window, or all of a file shorter than a window). Starting it for every
    // file before syncing any lets the disk write them all at once.
    FileRange tail(std::uint64_t fileBytes) const;

    std::uint64_t windowBytes() const { return window_; }

private:
    std::uint64_t window_;
    std::uint64_t started_ = 0; // end of the prefix whose writeback was started
    std::uint64_t settled_ = 0; // end of the prefix waited for and dropped
};

// Takes `step` on the file behind `file` (a POSIX descriptor or a Windows HANDLE), in order,
// stopping at the first failure. A failure is the writer's, like a failed write: the file may
// not reach the disk (see platform/writeback.h for what counts as one and what is quietly
// not supported).
[[nodiscard]] std::error_code applyWritebackStep(std::intptr_t file, const WritebackStep& step);

} // namespace vaskel
