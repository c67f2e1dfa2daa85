#include "platform/writeback.h"

// Nothing here writes back or drops a range (see writeback.h for what an equivalent would
// need): the final FlushFileBuffers makes the file durable, as it always has.
namespace vaskel::platform {

std::error_code startWriteback(std::intptr_t, std::uint64_t, std::uint64_t) {
    return {};
}

std::error_code waitWriteback(std::intptr_t, std::uint64_t, std::uint64_t) {
    return {};
}

std::error_code dropCachedPages(std::intptr_t, std::uint64_t, std::uint64_t) {
    return {};
}

bool writingBackHelps(std::intptr_t) {
    return false;
}

bool backedByDisk(std::intptr_t) {
    return true;
}

} // namespace vaskel::platform
