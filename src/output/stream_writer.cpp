#include "output/stream_writer.h"

namespace vaskel {

bool StreamWriter::begin(const std::filesystem::path& path,
                         const transport::TransportConfig& config) {
    file_.open(path, std::ios::binary | std::ios::out | std::ios::trunc);
    if (!file_.is_open()) {
        return false;
    }
    sampleRate_ = config.sampleRate;
    // Validated as 1 or 2 at attach.
    channelCount_ = static_cast<std::uint16_t>(config.channelCount);
    writeWavHeader(file_, sampleRate_, channelCount_, 0);
    return true;
}

StreamWriter::Finish StreamWriter::finish(std::uint64_t frames) {
    const std::uint64_t dataSize = wavDataSize(channelCount_, frames);
    if (!fitsRiffLimit(dataSize)) {
        return Finish::TooLarge;
    }
    writeWavHeader(file_, sampleRate_, channelCount_, static_cast<std::uint32_t>(dataSize));
    file_.flush();
    return file_.good() ? Finish::Done : Finish::Failed;
}

} // namespace vaskel
