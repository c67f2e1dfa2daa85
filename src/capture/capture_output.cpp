#include "capture/capture_output.h"

#include "output/output_paths.h"
#include "output/progress_file.h"

namespace vaskel {

namespace {

std::error_code skipWritebackStep(std::intptr_t, const WritebackStep&) {
    return {};
}

} // namespace

std::error_code CaptureEnvironment::syncWriter(const StreamWriter& writer) {
    return writer.sync();
}

FailureCode CaptureOutput::open(const CaptureResult& result) {
    if (openOutputRoot(root_, rootDirectory_)) {
        return FailureCode::WriterFailure;
    }
    // On a RAM file system no step is taken at all, not even the tails' and the drops.
    const bool writeBack = environment_.writingBackHelps(rootDirectory_.native());
    const std::uint64_t window =
        writeBack ? WritebackWindow::windowBytesFor(config_.streamCount) : 0;
    for (std::uint32_t i = 0; i < config_.streamCount; ++i) {
        writers_[i].setWriteback(writeBack ? environment_.writeback : &skipWritebackStep);
        if (writers_[i].begin(rootDirectory_, streamFileName(i), config_, window)) {
            return FailureCode::WriterFailure;
        }
    }
    writeProgress(result, false);
    return FailureCode::None;
}

FailureCode CaptureOutput::syncToDisk() const {
    // Every tail on its way first, so the syncs below wait on writes already running together.
    for (const StreamWriter& writer : writers_) {
        if (writer.startTail()) {
            return FailureCode::WriterFailure;
        }
    }
    for (const StreamWriter& writer : writers_) {
        if (environment_.syncFile(writer)) {
            return FailureCode::WriterFailure;
        }
    }
    if (environment_.syncDirectory(root_)) {
        return FailureCode::WriterFailure;
    }
    for (const StreamWriter& writer : writers_) {
        writer.dropCachedPages();
    }
    return FailureCode::None;
}

void CaptureOutput::writeProgress(const CaptureResult& result, bool complete) const {
    writeProgressFile(root_, progressCounts(config_, result), complete);
}

} // namespace vaskel
