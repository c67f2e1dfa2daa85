// Everything a capture asks of the disk, done away from the thread that drains the rings: the
// progress snapshots, each stream file's writeback behind its write position, and the rounds
// that make what was written durable and record how far it is. A device may take a second to
// answer (a busy disk, a full queue, a journal commit); the rings of a live source hold a
// fraction of that. So the drain only publishes, without a lock: how long each file is, and a
// snapshot when one is due; the disk thread does the waiting.
#pragma once

#include "capture/capture_loop.h"
#include "output/durable_record.h"
#include "output/progress_file.h"
#include "output/writeback_window.h"
#include "platform/time.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace vaskel {

class StreamWriter;

// Where a snapshot is handed from the drain to the disk thread: one at a time. A snapshot due
// while the last one is still being written is skipped, never queued, so a slow disk costs the
// drain nothing and the file never lags behind a queue of stale ones.
class SnapshotHandOver {
public:
    // Drain side: true when taken; false when the last one is still on its way.
    [[nodiscard]] bool offer(const ProgressCounts& counts) {
        if (state_.load(std::memory_order_acquire) != kIdle) {
            return false;
        }
        counts_ = counts;
        state_.store(kOffered, std::memory_order_release);
        return true;
    }
    // Disk side: whether one is waiting; if so, its counts, until done() lets the next come.
    [[nodiscard]] bool waiting() const {
        return state_.load(std::memory_order_acquire) == kOffered;
    }
    const ProgressCounts& counts() const { return counts_; }
    void done() { state_.store(kIdle, std::memory_order_release); }

private:
    static constexpr int kIdle = 0;
    static constexpr int kOffered = 1;
    std::atomic<int> state_{kIdle};
    ProgressCounts counts_;
};

// Why the disk work failed: the system's reason and the file it concerns.
struct DiskFailure {
    std::error_code reason;
    std::string file;
};

class DiskWork {
public:
    struct Settings {
        // Each file's pages written back window by window behind the write position (a disk
        // file system on Linux; elsewhere the calls would do nothing).
        std::uint64_t windowBytes = 0;
        // Rounds that make the files durable and record their lengths (any file system with a
        // disk behind it); the most time between two.
        bool durable = false;
        std::int64_t roundEveryNs = 500000000;
    };

    // `startNs`: the time the first round is counted from.
    DiskWork(const platform::Directory& root, std::span<const StreamWriter> writers,
             const CaptureEnvironment& environment, const Settings& settings, std::int64_t startNs);

    // Drain side, without waiting: stream `stream`'s file now holds `bytes` that belong in it
    // (its released chunks).
    void publish(std::uint32_t stream, std::uint64_t bytes) {
        lengths_[stream].store(bytes, std::memory_order_release);
    }
    SnapshotHandOver& snapshots() { return snapshots_; }
    // Drain side: how many bytes the files hold beyond what is known to be on the disk, where
    // the disk work knows it (a file system with a disk behind it); 0 where it does not.
    [[nodiscard]] std::uint64_t backlog() const {
        if (!tracksDisk_) {
            return 0;
        }
        std::uint64_t behind = 0;
        for (std::size_t i = 0; i < writers_.size(); ++i) {
            const std::uint64_t written = lengths_[i].load(std::memory_order_relaxed);
            const std::uint64_t onDisk = onDisk_[i].load(std::memory_order_relaxed);
            behind += written > onDisk ? written - onDisk : 0;
        }
        return behind;
    }
    // Set once a writeback, sync or record failed: the files may not reach the disk, and the
    // capture ends as for a failed write. Read failure() after this says true.
    [[nodiscard]] bool failed() const { return failed_.load(std::memory_order_acquire); }
    const DiskFailure& failure() const { return failure_; }

    // Disk side: whatever is due at `now` (SteadyClock nanoseconds; the disk keeps its own time,
    // apart from the capture's clock): a snapshot handed over, windows filled since the last
    // call, a round when its time has come. Never throws.
    void tick(std::int64_t now) noexcept;

    // Once the disk thread has stopped: writes the snapshot still waiting, if one is, so that
    // every snapshot handed over is written, the first one of a capture that ends at once too.
    void writeWaitingSnapshot() noexcept;

    // Once the disk thread has stopped: where each file's writeback was started up to, so that
    // the final sync starts the rest.
    std::uint64_t started(std::uint32_t stream) const { return windows_[stream].started(); }

private:
    void round();
    void noteOnDisk(std::uint32_t stream, std::uint64_t bytes);
    void fail(std::error_code reason, std::string file) noexcept;

    const platform::Directory& root_;
    std::span<const StreamWriter> writers_;
    const CaptureEnvironment& environment_;
    const Settings settings_;
    std::unique_ptr<std::atomic<std::uint64_t>[]> lengths_;
    std::unique_ptr<std::atomic<std::uint64_t>[]> onDisk_; // waited for or synced
    bool tracksDisk_ = false;
    std::vector<WritebackWindow> windows_;
    std::vector<std::uint64_t> durable_; // lengths the last round made durable
    std::vector<std::uint64_t> seen_;    // lengths this round read
    DurableRecord record_;
    SnapshotHandOver snapshots_;
    std::int64_t lastRound_ = 0;
    bool rounds_ = false;
    std::atomic<bool> failed_{false};
    DiskFailure failure_;
};

// Runs a DiskWork on a thread of its own, a tick every few milliseconds, from start() until
// stop() (or destruction), which waits for the tick under way. Where the environment asks for
// it (tests), no thread: tickInline() does the work on the caller's thread at the moments it
// chooses, so every decision can be followed step by step.
class DiskThread {
public:
    DiskThread(DiskWork& work, const CaptureEnvironment& environment)
        : work_(work), environment_(environment) {}
    DiskThread(const DiskThread&) = delete;
    DiskThread& operator=(const DiskThread&) = delete;
    ~DiskThread() { stop(); }

    void start();
    void tickInline() {
        if (!environment_.diskThread) {
            work_.tick(platform::SteadyClock::now());
        }
    }
    void stop();

private:
    DiskWork& work_;
    const CaptureEnvironment& environment_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

} // namespace vaskel
