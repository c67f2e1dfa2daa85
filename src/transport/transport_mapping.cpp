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

HeaderCheck checkHeader(TransportHeader& header) {
    if (loadProducerState(header) != kProducerReady) {
        return {};
    }
    const std::uint32_t version = readProtocolVersion(header);
    const TransportConfig config = readConfig(header);
    if (version != kProtocolVersion || !isValidConfig(config)) {
        return {HeaderVerdict::Mismatch, config};
    }
    return {HeaderVerdict::Valid, config};
}

bool headerUnchanged(const TransportHeader& header, const TransportConfig& checked) {
    return readProtocolVersion(header) == kProtocolVersion &&
           sameConfig(readConfig(header), checked);
}

// The header alone first, so that a region too short for the configuration it declares is
// refused before anything is mapped by it.
MappedRegion mapRegion(const platform::NativeString& name) {
    MappedRegion mapped;
    platform::ErrorOr<platform::Region> opened = platform::Region::open(name);
    if (!opened || opened->map(kHeaderSize)) {
        return mapped;
    }
    platform::Region& region = *opened;
    const HeaderCheck check = checkHeader(headerAt(region.data()));
    if (check.verdict == HeaderVerdict::Mismatch) {
        mapped.verdict = HeaderVerdict::Mismatch;
        mapped.region = std::move(region);
        return mapped;
    }
    if (check.verdict != HeaderVerdict::Valid || region.map(regionSize(check.config)) ||
        !headerUnchanged(headerAt(region.data()), check.config)) {
        return mapped;
    }
    mapped.verdict = HeaderVerdict::Valid;
    mapped.config = check.config;
    mapped.region = std::move(region);
    return mapped;
}

bool TransportMapping::attach(const platform::NativeString& name) {
    detach();
    MappedRegion mapped = mapRegion(name);
    if (mapped.verdict == HeaderVerdict::Mismatch) {
        publishFailureCode(headerAt(mapped.region.data()), code(FailureCode::ProtocolMismatch));
    }
    if (mapped.verdict != HeaderVerdict::Valid) {
        return false;
    }
    region_ = std::move(mapped.region);
    config_ = mapped.config;
    storeConsumerState(headerAt(region_.data()), kConsumerAttached);
    return true;
}

void TransportMapping::detach() {
    region_.reset();
    config_ = {};
}

} // namespace vaskel::transport
