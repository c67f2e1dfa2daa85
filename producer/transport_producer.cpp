#include "producer/transport_producer.h"

#include <algorithm>
#include <cstring>

namespace vaskel::producer {

using namespace transport;

bool TransportProducer::create(const platform::NativeString& name, const TransportConfig& config,
                               const CreateOptions& options) {
    destroy();
    std::uint64_t bytes = options.regionBytes;
    if (bytes == 0) {
        bytes = isValidConfig(config) ? regionSize(config) : kHeaderSize;
    }
    if (bytes < kHeaderSize) {
        return false;
    }
    handle_ = platform::createRegion(name, bytes);
    if (!handle_) {
        return false;
    }
    name_ = name;
    view_ = static_cast<std::byte*>(platform::mapRegion(handle_, bytes));
    if (view_ == nullptr) {
        destroy();
        return false;
    }
    viewSize_ = bytes;
    config_ = config;

    TransportHeader& head = header();
    head.protocolVersion = options.protocolVersion;
    head.config = config;
    // Control blocks only where the created region really holds them.
    const std::uint32_t streams = isValidConfig(config) ? config.streamCount : 0;
    cursors_.assign(streams, StreamCursor{});
    for (std::uint32_t i = 0; i < streams; ++i) {
        if (controlBlockOffset(i) + kControlBlockSize > viewSize_) {
            break;
        }
        StreamControlBlock& control = block(i);
        control.streamState = kStreamOpen;
        control.writeIndex = 0;
        control.readIndex = 0;
        control.maxOccupancy = 0;
    }
    for (StreamCursor& cursor : cursors_) {
        cursor.nextFrame = config.logicalStartFrame;
    }
    if (options.markReady) {
        markReady();
    }
    return true;
}

void TransportProducer::markReady() {
    storeProducerState(header(), kProducerReady);
}

void TransportProducer::destroy() {
    if (view_ != nullptr) {
        platform::unmapRegion(view_, viewSize_);
        view_ = nullptr;
        viewSize_ = 0;
    }
    if (handle_) {
        platform::closeRegion(handle_);
        handle_ = {};
        platform::removeRegionName(name_);
    }
    cursors_.clear();
}

bool TransportProducer::hasSpace(std::uint32_t stream) const {
    const std::uint64_t consumed = loadReadIndex(block(stream));
    return cursors_[stream].writeIndex - consumed < config_.slotsPerStream;
}

ChunkHeader TransportProducer::nextHeader(std::uint32_t stream, std::uint32_t frames) const {
    ChunkHeader chunk{};
    chunk.streamId = stream;
    chunk.frameCount = frames;
    chunk.channelCount = config_.channelCount;
    chunk.bitsPerSample = kBitsPerSample;
    chunk.sequence = cursors_[stream].sequence;
    chunk.firstFrame = cursors_[stream].nextFrame;
    return chunk;
}

bool TransportProducer::tryPublish(std::uint32_t stream, const float* samples,
                                   std::uint32_t frames) {
    const std::size_t bytes = std::size_t{frames} * config_.channelCount * sizeof(float);
    return tryPublishRaw(stream, nextHeader(stream, frames), samples, bytes);
}

bool TransportProducer::tryPublishRaw(std::uint32_t stream, const ChunkHeader& chunk,
                                      const void* payload, std::size_t payloadBytes) {
    if (!hasSpace(stream)) {
        return false;
    }
    StreamCursor& cursor = cursors_[stream];
    ChunkSlot& slot = slotAt(view_, config_, stream, cursor.writeIndex);
    std::memcpy(&slot.header, &chunk, sizeof chunk);
    if (payloadBytes != 0) {
        std::memcpy(slot.payload, payload, std::min<std::size_t>(payloadBytes, kPayloadSize));
    }

    cursor.writeIndex += 1;
    cursor.sequence += 1;
    cursor.nextFrame += chunk.frameCount;
    cursor.publishedFrames += chunk.frameCount;
    StreamControlBlock& control = block(stream);
    // Slot contents first, then the index that exposes them.
    storeWriteIndex(control, cursor.writeIndex);
    const std::uint64_t occupancy = cursor.writeIndex - loadReadIndex(control);
    if (occupancy > cursor.maxOccupancy) {
        cursor.maxOccupancy = occupancy;
        storeMaxOccupancy(control, occupancy);
    }
    return true;
}

void TransportProducer::closeStream(std::uint32_t stream) {
    storeStreamState(block(stream), kStreamClosed);
}

void TransportProducer::abortStream(std::uint32_t stream) {
    storeStreamState(block(stream), kStreamAborted);
}

bool TransportProducer::publishFailure(std::uint32_t code) {
    return publishFailureCode(header(), code);
}

std::uint32_t TransportProducer::consumerState() const {
    return loadConsumerState(header());
}

std::uint32_t TransportProducer::failureCode() const {
    return loadFailureCode(header());
}

std::uint64_t TransportProducer::readIndex(std::uint32_t stream) const {
    return loadReadIndex(block(stream));
}

std::uint64_t TransportProducer::writeIndex(std::uint32_t stream) const {
    return cursors_[stream].writeIndex;
}

std::uint64_t TransportProducer::publishedFrames(std::uint32_t stream) const {
    return cursors_[stream].publishedFrames;
}

} // namespace vaskel::producer
