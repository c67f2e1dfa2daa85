#include "producer/transport_producer.h"

namespace vaskel::producer {

using namespace transport;

bool TransportProducer::create(const platform::NativeString& name, const TransportConfig& config,
                               const CreateOptions& options) {
    destroy();
    createError_ = CreateError::System;
    std::uint64_t bytes = options.regionBytes;
    if (bytes == 0) {
        bytes = isValidConfig(config) ? regionSize(config) : kHeaderSize;
    }
    if (bytes < kHeaderSize) {
        return false;
    }
    bool taken = false;
    handle_ = platform::createRegion(name, bytes, &taken);
    if (!handle_) {
        createError_ = taken ? CreateError::NameTaken : CreateError::System;
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
    writers_.reserve(streams);
    for (std::uint32_t i = 0; i < streams; ++i) {
        writers_.emplace_back(view_, config, i);
    }
    if (options.markReady) {
        markReady();
    }
    createError_ = CreateError::None;
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
    writers_.clear();
}

bool TransportProducer::hasSpace(std::uint32_t stream) const {
    return writers_[stream].hasSpace();
}

ChunkHeader TransportProducer::nextHeader(std::uint32_t stream, std::uint32_t frames) const {
    return writers_[stream].nextHeader(frames);
}

bool TransportProducer::tryPublish(std::uint32_t stream, const float* samples,
                                   std::uint32_t frames) {
    return writers_[stream].tryPublish(samples, frames);
}

bool TransportProducer::tryPublishRaw(std::uint32_t stream, const ChunkHeader& chunk,
                                      const void* payload, std::size_t payloadBytes) {
    return writers_[stream].tryPublishRaw(chunk, payload, payloadBytes);
}

void TransportProducer::closeStream(std::uint32_t stream) {
    writers_[stream].close();
}

void TransportProducer::abortStream(std::uint32_t stream) {
    writers_[stream].abort();
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
    return writers_[stream].writeIndex();
}

std::uint64_t TransportProducer::publishedFrames(std::uint32_t stream) const {
    return writers_[stream].publishedFrames();
}

} // namespace vaskel::producer
