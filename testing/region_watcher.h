// A second reader of a region, for tests that watch a capture: it maps the region as attach
// does, over the transport's own checks, but writes nothing into it, so producer and renderer
// see what they would see without it.
#pragma once

#include "platform/region.h"
#include "transport/transport_layout.h"
#include "transport/transport_mapping.h"

#include <chrono>
#include <cstdint>
#include <thread>

namespace vaskel::testing {

class RegionWatcher {
public:
    RegionWatcher() = default;

    // Keeps trying for up to ten seconds; watching() tells whether it got there.
    explicit RegionWatcher(const platform::NativeString& name) {
        waitFor([&] { return observe(name); });
    }

    // One attempt: maps the region whole once its header is valid. A view of a region made by
    // another process keeps the region alive on every platform, so its indices can be read when
    // that process is gone.
    [[nodiscard]] bool observe(const platform::NativeString& name) {
        transport::MappedRegion mapped = transport::mapRegion(name);
        if (mapped.verdict != transport::HeaderVerdict::Valid) {
            return false;
        }
        region_ = std::move(mapped.region);
        return true;
    }

    bool watching() const { return region_.data() != nullptr; }
    std::byte* view() const { return region_.data(); }
    std::uint64_t viewSize() const { return region_.size(); }

    std::uint64_t readIndex(std::uint32_t s) const {
        return transport::loadReadIndex(transport::controlBlockAt(view(), s));
    }
    std::uint64_t writeIndex(std::uint32_t s) const {
        return transport::loadWriteIndex(transport::controlBlockAt(view(), s));
    }
    std::uint32_t consumerState() const {
        return transport::loadConsumerState(transport::headerAt(view()));
    }
    std::uint32_t failureCode() const {
        return transport::loadFailureCode(transport::headerAt(view()));
    }

    // Polls `condition` for up to ten seconds.
    template <typename Condition> static bool waitFor(Condition condition) {
        for (int i = 0; i < 2000 && !condition(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return condition();
    }

private:
    platform::Region region_;
};

} // namespace vaskel::testing
