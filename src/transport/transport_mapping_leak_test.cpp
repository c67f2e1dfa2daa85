// Attach is retried every 2 ms for as long as the producer takes, so a descriptor or a view left
// behind by one failed attempt would pile up into thousands. These tests count what the process
// holds of shared memory, before and after, on Linux where /proc shows it.
#include "capture/capture_loop.h"
#include "reliability_support.h"
#include "transport/transport_mapping.h"

#include <fstream>
#include <gtest/gtest.h>
#include <optional>

namespace vaskel::transport {
namespace {

using producer::CreateOptions;
using producer::TransportProducer;
using testing::makeConfig;
using testing::ScratchDir;
using testing::uniqueRegionName;

constexpr int kAttempts = 3000;

struct Held {
    std::size_t descriptors = 0;       // every open descriptor
    std::size_t regionDescriptors = 0; // descriptors of shared-memory objects
    std::size_t regionViews = 0;       // mapped areas backed by a shared-memory object

    bool operator==(const Held&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Held& held) {
    return out << held.descriptors << " descriptors (" << held.regionDescriptors << " of regions), "
               << held.regionViews << " region views";
}

// What the process holds now; nothing on a platform without /proc.
std::optional<Held> held() {
    std::error_code error;
    if (testing::kWindowsTarget || !std::filesystem::is_directory("/proc/self/fd", error)) {
        return std::nullopt;
    }
    Held now;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
        ++now.descriptors;
        const auto target = std::filesystem::read_symlink(entry.path(), error);
        if (!error && target.string().rfind("/dev/shm/", 0) == 0) {
            ++now.regionDescriptors;
        }
    }
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);) {
        if (line.find("/dev/shm/") != std::string::npos) {
            ++now.regionViews;
        }
    }
    return now;
}

#define REQUIRE_PROC(baseline)                                                                     \
    const std::optional<Held> baseline = held();                                                   \
    if (!baseline) {                                                                               \
        GTEST_SKIP() << "no /proc/self on this platform";                                          \
    }

TEST(TransportMappingLeak, ThousandsOfFailedAttachesHoldNothing) {
    const TransportConfig config = makeConfig(2, 4, 256);
    struct Case {
        const char* name;
        bool create;
        CreateOptions options;
        std::uint32_t failureAfter;
    };
    const Case cases[] = {
        {"no region of that name", false, {}, 0},
        {"a producer that never becomes ready", true, {0, kProtocolVersion, false}, 0},
        {"protocol version 2", true, {0, 2, true}, 1},
        {"a region shorter than its configuration", true, {regionSize(config) - 1}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const platform::NativeString name = uniqueRegionName("leak");
        TransportProducer producer;
        if (c.create) {
            ASSERT_TRUE(producer.create(name, config, c.options));
        }
        REQUIRE_PROC(before);
        TransportMapping mapping;
        for (int i = 0; i < kAttempts; ++i) {
            ASSERT_FALSE(mapping.attach(name)) << "attempt " << i;
            ASSERT_FALSE(mapping.attached());
        }
        EXPECT_EQ(held(), before);
        if (c.create) {
            EXPECT_EQ(producer.failureCode(), c.failureAfter);
            EXPECT_EQ(producer.consumerState(), 0u);
        }
    }
}

TEST(TransportMappingLeak, CapturesOnEveryExitReleaseFilesAndViews) {
    const TransportConfig config = makeConfig(3, 2, 64);
    // How a capture ends, arranged before it starts.
    enum class End { Complete, ChunkRejected, WriterFailure, Aborted };
    for (const End end : {End::Complete, End::ChunkRejected, End::WriterFailure, End::Aborted}) {
        SCOPED_TRACE(static_cast<int>(end));
        const platform::NativeString name = uniqueRegionName("leak-capture");
        TransportProducer producer;
        ASSERT_TRUE(producer.create(name, config));
        ScratchDir out("leak-capture");
        REQUIRE_PROC(before);
        {
            TransportMapping mapping;
            ASSERT_TRUE(mapping.attach(name));
            // Attaching again first lets go of the first attach.
            ASSERT_TRUE(mapping.attach(name));
            testing::HookFeeder feeder(producer, 640, 64);
            std::filesystem::path root = out.path();
            bool injected = false;
            if (end == End::ChunkRejected) {
                feeder.onStep = [&](std::uint64_t step) {
                    if (step >= 5 && !injected) {
                        ChunkHeader wrong = producer.nextHeader(2, 64);
                        wrong.bitsPerSample = 16;
                        injected = producer.tryPublishRaw(2, wrong, nullptr, 0);
                    }
                };
            } else if (end == End::WriterFailure) {
                testing::writeFile(out / "file", "x");
                root = out / "file" / "below";
            } else if (end == End::Aborted) {
                feeder.onStep = [&](std::uint64_t step) {
                    if (step == 7) {
                        producer.abortStream(1);
                    }
                };
            }
            const CaptureResult result = runCapture(mapping, root, 0, 500, feeder.environment());
            const std::uint32_t expected[] = {0, 1, 7, 6};
            EXPECT_EQ(result.failureCode, expected[static_cast<int>(end)]);
            EXPECT_EQ(result.success, end == End::Complete);
            // The stream files are closed by the time the capture returns; only the region is
            // still held, by one descriptor and one view.
            const std::optional<Held> during = held();
            ASSERT_TRUE(during);
            EXPECT_EQ(during->descriptors, before->descriptors + 1);
            EXPECT_EQ(during->regionViews, before->regionViews + 1);
            mapping.detach();
            EXPECT_EQ(held(), before);
            mapping.detach();
        }
        EXPECT_EQ(held(), before);
    }
}

} // namespace
} // namespace vaskel::transport
