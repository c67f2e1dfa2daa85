#include "output/stream_writer.h"

#include "platform/time.h"

namespace vaskel {

namespace {

// A check of the file holds its lock for a moment only; a repair holds it until it is done.
constexpr std::int64_t kLockWaitNs = platform::kNanosecondsPerSecond;
constexpr std::uint32_t kLockRetryMs = 5;

} // namespace

std::error_code StreamWriter::begin(const platform::Directory& root,
                                    const std::filesystem::path& name,
                                    const transport::TransportConfig& config) {
    error_ = {};
    bytesWritten_ = 0;
    sampleRate_ = config.sampleRate;
    // Validated as 1 or 2 at attach.
    channelCount_ = static_cast<std::uint16_t>(config.channelCount);
    const auto refuse = [this](const std::error_code& error) {
        file_.close();
        error_ = error;
        return error;
    };
    if (const std::error_code opened =
            file_.open(root, name, platform::File::Access::CreateReadWrite)) {
        return refuse(opened);
    }
    // Another user's file is theirs to go on changing, reading and locking: never written into,
    // but replaced by one of this process's own, made here and now.
    const platform::ErrorOr<bool> foreign = file_.ownedByAnotherUser();
    if (!foreign) {
        return refuse(foreign.error());
    }
    if (*foreign) {
        file_.close();
        if (const std::error_code removed = root.remove(name)) {
            return refuse(removed);
        }
        if (const std::error_code created =
                file_.open(root, name, platform::File::Access::CreateNew)) {
            return refuse(created);
        }
    }
    // Taken before the truncation, so a file another holder is using is never emptied. A file
    // system without locks is written unlocked.
    const platform::Deadline deadline = platform::Deadline::after(kLockWaitNs);
    std::error_code locked;
    while ((locked = file_.lock()) == platform::Error::LockBusy && !deadline.expired()) {
        platform::sleepMilliseconds(kLockRetryMs);
    }
    if (locked) {
        return refuse(locked);
    }
    const auto header = makeWavHeader(sampleRate_, channelCount_, 0);
    if (const std::error_code cut = file_.setSize(0)) {
        return refuse(cut);
    }
    if (const std::error_code written = file_.write(header.data(), header.size())) {
        return refuse(written);
    }
    bytesWritten_ = header.size();
    return {};
}

std::error_code StreamWriter::finish(std::uint64_t frames) {
    const std::uint64_t dataSize = wavDataSize(channelCount_, frames);
    if (!fitsRiffLimit(dataSize)) {
        return platform::Error::RiffSizeLimit;
    }
    if (error_) {
        return error_;
    }
    const auto header =
        makeWavHeader(sampleRate_, channelCount_, static_cast<std::uint32_t>(dataSize));
    error_ = file_.writeAt(0, header.data(), header.size());
    return error_;
}

} // namespace vaskel
