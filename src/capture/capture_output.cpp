#include "capture/capture_output.h"

#include "output/output_paths.h"
#include "output/progress_file.h"

namespace vaskel {

bool CaptureEnvironment::syncWriter(const StreamWriter& writer) {
    return writer.sync();
}

FailureCode CaptureOutput::open(const CaptureResult& result) {
    // The output layer reports a root it cannot make as a filesystem_error.
    try {
        createOutputRoot(root_);
    } catch (const std::filesystem::filesystem_error&) {
        return FailureCode::WriterFailure;
    }
    for (std::uint32_t i = 0; i < config_.streamCount; ++i) {
        if (!writers_[i].begin(streamFilePath(root_, i), config_)) {
            return FailureCode::WriterFailure;
        }
    }
    writeProgress(result, false);
    return FailureCode::None;
}

FailureCode CaptureOutput::syncToDisk() const {
    for (const StreamWriter& writer : writers_) {
        if (!environment_.syncFile(writer)) {
            return FailureCode::WriterFailure;
        }
    }
    return environment_.syncDirectory(root_) ? FailureCode::None : FailureCode::WriterFailure;
}

void CaptureOutput::writeProgress(const CaptureResult& result, bool complete) const {
    writeProgressFile(root_, progressCounts(config_, result), complete);
}

} // namespace vaskel
