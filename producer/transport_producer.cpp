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
    platform::ErrorOr<platform::Region> region = platform::Region::create(name, bytes);
    if (!region) {
        createError_ =
            region.error() == std::errc::file_exists ? CreateError::NameTaken : CreateError::System;
        return false;
    }
    if (region->map(bytes)) {
        return false;
    }
    region_ = std::move(*region);
    config_ = config;
    initialise(options);
    createError_ = CreateError::None;
    return true;
}

void TransportProducer::initialise(const CreateOptions& options) {
    TransportHeader& head = header();
    head.protocolVersion = options.protocolVersion;
    head.config = config_;
    // Control blocks only where the created region really holds them.
    const std::uint32_t streams = isValidConfig(config_) ? config_.streamCount : 0;
    for (std::uint32_t i = 0; i < streams; ++i) {
        if (controlBlockOffset(i) + kControlBlockSize > viewSize()) {
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
        writers_.emplace_back(view(), config_, i);
    }
    if (options.markReady) {
        markReady();
    }
}

void TransportProducer::markReady() {
    storeProducerState(header(), kProducerReady);
}

void TransportProducer::destroy() {
    region_.reset();
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
