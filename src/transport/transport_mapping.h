// The renderer's record of one attached shared region.
#pragma once

#include "platform/region.h"
#include "platform/text.h"
#include "transport/transport_layout.h"

#include <cstddef>
#include <cstdint>

namespace vaskel::transport {

class TransportMapping {
public:
    TransportMapping() = default;
    TransportMapping(const TransportMapping&) = delete;
    TransportMapping& operator=(const TransportMapping&) = delete;

    // Opens the region, checks that the producer is ready with protocol version 3 and a valid
    // configuration, maps the whole region and marks it attached (consumerState 1). False, with
    // the record empty, on any failure; a wrong version or configuration also publishes
    // failureCode 1.
    [[nodiscard]] bool attach(const platform::NativeString& name);

    // Maps the region after the same checks as attach, but writes nothing into it: neither
    // consumerState nor a failureCode. For a second reader, such as a test that watches a
    // capture, which must not change what producer and renderer see.
    [[nodiscard]] bool observe(const platform::NativeString& name);

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

    // Runs `hook` on the header view after the header's checks, just before the whole region is
    // mapped: where a producer could rewrite the header. Lets a test do exactly that.
    void setBeforeFullMapping(void (*hook)(std::byte* view)) { beforeFullMapping_ = hook; }

private:
    enum class Access { Attach, Observe };
    bool map(const platform::NativeString& name, Access access);

    platform::Region region_;
    TransportConfig config_{};
    void (*beforeFullMapping_)(std::byte*) = nullptr;
};

} // namespace vaskel::transport
