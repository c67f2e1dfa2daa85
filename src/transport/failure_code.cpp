#include "transport/failure_code.h"

#include <iterator>

namespace vaskel {

const char* failureCodeName(std::uint32_t code) {
    static constexpr const char* kNames[] = {
        "none",
        "protocol_mismatch",
        "overflow",
        "gap",
        "duplicate_or_out_of_order",
        "logical_range_mismatch",
        "producer_abort",
        "writer_failure",
    };
    return code < std::size(kNames) ? kNames[code] : "unknown";
}

} // namespace vaskel
