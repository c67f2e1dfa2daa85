// The files of one capture as the loop sees them: a writer per stream in the held output root,
// the progress snapshot beside them, and the disk work behind them. Every output error comes
// back with the system's reason and the file it concerns.
#pragma once

#include "capture/capture_loop.h"
#include "capture/disk_work.h"
#include "output/stream_writer.h"
#include "transport/failure_code.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <vector>

namespace vaskel {

// A failed output step: the system's reason and the file or directory it concerns (a stream
// file's name, or the output root as given). Empty, and costing nothing, when all went well.
struct OutputError {
    std::error_code reason;
    std::string file;
    explicit operator bool() const { return static_cast<bool>(reason); }
};

class CaptureOutput {
public:
    CaptureOutput(const std::filesystem::path& root, const transport::TransportConfig& config,
                  const CaptureEnvironment& environment)
        : root_(root), config_(config), environment_(environment), writers_(config.streamCount) {}

    // Creates the root with its missing parents and holds it open (not through a link in its
    // place), then opens every stream file in index order in that directory, each locked and
    // holding its placeholder header, then hands the first progress snapshot to the disk work.
    [[nodiscard]] OutputError open(const CaptureResult& result);

    // The payloads of one or more chunks of the stream, in one gathered write. False when it
    // failed (error(stream) says why); the file may then hold part of them until cutBack.
    [[nodiscard]] bool append(std::uint32_t stream,
                              std::span<const platform::WritePiece> payloads) {
        return writers_[stream].append(payloads);
    }
    std::uint64_t bytesWritten(std::uint32_t stream) const {
        return writers_[stream].bytesWritten();
    }
    // Cuts the stream's file back to `bytes`; best effort, the capture is failing already.
    void cutBack(std::uint32_t stream, std::uint64_t bytes) {
        (void)writers_[stream].cutBack(bytes);
    }
    // Why the stream's writer failed.
    [[nodiscard]] OutputError error(std::uint32_t stream) const;

    // Rewrites the stream's header with its true sizes for `frames` frames.
    [[nodiscard]] OutputError finish(std::uint32_t stream, std::uint64_t frames);

    // The disk work of this capture, made by open().
    DiskWork& disk() { return *disk_; }

    // Stops the disk thread, waiting for what it is doing. Then brings each finished stream
    // file, then the directory that names them, to the disk, and lets the files' pages go from
    // the page cache. The writers, and with them the locks, stay until the output is destroyed.
    [[nodiscard]] OutputError syncToDisk();

    // Stops the disk thread, waiting for what it is doing (at every end of the capture).
    void stopDiskThread() {
        if (diskThread_) {
            diskThread_->stop();
        }
    }

    // Without a disk thread (tests), the disk work due now, on the capture's thread.
    void diskTick() {
        if (diskThread_) {
            diskThread_->tickInline();
        }
    }

    // The complete snapshot, written through at the end on the capture's own thread.
    void writeCompleteProgress(const CaptureResult& result) const;

private:
    OutputError rootError(std::error_code reason) const;

    const std::filesystem::path& root_;
    const transport::TransportConfig& config_;
    const CaptureEnvironment& environment_;
    platform::Directory rootDirectory_;
    std::vector<StreamWriter> writers_;
    // After the writers: stopped and gone before any file closes.
    std::optional<DiskWork> disk_;
    std::optional<DiskThread> diskThread_;
};

} // namespace vaskel
