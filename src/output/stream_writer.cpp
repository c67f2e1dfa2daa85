#include "output/stream_writer.h"

#include "platform/time.h"

namespace vaskel {

namespace {

// A check of the file holds its lock for a moment only; a repair holds it until it is done.
constexpr std::int64_t kLockWaitNs = platform::kNanosecondsPerSecond;
constexpr std::uint32_t kLockRetryMs = 5;

} // namespace

std::error_code StreamWriter::begin(const std::filesystem::path& path,
                                    const transport::TransportConfig& config) {
    // Taken before the truncation, so a file another holder is using is never emptied, and
    // without following a link, so a link planted under the file's name is refused rather than
    // its target truncated. A file system without locks is written unlocked.
    const platform::Deadline deadline = platform::Deadline::after(kLockWaitNs);
    std::error_code locked;
    while ((locked = lock_.acquire(path, true)) == platform::Error::LockBusy &&
           !deadline.expired()) {
        platform::sleepMilliseconds(kLockRetryMs);
    }
    if (locked) {
        file_.setstate(std::ios::failbit); // as a failed open would
        return locked;
    }
    file_.open(path, std::ios::binary | std::ios::out | std::ios::trunc);
    if (!file_.is_open()) {
        return std::make_error_code(std::errc::io_error);
    }
    sampleRate_ = config.sampleRate;
    // Validated as 1 or 2 at attach.
    channelCount_ = static_cast<std::uint16_t>(config.channelCount);
    writeWavHeader(file_, sampleRate_, channelCount_, 0);
    return {};
}

std::error_code StreamWriter::finish(std::uint64_t frames) {
    const std::uint64_t dataSize = wavDataSize(channelCount_, frames);
    if (!fitsRiffLimit(dataSize)) {
        return platform::Error::RiffSizeLimit;
    }
    writeWavHeader(file_, sampleRate_, channelCount_, static_cast<std::uint32_t>(dataSize));
    file_.flush();
    return file_.good() ? std::error_code() : std::make_error_code(std::errc::io_error);
}

} // namespace vaskel
