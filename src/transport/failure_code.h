// The failure vocabulary both sides of the transport share: the values of the shared
// failureCode word and the names the renderer prints for them.
#pragma once

#include <cstdint>

namespace vaskel {

// Values are part of the shared-memory format.
enum class FailureCode : std::uint32_t {
    None = 0,
    ProtocolMismatch = 1,
    Overflow = 2,
    Gap = 3,
    DuplicateOrOutOfOrder = 4,
    LogicalRangeMismatch = 5,
    ProducerAbort = 6,
    WriterFailure = 7,
};

constexpr std::uint32_t code(FailureCode failure) {
    return static_cast<std::uint32_t>(failure);
}

// The user-visible name of a code; every value above 7 is "unknown".
const char* failureCodeName(std::uint32_t code);

} // namespace vaskel
