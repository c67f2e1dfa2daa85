// The producer side of the shared transport, for programs that render audio for the renderer.
//
// A producer creates the region, publishes chunks into each stream's ring while the renderer
// drains them, closes every stream at its end and then waits for the renderer's verdict:
//
//     vaskel::producer::TransportProducer producer;
//     vaskel::transport::TransportConfig config{};
//     config.streamCount = 2; config.slotsPerStream = 8; config.framesPerChunk = 1024;
//     config.channelCount = 2; config.sampleRate = 48000;
//     if (!producer.create("my-render", config)) { /* name taken or no memory */ }
//     // for each chunk of stream s (interleaved float samples, frames <= framesPerChunk):
//     while (!producer.tryPublish(s, samples, frames)) { /* ring full: wait */ }
//     producer.closeStream(s);
//     // consumerState() becomes 2 when the renderer has finished, or failureCode() is set.
//     producer.destroy();
//
// One thread may publish into a given stream; different streams may be fed from different
// threads. This class owns the region (its name, size and header); each stream's ring is written
// by a transport::RingWriter, which works the same over any other view of the region.
#pragma once

#include "platform/region.h"
#include "platform/text.h"
#include "transport/ring_writer.h"
#include "transport/transport_layout.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vaskel::producer {

struct CreateOptions {
    // Bytes to create; 0 means the configuration's region size (the header alone when the
    // configuration is invalid). Tests use a smaller value to make a region too short.
    std::uint64_t regionBytes = 0;
    // Written into the header as given, so a test can speak another version.
    std::uint32_t protocolVersion = transport::kProtocolVersion;
    // When false the region is left with producerState 0 until markReady().
    bool markReady = true;
};

// Why create() failed.
enum class CreateError { None, NameTaken, System };

class TransportProducer {
public:
    TransportProducer() = default;
    TransportProducer(const TransportProducer&) = delete;
    TransportProducer& operator=(const TransportProducer&) = delete;

    // Creates the region `name` (it must not exist yet), writes version and configuration, sets
    // every control block to empty and open, and marks the producer ready last. The
    // configuration is written as given, valid or not.
    [[nodiscard]] bool create(const platform::NativeString& name,
                              const transport::TransportConfig& config,
                              const CreateOptions& options = {});
    CreateError createError() const { return createError_; }

    // Stores producerState 1 (release): the renderer may attach from now on.
    void markReady();

    // Unmaps, closes and removes the region's name. Safe to call twice.
    void destroy();

    bool created() const { return region_.data() != nullptr; }
    std::byte* view() const { return region_.data(); }
    std::uint64_t viewSize() const { return region_.size(); }
    const transport::TransportConfig& config() const { return config_; }
    transport::TransportHeader& header() const { return transport::headerAt(view()); }
    transport::StreamControlBlock& block(std::uint32_t stream) const {
        return transport::controlBlockAt(view(), stream);
    }

    // True when chunk number writeIndex fits: writeIndex - readIndex < slotsPerStream.
    bool hasSpace(std::uint32_t stream) const;

    // The header the next chunk of `stream` must carry for `frames` frames.
    transport::ChunkHeader nextHeader(std::uint32_t stream, std::uint32_t frames) const;

    // Publishes `frames` interleaved frames (channelCount samples each) into the next slot.
    // False, with nothing written, when the ring is full.
    [[nodiscard]] bool tryPublish(std::uint32_t stream, const float* samples, std::uint32_t frames);

    // Publishes a chunk with any header and payload bytes (at most the payload size), e.g. a
    // deliberately wrong one. The stream's sequence and frame position advance as if `header`
    // were right, by one chunk and header.frameCount frames. False when the ring is full.
    [[nodiscard]] bool tryPublishRaw(std::uint32_t stream, const transport::ChunkHeader& header,
                                     const void* payload, std::size_t payloadBytes);

    // The writer of `stream`'s ring (below the configuration's streamCount).
    transport::RingWriter& writer(std::uint32_t stream) { return writers_[stream]; }

    // Marks the stream closed (2) after its last chunk, or aborted (3).
    void closeStream(std::uint32_t stream);
    void abortStream(std::uint32_t stream);

    // Publishes a failure code by compare-exchange from 0; true when this call set it.
    bool publishFailure(std::uint32_t code);

    std::uint32_t consumerState() const;
    std::uint32_t failureCode() const;
    std::uint64_t readIndex(std::uint32_t stream) const;
    std::uint64_t writeIndex(std::uint32_t stream) const;

    // Frames published so far into `stream`.
    std::uint64_t publishedFrames(std::uint32_t stream) const;

private:
    // Writes version, configuration and the control blocks of a freshly mapped region.
    void initialise(const CreateOptions& options);

    platform::Region region_;
    transport::TransportConfig config_{};
    std::vector<transport::RingWriter> writers_;
    CreateError createError_ = CreateError::None;
};

} // namespace vaskel::producer
