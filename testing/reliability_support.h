// Helpers of the reliability tests (hostile producers, races, leaks, soak, faults): the exact
// bytes a stream file must hold, and a producer that runs inside the capture's own hooks so a
// test can script every step of a capture on one thread with a clock that runs as fast as needed.
#pragma once

#include "capture/capture_loop.h"
#include "producer/transport_producer.h"
#include "test_support.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vaskel::testing {

// The pattern samples of `frames` frames of `stream` from `firstFrame`, as raw bytes.
inline std::string patternBytes(std::uint32_t stream, std::uint64_t firstFrame,
                                std::uint64_t frames, std::uint32_t channels) {
    std::string bytes;
    bytes.reserve(static_cast<std::size_t>(frames * channels * 4));
    for (std::uint64_t done = 0; done < frames;) {
        const auto block = static_cast<std::uint32_t>(std::min<std::uint64_t>(frames - done, 4096));
        const std::vector<float> samples = patternChunk(stream, firstFrame + done, block, channels);
        bytes.append(reinterpret_cast<const char*>(samples.data()), samples.size() * sizeof(float));
        done += block;
    }
    return bytes;
}

// What stream-<stream>.wav holds after `frames` pattern frames: the placeholder header (data
// size 0) until the capture finalised the file, the true sizes afterwards.
inline std::string expectedStreamFile(const transport::TransportConfig& config,
                                      std::uint32_t stream, std::uint64_t frames, bool finalised) {
    const std::uint64_t dataBytes = frames * config.channelCount * 4;
    std::string bytes =
        wavHeaderBytes(config.sampleRate, static_cast<std::uint16_t>(config.channelCount),
                       finalised ? static_cast<std::uint32_t>(dataBytes) : 0);
    bytes += patternBytes(stream, config.logicalStartFrame, frames, config.channelCount);
    return bytes;
}

// Publishes the next `frames` pattern frames of `stream` through its ring writer, over whatever
// view the writer was made for; false, with no pattern computed, when the ring is full.
inline bool publishPattern(transport::RingWriter& writer, std::uint32_t stream,
                           std::uint32_t channels, std::uint32_t frames) {
    if (!writer.hasSpace()) {
        return false;
    }
    const transport::ChunkHeader next = writer.nextHeader(frames);
    const std::vector<float> samples = patternChunk(stream, next.firstFrame, frames, channels);
    return writer.tryPublish(samples.data(), frames);
}

inline bool publishPattern(producer::TransportProducer& producer, std::uint32_t stream,
                           std::uint32_t frames) {
    return publishPattern(producer.writer(stream), stream, producer.config().channelCount, frames);
}

// A producer driven by the capture's hooks: every idle pass and every consumed chunk is one
// step, in which it first runs the test's action and then tops every ring up with pattern
// chunks until the stream has its frames, and closes the stream then. The clock advances one
// millisecond per reading, so an idle timeout of N ms ends a stalled capture after about N
// readings instead of N real milliseconds.
class HookFeeder {
public:
    HookFeeder(producer::TransportProducer& producer, std::uint64_t framesPerStream,
               std::uint32_t chunkFrames)
        : producer_(producer), remaining_(producer.config().streamCount, framesPerStream),
          closed_(producer.config().streamCount, false), chunkFrames_(chunkFrames) {}

    ~HookFeeder() {
        if (active() == this) {
            active() = nullptr;
        }
    }

    // Called with the step number (from 1) before the rings are topped up.
    std::function<void(std::uint64_t)> onStep;
    // When false the feeder only runs the action and never publishes or closes.
    bool feeding = true;

    // Tops the rings up once now (e.g. before the capture starts).
    void fill() {
        if (!feeding) {
            return;
        }
        for (std::uint32_t s = 0; s < remaining_.size(); ++s) {
            while (remaining_[s] > 0 && producer_.hasSpace(s)) {
                const auto frames = static_cast<std::uint32_t>(
                    std::min<std::uint64_t>(remaining_[s], chunkFrames_));
                publishPattern(producer_, s, frames);
                remaining_[s] -= frames;
            }
            if (remaining_[s] == 0 && !closed_[s]) {
                producer_.closeStream(s);
                closed_[s] = true;
            }
        }
    }

    CaptureEnvironment environment() {
        active() = this;
        // An idle pass's sleep is one more step too, so a quiet spell cannot stall the feeder.
        return CaptureEnvironment{.now = &now,
                                  .yield = &yield,
                                  .sleep = CaptureEnvironment::Sleep{&sleep, 1},
                                  .onChunk = &chunk};
    }

    std::uint64_t steps() const { return steps_; }

private:
    static HookFeeder*& active() {
        static HookFeeder* feeder = nullptr;
        return feeder;
    }
    static std::int64_t now() { return active()->clock_ += 1000000; }
    static void chunk() { active()->step(); }
    static void yield() { active()->step(); }
    static void sleep(std::int64_t) { active()->step(); }

    void step() {
        ++steps_;
        if (onStep) {
            onStep(steps_);
        }
        fill();
    }

    producer::TransportProducer& producer_;
    std::vector<std::uint64_t> remaining_;
    std::vector<bool> closed_;
    std::uint32_t chunkFrames_;
    std::uint64_t steps_ = 0;
    std::int64_t clock_ = 0;
};

} // namespace vaskel::testing
