// One stream's WAV file, in the three steps a capture needs: begin with the configuration, append
// each chunk's payload, finish with the frame count. The file is opened once, without following
// a link, and everything after goes through that one handle: the lock, the truncation, every
// append, the header rewrite and the sync.
#pragma once

#include "output/wav_format.h"
#include "platform/file.h"
#include "transport/transport_layout.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <system_error>

namespace vaskel {

class StreamWriter {
public:
    // Opens `name` in `root` (created when missing; a link in its place is refused, and so is
    // anything but a regular file with this one name: platform::File), locks it, waiting up to a
    // second for a check to let go, then truncates it and writes the placeholder header (data
    // size 0). The lock is held until the writer is destroyed, so the repair tool leaves the file
    // alone while it is written. Fails, with the file untouched, when another capture or a repair
    // holds it (platform::Error::LockBusy), or with the reason the file could not be opened,
    // checked, cut or given its header.
    [[nodiscard]] std::error_code begin(const platform::Directory& root,
                                        const std::filesystem::path& name,
                                        const transport::TransportConfig& config);

    // One write straight from the caller's bytes (the shared slot) into the file: once it
    // returns true the payload is in the kernel, and a renderer killed at any moment after
    // keeps it. False once a write has failed or was cut short, which is all there is to say:
    // the per-chunk path only tries, as a queue's push does, and the writer keeps the reason for
    // finish.
    [[nodiscard]] bool append(const std::byte* data, std::size_t bytes) {
        if (error_) {
            return false;
        }
        if (const std::error_code error = file_.write(data, bytes)) {
            error_ = error;
            return false;
        }
        bytesWritten_ += bytes;
        return true;
    }

    // The payloads of several chunks in one gathered write, each straight from where it lies:
    // once it returns true all of them are in the kernel. As append otherwise.
    [[nodiscard]] bool append(std::span<const platform::WritePiece> pieces) {
        if (error_) {
            return false;
        }
        if (const std::error_code error = file_.write(pieces)) {
            error_ = error;
            return false;
        }
        for (const platform::WritePiece& piece : pieces) {
            bytesWritten_ += piece.bytes;
        }
        return true;
    }

    // Rewrites the header in place with the true sizes for `frames` frames.
    // platform::Error::RiffSizeLimit, with the file untouched, when the data does not fit a 32-bit
    // RIFF size; the reason of an earlier failed write (then the header stays the placeholder),
    // or of the rewrite's own.
    [[nodiscard]] std::error_code finish(std::uint64_t frames);

    // After finish: returns only when the file's contents have reached the disk, synced through
    // the writer's own handle, so the file synced is the one written, whatever its name says.
    [[nodiscard]] std::error_code sync() const { return file_.sync(); }

    // False once a write has failed; it stays so.
    bool good() const { return !error_; }

    // The file's length as written so far: the header and every payload appended.
    std::uint64_t bytesWritten() const { return bytesWritten_; }

private:
    platform::File file_;
    std::error_code error_;
    std::uint64_t bytesWritten_ = 0;
    std::uint32_t sampleRate_ = 0;
    std::uint16_t channelCount_ = 0;
};

} // namespace vaskel
