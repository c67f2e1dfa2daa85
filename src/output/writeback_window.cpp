#include "output/writeback_window.h"

#include "platform/writeback.h"

#include <algorithm>

namespace vaskel {

std::uint64_t WritebackWindow::windowBytesFor(std::uint32_t streams) {
    const std::uint64_t share = kTotalBudgetBytes / std::max<std::uint32_t>(1, streams);
    const std::uint64_t bounded = std::clamp(share, kMinWindowBytes, kMaxWindowBytes);
    return bounded / kWindowGrain * kWindowGrain;
}

WritebackStep WritebackWindow::advance(std::uint64_t fileBytes) {
    WritebackStep step;
    if (window_ == 0) {
        return step;
    }
    const std::uint64_t complete = fileBytes / window_ * window_;
    if (complete <= started_) {
        return step;
    }
    step.start = {started_, complete - started_};
    started_ = complete;
    // Two windows behind the last one complete: normally on the disk already.
    const std::uint64_t behind = 2 * window_;
    if (complete > behind && complete - behind > settled_) {
        const std::uint64_t settle = complete - behind;
        step.wait = {settled_, settle - settled_};
        const std::uint64_t dropFrom = std::max(settled_, kKeptHeadBytes);
        if (settle > dropFrom) {
            step.drop = {dropFrom, settle - dropFrom};
        }
        settled_ = settle;
    }
    return step;
}

WritebackStep WritebackWindow::startAll(std::uint64_t fileBytes) {
    WritebackStep step;
    if (window_ != 0 && fileBytes > started_) {
        step.start = {started_, fileBytes - started_};
        started_ = fileBytes;
    }
    return step;
}

FileRange WritebackWindow::tail(std::uint64_t fileBytes) const {
    return fileBytes > started_ ? FileRange{started_, fileBytes - started_} : FileRange{};
}

std::error_code applyWritebackStep(std::intptr_t file, const WritebackStep& step) {
    if (auto error = platform::startWriteback(file, step.start.offset, step.start.bytes)) {
        return error;
    }
    if (auto error = platform::waitWriteback(file, step.wait.offset, step.wait.bytes)) {
        return error;
    }
    return platform::dropCachedPages(file, step.drop.offset, step.drop.bytes);
}

} // namespace vaskel
