// The files of one capture as the loop sees them: a writer per stream in the output root, and
// the progress snapshot beside them. Every output error comes back as a writer failure.
#pragma once

#include "capture/capture_loop.h"
#include "output/stream_writer.h"
#include "transport/failure_code.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <vector>

namespace vaskel {

class CaptureOutput {
public:
    CaptureOutput(const std::filesystem::path& root, const transport::TransportConfig& config,
                  const CaptureEnvironment& environment)
        : root_(root), config_(config), environment_(environment), writers_(config.streamCount) {}

    // Creates the root with its missing parents and holds it open (not through a link in its
    // place), then opens every stream file in index order in that directory, each locked and
    // holding its placeholder header, then writes the first progress snapshot.
    [[nodiscard]] FailureCode open(const CaptureResult& result);

    // The payloads of one or more chunks of the stream, in one gathered write.
    [[nodiscard]] FailureCode append(std::uint32_t stream,
                                     std::span<const platform::WritePiece> payloads) {
        return writers_[stream].append(payloads) ? FailureCode::None : FailureCode::WriterFailure;
    }

    // Rewrites the stream's header with its true sizes for `frames` frames.
    [[nodiscard]] FailureCode finish(std::uint32_t stream, std::uint64_t frames) {
        return writers_[stream].finish(frames) ? FailureCode::WriterFailure : FailureCode::None;
    }

    // Brings each finished stream file, then the directory that names them, to the disk, and
    // then lets the files' pages go from the page cache. The writers, and with them the locks,
    // stay until the output is destroyed.
    [[nodiscard]] FailureCode syncToDisk() const;

    // A best-effort snapshot: a failed one leaves the previous in place.
    void writeProgress(const CaptureResult& result, bool complete) const;

private:
    const std::filesystem::path& root_;
    const transport::TransportConfig& config_;
    const CaptureEnvironment& environment_;
    platform::Directory rootDirectory_;
    std::vector<StreamWriter> writers_;
};

} // namespace vaskel
