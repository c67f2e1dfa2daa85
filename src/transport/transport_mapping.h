// The renderer's record of one attached shared region, and the checks of its header that attach
// makes: first in a header-only view, then again once the whole region is mapped.
#pragma once

#include "platform/region.h"
#include "platform/text.h"
#include "transport/transport_layout.h"

#include <cstddef>
#include <cstdint>

namespace vaskel::transport {

// What a header seen in the header-only view says about attaching.
enum class HeaderVerdict {
    Retry,    // nothing to attach to yet: try again later, writing nothing
    Mismatch, // a wrong protocol version or an invalid configuration: publish protocol_mismatch
    Valid,    // map the whole region at the size of the configuration read
};

struct HeaderCheck {
    HeaderVerdict verdict = HeaderVerdict::Retry;
    // The configuration read, once: what a Valid region is sized by and compared with later.
    TransportConfig config{};
};

// The first look: is the producer ready (read before anything else of the header, with acquire),
// does it speak protocol version 3, and is its configuration valid. Writes nothing.
[[nodiscard]] HeaderCheck checkHeader(TransportHeader& header);

// The second look, in the whole view: the header still says protocol version 3 and the
// configuration that was checked. The reserved word and producerState do not count.
[[nodiscard]] bool headerUnchanged(const TransportHeader& header, const TransportConfig& checked);

// A region opened by name and looked at by both checks.
struct MappedRegion {
    HeaderVerdict verdict = HeaderVerdict::Retry;
    TransportConfig config{};
    // Valid: the whole region, mapped by `config`. Mismatch: the header-only view, where attach
    // publishes protocol_mismatch. Retry: empty.
    platform::Region region;
};

// The steps of attach that write nothing: opens region `name`, checks its header in a
// header-only view and, when it is valid, maps the whole region by that configuration and
// looks again. A region too small for its configuration, or a header that changed in between,
// is a Retry.
[[nodiscard]] MappedRegion mapRegion(const platform::NativeString& name);

class TransportMapping {
public:
    TransportMapping() = default;
    TransportMapping(const TransportMapping&) = delete;
    TransportMapping& operator=(const TransportMapping&) = delete;

    // Maps the region after both checks of its header and marks it attached (consumerState 1).
    // False, with the record empty, on any failure; a wrong version or configuration also
    // publishes failureCode 1.
    [[nodiscard]] bool attach(const platform::NativeString& name);

    // Unmaps and closes whatever the record holds. Writes nothing into the region.
    void detach();

    bool attached() const { return region_.data() != nullptr; }

    // First byte of the mapped view; null when not attached.
    std::byte* view() const { return region_.data(); }

    // Bytes mapped; the view covers exactly regionSize(config()).
    std::uint64_t viewSize() const { return region_.size(); }

    // The configuration that attach validated and sized the view by. Everything that addresses
    // the region uses this copy: a producer that rewrites its header later cannot move an
    // address outside the view.
    const TransportConfig& config() const { return config_; }

private:
    platform::Region region_;
    TransportConfig config_{};
};

} // namespace vaskel::transport
