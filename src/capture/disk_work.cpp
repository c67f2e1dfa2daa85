#include "capture/disk_work.h"

#include "output/output_paths.h"
#include "output/stream_writer.h"
#include "platform/time.h"

namespace vaskel {

namespace {

// How often the disk thread looks for work: a window filled at full speed, a snapshot due. Its
// wake-ups cost far less than the drain's, and the drain never waits for one.
constexpr std::uint32_t kTickMs = 10;

} // namespace

DiskWork::DiskWork(const platform::Directory& root, std::span<const StreamWriter> writers,
                   const CaptureEnvironment& environment, const Settings& settings,
                   std::int64_t startNs)
    : root_(root), writers_(writers), environment_(environment), settings_(settings),
      lengths_(std::make_unique<std::atomic<std::uint64_t>[]>(writers.size())),
      onDisk_(std::make_unique<std::atomic<std::uint64_t>[]>(writers.size())),
      tracksDisk_(settings.windowBytes != 0 || settings.durable),
      windows_(writers.size(), WritebackWindow(settings.windowBytes)), durable_(writers.size(), 0),
      seen_(writers.size(), 0), lastRound_(startNs) {
    for (std::size_t i = 0; i < writers.size(); ++i) {
        lengths_[i].store(writers[i].bytesWritten(), std::memory_order_relaxed);
        onDisk_[i].store(0, std::memory_order_relaxed);
    }
    if (settings.durable) {
        if (const std::error_code created = record_.create(root)) {
            fail(created, kDurableFileName);
        }
        rounds_ = true;
    }
}

void DiskWork::noteOnDisk(std::uint32_t stream, std::uint64_t bytes) {
    if (bytes > onDisk_[stream].load(std::memory_order_relaxed)) {
        onDisk_[stream].store(bytes, std::memory_order_relaxed);
    }
}

void DiskWork::fail(std::error_code reason, std::string file) noexcept {
    failure_.reason = reason;
    failure_.file = std::move(file);
    failed_.store(true, std::memory_order_release);
}

void DiskWork::writeWaitingSnapshot() noexcept {
    if (snapshots_.waiting()) {
        writeProgressFile(root_, snapshots_.counts(), false);
        snapshots_.done();
    }
}

void DiskWork::tick(std::int64_t now) noexcept {
    if (failed()) {
        return;
    }
    writeWaitingSnapshot();
    try {
        for (std::uint32_t i = 0; i < writers_.size(); ++i) {
            const std::uint64_t length = lengths_[i].load(std::memory_order_acquire);
            const WritebackStep step = windows_[i].advance(length);
            if (step.empty()) {
                continue;
            }
            if (const std::error_code error = environment_.writeback(writers_[i].native(), step)) {
                return fail(error, streamFileName(i));
            }
            noteOnDisk(i, windows_[i].settled());
        }
        if (rounds_ && now - lastRound_ >= settings_.roundEveryNs) {
            lastRound_ = now;
            round();
        }
    } catch (...) {
        // Only a file name could not be had for a failure already taken.
        failed_.store(true, std::memory_order_release);
    }
}

// Everything written since the last round heads for the disk at once, then each file is synced
// (its data and its size), and only then is the record told: it never names a length the disk
// does not hold.
void DiskWork::round() {
    bool grew = false;
    for (std::uint32_t i = 0; i < writers_.size(); ++i) {
        seen_[i] = lengths_[i].load(std::memory_order_acquire);
        grew = grew || seen_[i] != durable_[i];
    }
    if (!grew) {
        return;
    }
    for (std::uint32_t i = 0; i < writers_.size(); ++i) {
        if (seen_[i] == durable_[i]) {
            continue;
        }
        const WritebackStep step = windows_[i].startAll(seen_[i]);
        if (step.empty()) {
            continue;
        }
        if (const std::error_code error = environment_.writeback(writers_[i].native(), step)) {
            return fail(error, streamFileName(i));
        }
    }
    for (std::uint32_t i = 0; i < writers_.size(); ++i) {
        if (seen_[i] == durable_[i]) {
            continue;
        }
        if (const std::error_code error = environment_.syncFile(writers_[i])) {
            return fail(error, streamFileName(i));
        }
    }
    if (const std::error_code error = record_.write(seen_)) {
        return fail(error, kDurableFileName);
    }
    durable_ = seen_;
    for (std::uint32_t i = 0; i < writers_.size(); ++i) {
        noteOnDisk(i, durable_[i]);
    }
}

void DiskThread::start() {
    if (!environment_.diskThread || thread_.joinable()) {
        return;
    }
    thread_ = std::thread([this] {
        while (!stopping_.load(std::memory_order_acquire)) {
            work_.tick(platform::SteadyClock::now());
            platform::sleepMilliseconds(kTickMs);
        }
    });
}

void DiskThread::stop() {
    stopping_.store(true, std::memory_order_release);
    if (thread_.joinable()) {
        thread_.join();
    }
    work_.writeWaitingSnapshot();
}

} // namespace vaskel
