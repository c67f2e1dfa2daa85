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

bool TransportMapping::attach(const platform::NativeString& name) {
    return map(name, Access::Attach);
}

bool TransportMapping::observe(const platform::NativeString& name) {
    return map(name, Access::Observe);
}

// The header alone first, so that a region too short for the configuration it declares is
// refused before anything is mapped by it.
bool TransportMapping::map(const platform::NativeString& name, Access access) {
    detach();
    platform::ErrorOr<platform::Region> opened = platform::Region::open(name);
    if (!opened || opened->map(kHeaderSize)) {
        return false;
    }
    platform::Region& region = *opened;
    TransportHeader& header = headerAt(region.data());
    if (loadProducerState(header) != kProducerReady) {
        return false;
    }
    const std::uint32_t version = readProtocolVersion(header);
    const TransportConfig snapshot = readConfig(header);
    if (version != kProtocolVersion || !isValidConfig(snapshot)) {
        if (access == Access::Attach) {
            publishFailureCode(header, code(FailureCode::ProtocolMismatch));
        }
        return false;
    }
    if (beforeFullMapping_ != nullptr) {
        beforeFullMapping_(region.data());
    }
    if (region.map(regionSize(snapshot))) {
        return false;
    }
    TransportHeader& full = headerAt(region.data());
    if (readProtocolVersion(full) != kProtocolVersion || !sameConfig(readConfig(full), snapshot)) {
        return false;
    }
    region_ = std::move(region);
    config_ = snapshot;
    if (access == Access::Attach) {
        storeConsumerState(full, kConsumerAttached);
    }
    return true;
}

void TransportMapping::detach() {
    region_.reset();
    config_ = {};
}

} // namespace vaskel::transport
