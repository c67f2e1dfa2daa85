#include "capture/capture_output.h"

#include "output/output_paths.h"
#include "output/progress_file.h"
#include "platform/time.h"

namespace vaskel {

namespace {

std::error_code skipWritebackStep(std::intptr_t, const WritebackStep&) {
    return {};
}

} // namespace

std::error_code CaptureEnvironment::syncWriter(const StreamWriter& writer) {
    return writer.sync();
}

OutputError CaptureOutput::rootError(std::error_code reason) const {
    std::string name;
    try {
        const std::u8string text = root_.u8string();
        name.assign(text.begin(), text.end());
    } catch (...) {
        name = "output root";
    }
    return {reason, name};
}

OutputError CaptureOutput::error(std::uint32_t stream) const {
    return {writers_[stream].error(), streamFileName(stream)};
}

OutputError CaptureOutput::open(const CaptureResult& result) {
    if (const std::error_code opened = openOutputRoot(root_, rootDirectory_)) {
        return rootError(opened);
    }
    // On a RAM file system no step is taken at all, not even the tails' and the drops, and
    // nothing is made durable: there is no disk to reach.
    const bool writeBack = environment_.writingBackHelps(rootDirectory_.native());
    for (std::uint32_t i = 0; i < config_.streamCount; ++i) {
        writers_[i].setWriteback(writeBack ? environment_.writeback : &skipWritebackStep);
        if (const std::error_code begun =
                writers_[i].begin(rootDirectory_, streamFileName(i), config_)) {
            return {begun, streamFileName(i)};
        }
    }
    DiskWork::Settings settings;
    settings.windowBytes = writeBack ? WritebackWindow::windowBytesFor(config_.streamCount) : 0;
    settings.durable = environment_.onDisk(rootDirectory_.native());
    settings.roundEveryNs = environment_.durableRoundNs;
    disk_.emplace(rootDirectory_, writers_, environment_, settings, platform::SteadyClock::now());
    (void)disk_->snapshots().offer(progressCounts(config_, result));
    diskThread_.emplace(*disk_, environment_);
    diskThread_->tickInline();
    diskThread_->start();
    return {};
}

OutputError CaptureOutput::finish(std::uint32_t stream, std::uint64_t frames) {
    return {writers_[stream].finish(frames), streamFileName(stream)};
}

OutputError CaptureOutput::syncToDisk() {
    stopDiskThread();
    if (disk_->failed()) {
        return {disk_->failure().reason, disk_->failure().file};
    }
    // Every tail on its way first, so the syncs below wait on writes already running together.
    for (std::uint32_t i = 0; i < writers_.size(); ++i) {
        if (const std::error_code error = writers_[i].startTail(disk_->started(i))) {
            return {error, streamFileName(i)};
        }
    }
    for (std::uint32_t i = 0; i < writers_.size(); ++i) {
        if (const std::error_code error = environment_.syncFile(writers_[i])) {
            return {error, streamFileName(i)};
        }
    }
    if (const std::error_code error = environment_.syncDirectory(rootDirectory_)) {
        return rootError(error);
    }
    for (const StreamWriter& writer : writers_) {
        writer.dropCachedPages();
    }
    return {};
}

void CaptureOutput::writeCompleteProgress(const CaptureResult& result) const {
    writeProgressFile(rootDirectory_, progressCounts(config_, result), true);
}

} // namespace vaskel
