#include "transport/transport_mapping.h"

#include "transport/failure_code.h"

#include <cstring>

namespace vaskel::transport {

namespace {

bool sameConfig(const TransportConfig& a, const TransportConfig& b) {
    // The reserved word is deliberately left out.
    return a.streamCount == b.streamCount && a.slotsPerStream == b.slotsPerStream &&
           a.framesPerChunk == b.framesPerChunk && a.channelCount == b.channelCount &&
           a.sampleRate == b.sampleRate && a.logicalStartFrame == b.logicalStartFrame &&
           a.logicalEndFrame == b.logicalEndFrame;
}

// Plain copies of fields the producer has finished writing before it became ready. Copied
// through memcpy so the compiler reads them exactly once.
std::uint32_t readProtocolVersion(const TransportHeader& header) {
    std::uint32_t version = 0;
    std::memcpy(&version, &header.protocolVersion, sizeof version);
    return version;
}

TransportConfig readConfig(const TransportHeader& header) {
    TransportConfig config{};
    std::memcpy(&config, &header.config, sizeof config);
    return config;
}

} // namespace

void TransportMapping::release() {
    if (view_ != nullptr) {
        platform::unmapRegion(view_, viewSize_);
        view_ = nullptr;
        viewSize_ = 0;
    }
    if (handle_) {
        platform::closeRegion(handle_);
        handle_ = {};
    }
    config_ = {};
}

bool TransportMapping::attach(const platform::NativeString& name) {
    return map(name, Access::Attach);
}

bool TransportMapping::observe(const platform::NativeString& name) {
    return map(name, Access::Observe);
}

bool TransportMapping::map(const platform::NativeString& name, Access access) {
    release();

    handle_ = platform::openRegion(name);
    if (!handle_) {
        return false;
    }
    view_ = static_cast<std::byte*>(platform::mapRegion(handle_, kHeaderSize));
    if (view_ == nullptr) {
        release();
        return false;
    }
    viewSize_ = kHeaderSize;

    TransportHeader& header = headerAt(view_);
    if (loadProducerState(header) != kProducerReady) {
        release();
        return false;
    }
    const std::uint32_t version = readProtocolVersion(header);
    const TransportConfig snapshot = readConfig(header);
    if (version != kProtocolVersion || !isValidConfig(snapshot)) {
        if (access == Access::Attach) {
            publishFailureCode(header, code(FailureCode::ProtocolMismatch));
        }
        release();
        return false;
    }

    if (beforeFullMapping_ != nullptr) {
        beforeFullMapping_(view_);
    }
    platform::unmapRegion(view_, viewSize_);
    view_ = nullptr;
    viewSize_ = 0;

    const std::uint64_t size = regionSize(snapshot);
    view_ = static_cast<std::byte*>(platform::mapRegion(handle_, size));
    if (view_ == nullptr) {
        release();
        return false;
    }
    viewSize_ = size;

    TransportHeader& full = headerAt(view_);
    if (readProtocolVersion(full) != kProtocolVersion || !sameConfig(readConfig(full), snapshot)) {
        release();
        return false;
    }
    config_ = snapshot;
    if (access == Access::Attach) {
        storeConsumerState(full, kConsumerAttached);
    }
    return true;
}

void TransportMapping::detach() {
    release();
}

} // namespace vaskel::transport
