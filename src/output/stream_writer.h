// One stream's WAV file, in the three steps a capture needs: begin with the configuration, append
// each chunk's payload, finish with the frame count. The file is opened once, without following
// a link, and everything after goes through that one handle: the lock, the truncation, every
// append, the header rewrite and the sync. Behind the write position, the file's pages are
// written back window by window and dropped from the page cache (output/writeback_window.h), so
// that the final sync has little left to wait for and a capture leaves no gigabytes of audio in
// memory.
#pragma once

#include "output/wav_format.h"
#include "output/writeback_window.h"
#include "platform/file.h"
#include "transport/transport_layout.h"

#include <algorithm>
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
    // alone while it is written. A file another user owns is removed and made anew, never
    // written into. Fails, with the file untouched, when another capture or a repair holds it
    // (platform::Error::LockBusy; platform::Error::LockedByOtherUser when the holder is another
    // user's process), or with the reason the file could not be opened, checked, cut or given
    // its header.
    [[nodiscard]] std::error_code begin(const platform::Directory& root,
                                        const std::filesystem::path& name,
                                        const transport::TransportConfig& config);

    // How a writeback step reaches the file: applyWritebackStep, unless a test makes it fail.
    using WritebackFunction = std::error_code (*)(std::intptr_t file, const WritebackStep& step);
    void setWriteback(WritebackFunction writeback) { writeback_ = writeback; }

    // One write straight from the caller's bytes (the shared slot) into the file: once it
    // returns true the payload is in the kernel, and a renderer killed at any moment after
    // keeps it. False once a write has failed or was cut short: the writer keeps the reason
    // (error()), and the file may hold part of the bytes until cutBack.
    [[nodiscard]] bool append(const std::byte* data, std::size_t bytes) {
        const platform::WritePiece piece{data, bytes};
        return append(std::span(&piece, 1));
    }

    // The payloads of several chunks in one gathered write, each straight from where it lies:
    // once it returns true all of them are in the kernel. As append otherwise. The writer only
    // writes: writing the pages back to the disk is another thread's (see capture/disk_work.h),
    // so an append never waits for a device.
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

    // Cuts the file back to `bytes` (at most its length as counted): what a failed or
    // withdrawn append left behind goes, so the file holds the released chunks and nothing
    // else. Keeps the first reason the writer failed for.
    [[nodiscard]] std::error_code cutBack(std::uint64_t bytes) {
        bytesWritten_ = std::min(bytes, bytesWritten_);
        const std::error_code cut = file_.setSize(bytesWritten_);
        if (!error_) {
            error_ = cut;
        }
        return cut;
    }

    // Why the writer failed; empty while it is good.
    const std::error_code& error() const { return error_; }

    // The file itself, for the writeback and syncs another thread takes on it.
    platform::NativeHandle native() const { return file_.native(); }

    // Rewrites the header in place with the true sizes for `frames` frames.
    // platform::Error::RiffSizeLimit, with the file untouched, when the data does not fit a 32-bit
    // RIFF size; the reason of an earlier failed write (then the header stays the placeholder),
    // or of the rewrite's own.
    [[nodiscard]] std::error_code finish(std::uint64_t frames);

    // After finish, before any file's sync: starts writing back what was not started before
    // (from `started` on, and the rewritten header), so that the disk writes every file's tail
    // at once while the syncs wait on them one by one. A refusal is the writer's failure, as a
    // write's.
    [[nodiscard]] std::error_code startTail(std::uint64_t started) const {
        const FileRange tail =
            started < bytesWritten_ ? FileRange{started, bytesWritten_ - started} : FileRange{};
        if (const std::error_code error = writeback_(file_.native(), {tail, {}, {}})) {
            return error;
        }
        return started == 0 ? std::error_code()
                            : writeback_(file_.native(), {{0, kWavHeaderSize}, {}, {}});
    }

    // After finish: returns only when the file's contents have reached the disk, synced through
    // the writer's own handle, so the file synced is the one written, whatever its name says.
    [[nodiscard]] std::error_code sync() const { return file_.sync(); }

    // After sync: drops the file's pages, all clean now, from the page cache. Best effort: the
    // file is on the disk whatever this does.
    void dropCachedPages() const { (void)writeback_(file_.native(), {{}, {}, {0, bytesWritten_}}); }

    // False once a write has failed; it stays so.
    bool good() const { return !error_; }

    // The file's length as written so far: the header and every payload appended.
    std::uint64_t bytesWritten() const { return bytesWritten_; }

private:
    platform::File file_;
    WritebackFunction writeback_ = &applyWritebackStep;
    std::error_code error_;
    std::uint64_t bytesWritten_ = 0;
    std::uint32_t sampleRate_ = 0;
    std::uint16_t channelCount_ = 0;
};

} // namespace vaskel
