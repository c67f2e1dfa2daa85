// What the capture asks of every ring at once, between passes: whether the producer has closed
// all its streams (or aborted one), and whether anything is still waiting. Reads of the shared
// control blocks only, in the layout's orderings.
#pragma once

#include "transport/transport_layout.h"

#include <cstddef>

namespace vaskel {

enum class StreamScan { Open, AllClosed, Aborted };

[[nodiscard]] inline StreamScan scanStreamStates(std::byte* base,
                                                 const transport::TransportConfig& config) {
    StreamScan scan = StreamScan::AllClosed;
    for (std::uint32_t i = 0; i < config.streamCount; ++i) {
        const std::uint32_t state = transport::loadStreamState(transport::controlBlockAt(base, i));
        if (state == transport::kStreamAborted) {
            return StreamScan::Aborted;
        }
        if (state != transport::kStreamClosed) {
            scan = StreamScan::Open;
        }
    }
    return scan;
}

[[nodiscard]] inline bool ringsEmpty(std::byte* base, const transport::TransportConfig& config) {
    for (std::uint32_t i = 0; i < config.streamCount; ++i) {
        transport::StreamControlBlock& block = transport::controlBlockAt(base, i);
        if (transport::loadOwnReadIndex(block) != transport::loadWriteIndex(block)) {
            return false;
        }
    }
    return true;
}

} // namespace vaskel
