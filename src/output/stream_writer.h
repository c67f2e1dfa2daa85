// One stream's WAV file, in the three steps a capture needs: begin with the configuration, append
// each chunk's payload, finish with the frame count.
#pragma once

#include "output/wav_format.h"
#include "platform/file.h"
#include "transport/transport_layout.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace vaskel {

class StreamWriter {
public:
    // Locks the file (see platform::FileLock), then creates or truncates it for binary output and
    // writes the placeholder header (data size 0). The lock is held until the writer is destroyed,
    // so the repair tool leaves the file alone while it is written. Fails when the file could not
    // be opened, or another capture or a repair holds it (platform::Error::LockBusy). A failed
    // header write is not reported here: the stream's error state is sticky and the next append
    // or the finish sees it.
    [[nodiscard]] std::error_code begin(const std::filesystem::path& path,
                                        const transport::TransportConfig& config);

    // One unformatted write straight from the caller's bytes (the shared slot). False once the
    // file is in an error state, which is all there is to say: the per-chunk path only tries,
    // as a queue's push does, and the stream keeps the state for finish.
    [[nodiscard]] bool append(const std::byte* data, std::size_t bytes) {
        file_.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(bytes));
        return file_.good();
    }

    // Rewrites the header with the true sizes for `frames` frames and flushes.
    // platform::Error::RiffSizeLimit, with the file untouched, when the data does not fit a 32-bit
    // RIFF size; an I/O error when the rewrite or the flush left the file in an error state.
    [[nodiscard]] std::error_code finish(std::uint64_t frames);

    // After finish: returns only when the file's contents have reached the disk, synced through
    // the writer's own lock, so the file synced is the one written, whatever its name says by then.
    [[nodiscard]] std::error_code sync() const { return lock_.syncFile(); }

    // False once any error flag is set; it stays set.
    bool good() const { return file_.good(); }

    std::ofstream& stream() { return file_; }

private:
    platform::FileLock lock_;
    std::ofstream file_;
    std::uint32_t sampleRate_ = 0;
    std::uint16_t channelCount_ = 0;
};

} // namespace vaskel
