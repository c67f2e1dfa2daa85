// Periods of any length in, chunks of one length out. The region's chunk size is fixed when it is
// created (the server's period then), but a server may change its period during a capture:
// a longer period is cut into chunks of that size, shorter ones are gathered until a chunk is
// full. Every ring then holds the time it was sized for, whatever the period, and no sample is
// lost or repeated.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

namespace vaskel::jack_bridge {

class ChunkAssembler {
public:
    ChunkAssembler() = default;
    // Every buffer is made here, none in add() or flush(): they run in the audio callback.
    ChunkAssembler(std::uint32_t streams, std::uint32_t channels, std::uint32_t chunkFrames)
        : streams_(streams), channels_(channels), chunkFrames_(chunkFrames),
          staging_(std::size_t{streams} * channels * chunkFrames) {}

    // Takes `frames` frames of every stream: port(stream, channel) gives that port's samples.
    // Each chunk that fills is handed, stream by stream, to publish(stream, interleaved, frames),
    // which returns 0 or a failure status; the first failure is returned at once.
    template <typename Port, typename Publish>
    int add(std::uint64_t frames, Port&& port, Publish&& publish) {
        std::uint64_t offset = 0;
        while (offset < frames) {
            const auto take = static_cast<std::uint32_t>(
                std::min<std::uint64_t>(chunkFrames_ - staged_, frames - offset));
            for (std::uint32_t stream = 0; stream < streams_; ++stream) {
                float* chunk = staging_.data() + std::size_t{stream} * channels_ * chunkFrames_;
                for (std::uint32_t channel = 0; channel < channels_; ++channel) {
                    const float* samples = port(stream, channel) + offset;
                    float* to = chunk + std::size_t{staged_} * channels_ + channel;
                    for (std::uint32_t i = 0; i < take; ++i) {
                        to[std::size_t{i} * channels_] = samples[i];
                    }
                }
            }
            staged_ += take;
            offset += take;
            if (staged_ == chunkFrames_) {
                if (const int status = flush(publish); status != 0) {
                    return status;
                }
            }
        }
        return 0;
    }

    // Publishes the frames gathered so far (a chunk shorter than the others), if any.
    template <typename Publish> int flush(Publish&& publish) {
        if (staged_ == 0) {
            return 0;
        }
        for (std::uint32_t stream = 0; stream < streams_; ++stream) {
            const float* chunk = staging_.data() + std::size_t{stream} * channels_ * chunkFrames_;
            if (const int status = publish(stream, chunk, staged_); status != 0) {
                return status;
            }
        }
        staged_ = 0;
        return 0;
    }

    // Frames gathered but not yet published.
    std::uint32_t staged() const { return staged_; }

private:
    std::uint32_t streams_ = 0;
    std::uint32_t channels_ = 0;
    std::uint32_t chunkFrames_ = 0;
    std::uint32_t staged_ = 0;
    std::vector<float> staging_; // per stream, one chunk of interleaved frames
};

} // namespace vaskel::jack_bridge
