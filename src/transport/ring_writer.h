// The producer's side of one stream's ring, over any mapped view of a region: the only code that
// moves a writeIndex forward. It owns the index logic once (space check, slot copy, release of
// the slot, high-water mark), whoever owns the region and however many views of it exist.
//
// One thread drives a given writer; writers of different streams are independent. Nothing here
// allocates, locks or calls the operating system, so a writer may run in a real-time callback.
#pragma once

#include "transport/transport_layout.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vaskel::transport {

class RingWriter {
public:
    RingWriter() = default;

    // Writes stream `stream` of the region whose first byte is `view`. The view must hold
    // regionSize(config) bytes; the writer starts at chunk 0 and logicalStartFrame.
    RingWriter(std::byte* view, const TransportConfig& config, std::uint32_t stream)
        : view_(view), control_(&controlBlockAt(view, stream)), stream_(stream), config_(config),
          nextFrame_(config.logicalStartFrame) {}

    // True when the next chunk fits: writeIndex - readIndex < slotsPerStream. The acquire load
    // of readIndex also orders the renderer's last read of the slot before our reuse of it.
    bool hasSpace() const {
        return writeIndex_ - loadReadIndex(*control_) < config_.slotsPerStream;
    }

    // The header the next chunk must carry for `frames` frames.
    ChunkHeader nextHeader(std::uint32_t frames) const {
        return ChunkHeader{stream_,        frames,    config_.channelCount,
                           kBitsPerSample, sequence_, nextFrame_};
    }

    // Copies a chunk into the next slot without making it visible; false, with nothing written,
    // when the ring is full. Payload bytes beyond one slot are cut off. commit() exposes it.
    [[nodiscard]] bool stage(const ChunkHeader& header, const void* payload,
                             std::size_t payloadBytes) {
        if (!hasSpace()) {
            return false;
        }
        ChunkSlot& slot = slotAt(view_, config_, stream_, writeIndex_);
        std::memcpy(&slot.header, &header, sizeof header);
        if (payloadBytes != 0) {
            std::memcpy(slot.payload, payload, std::min<std::size_t>(payloadBytes, kPayloadSize));
        }
        stagedFrames_ = header.frameCount;
        return true;
    }

    // Publishes the staged chunk: the release store of writeIndex makes the slot's contents
    // visible to the renderer. Sequence and frame position advance as if the staged header were
    // right, so a deliberately wrong chunk does not shift the ones after it.
    void commit() {
        writeIndex_ += 1;
        sequence_ += 1;
        nextFrame_ += stagedFrames_;
        publishedFrames_ += stagedFrames_;
        storeWriteIndex(*control_, writeIndex_);
        const std::uint64_t occupancy = writeIndex_ - loadReadIndex(*control_);
        if (occupancy > maxOccupancy_) {
            maxOccupancy_ = occupancy;
            storeMaxOccupancy(*control_, occupancy);
        }
    }

    // Stages and commits any header and payload; false when the ring is full.
    [[nodiscard]] bool tryPublishRaw(const ChunkHeader& header, const void* payload,
                                     std::size_t payloadBytes) {
        if (!stage(header, payload, payloadBytes)) {
            return false;
        }
        commit();
        return true;
    }

    // Publishes `frames` interleaved frames (channelCount floats each, frames at most
    // framesPerChunk) as the next chunk; false when the ring is full.
    [[nodiscard]] bool tryPublish(const float* samples, std::uint32_t frames) {
        return tryPublishRaw(nextHeader(frames), samples,
                             chunkPayloadBytes(config_.channelCount, frames));
    }

    // streamState 2 after the last chunk, or 3; released after every writeIndex store.
    void close() { storeStreamState(*control_, kStreamClosed); }
    void abort() { storeStreamState(*control_, kStreamAborted); }

    StreamControlBlock& control() const { return *control_; }
    std::uint64_t writeIndex() const { return writeIndex_; }
    std::uint64_t readIndex() const { return loadReadIndex(*control_); }
    std::uint64_t publishedFrames() const { return publishedFrames_; }

private:
    std::byte* view_ = nullptr;
    StreamControlBlock* control_ = nullptr;
    std::uint32_t stream_ = 0;
    TransportConfig config_{};
    std::uint64_t writeIndex_ = 0;
    std::uint64_t sequence_ = 0;
    std::uint64_t nextFrame_ = 0;
    std::uint64_t publishedFrames_ = 0;
    std::uint64_t maxOccupancy_ = 0;
    std::uint32_t stagedFrames_ = 0;
};

} // namespace vaskel::transport
