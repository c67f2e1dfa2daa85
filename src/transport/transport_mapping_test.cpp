#include "producer/transport_producer.h"
#include "test_support.h"
#include "transport/transport_mapping.h"

#include <algorithm>
#include <cstddef>
#include <gtest/gtest.h>
#include <vector>

namespace vaskel::transport {
namespace {

using producer::CreateOptions;
using producer::TransportProducer;
using testing::makeConfig;
using testing::uniqueRegionName;

void expectEmpty(const TransportMapping& mapping) {
    EXPECT_FALSE(mapping.attached());
    EXPECT_EQ(mapping.view(), nullptr);
    EXPECT_EQ(mapping.viewSize(), 0u);
}

TEST(TransportAttach, NoRegionFailsEveryTimeAndLeavesTheRecordEmpty) {
    TransportMapping mapping;
    const auto name = uniqueRegionName("absent");
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(mapping.attach(name));
        expectEmpty(mapping);
    }
}

TEST(TransportAttach, WaitsForTheProducerToBecomeReady) {
    const auto name = uniqueRegionName("ready");
    TransportProducer producer;
    CreateOptions options;
    options.markReady = false;
    ASSERT_TRUE(producer.create(name, makeConfig(2, 8, 256), options));

    TransportMapping mapping;
    // Only state 1 is ready; any other word (a later state, garbage) is not.
    for (const std::uint32_t notReady : {0u, 2u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(notReady);
        storeProducerState(producer.header(), notReady);
        EXPECT_FALSE(mapping.attach(name));
        expectEmpty(mapping);
        EXPECT_EQ(producer.failureCode(), 0u);
        EXPECT_EQ(producer.consumerState(), 0u);
    }

    producer.markReady();
    ASSERT_TRUE(mapping.attach(name));
    EXPECT_TRUE(mapping.attached());
    EXPECT_EQ(mapping.viewSize(), regionSize(makeConfig(2, 8, 256)));
    EXPECT_EQ(mapping.config().streamCount, 2u);
    EXPECT_EQ(producer.consumerState(), kConsumerAttached);
    EXPECT_EQ(producer.failureCode(), 0u);
}

TEST(TransportAttach, WrongVersionOrInvalidConfigurationPublishesProtocolMismatch) {
    {
        const auto name = uniqueRegionName("v2");
        TransportProducer producer;
        CreateOptions options;
        options.protocolVersion = 2;
        ASSERT_TRUE(producer.create(name, makeConfig(2, 8, 256), options));
        TransportMapping mapping;
        EXPECT_FALSE(mapping.attach(name));
        expectEmpty(mapping);
        EXPECT_EQ(producer.failureCode(), 1u);
        EXPECT_EQ(producer.consumerState(), 0u);
        // Every later attempt fails the same way and the code stays.
        EXPECT_FALSE(mapping.attach(name));
        EXPECT_EQ(producer.failureCode(), 1u);
    }
    {
        const auto name = uniqueRegionName("nostreams");
        TransportProducer producer;
        ASSERT_TRUE(producer.create(name, makeConfig(0, 8, 256)));
        TransportMapping mapping;
        EXPECT_FALSE(mapping.attach(name));
        EXPECT_EQ(producer.failureCode(), 1u);
    }
    {
        // A code already published stays.
        const auto name = uniqueRegionName("v2coded");
        TransportProducer producer;
        CreateOptions options;
        options.protocolVersion = 2;
        ASSERT_TRUE(producer.create(name, makeConfig(2, 8, 256), options));
        ASSERT_TRUE(producer.publishFailure(6));
        TransportMapping mapping;
        EXPECT_FALSE(mapping.attach(name));
        EXPECT_EQ(producer.failureCode(), 6u);
    }
}

TEST(TransportAttach, RegionSmallerThanItsConfigurationFailsWithoutWriting) {
    const TransportConfig config = makeConfig(3, 4, 512);
    // Windows rounds a section up to whole pages, so only a region short by a page or more is
    // too small there; POSIX compares the exact size.
    const std::uint64_t oneByte = testing::kWindowsTarget ? 0 : 1;
    for (std::uint64_t shortBy :
         {oneByte, std::uint64_t{2 * 65536}, regionSize(config) - kHeaderSize}) {
        if (shortBy == 0) {
            continue;
        }
        SCOPED_TRACE(shortBy);
        const auto name = uniqueRegionName("short");
        TransportProducer producer;
        CreateOptions options;
        options.regionBytes = regionSize(config) - shortBy;
        ASSERT_TRUE(producer.create(name, config, options));
        TransportMapping mapping;
        EXPECT_FALSE(mapping.attach(name));
        expectEmpty(mapping);
        EXPECT_EQ(producer.failureCode(), 0u);
        EXPECT_EQ(producer.consumerState(), 0u);
    }
}

TEST(TransportAttach, ReservedWordsDoNotMatter) {
    const auto name = uniqueRegionName("reserved");
    TransportConfig config = makeConfig(1, 1, 1, 1, 1);
    config.reserved = 0xDEADBEEF;
    TransportProducer producer;
    ASSERT_TRUE(producer.create(name, config));
    producer.header().reserved0 = 0xFFFFFFFF;
    producer.header().reserved1 = 0x12345678;
    TransportMapping mapping;
    EXPECT_TRUE(mapping.attach(name));
    EXPECT_EQ(mapping.viewSize(), 16544u);
}

TEST(TransportAttach, AttachTwiceStartsAfreshAndDetachIsIdempotent) {
    const auto name = uniqueRegionName("twice");
    TransportProducer producer;
    ASSERT_TRUE(producer.create(name, makeConfig(2, 2, 64)));
    TransportMapping mapping;
    mapping.detach();
    expectEmpty(mapping);
    ASSERT_TRUE(mapping.attach(name));
    producer.header().consumerState = 0;
    ASSERT_TRUE(mapping.attach(name));
    EXPECT_EQ(producer.consumerState(), kConsumerAttached);
    mapping.detach();
    expectEmpty(mapping);
    mapping.detach();
    expectEmpty(mapping);
    // Detach writes nothing into the region.
    EXPECT_EQ(producer.consumerState(), kConsumerAttached);
    EXPECT_EQ(producer.failureCode(), 0u);
}

TEST(TransportAttach, ObservingWritesNoByteOfTheRegion) {
    for (const std::uint32_t version : {kProtocolVersion, kProtocolVersion - 1}) {
        SCOPED_TRACE(version);
        const auto name = uniqueRegionName("observe");
        TransportProducer producer;
        CreateOptions options;
        options.protocolVersion = version;
        ASSERT_TRUE(producer.create(name, makeConfig(2, 2, 64), options));
        const std::vector<std::byte> before(producer.view(), producer.view() + producer.viewSize());
        TransportMapping observer;
        // A wrong version is refused as by attach, but without publishing protocol_mismatch.
        EXPECT_EQ(observer.observe(name), version == kProtocolVersion);
        EXPECT_TRUE(std::equal(before.begin(), before.end(), producer.view()));
        if (!observer.attached()) {
            continue;
        }
        // It sees what the others write, and a renderer still attaches beside it.
        TransportMapping renderer;
        ASSERT_TRUE(renderer.attach(name));
        EXPECT_EQ(loadConsumerState(headerAt(observer.view())), kConsumerAttached);
        EXPECT_EQ(observer.viewSize(), renderer.viewSize());
    }
}

TEST(TransportAttach, KeepsTheConfigurationItValidatedWhenTheHeaderChangesLater) {
    const auto name = uniqueRegionName("rewrite");
    TransportProducer producer;
    ASSERT_TRUE(producer.create(name, makeConfig(1, 2, 16)));
    TransportMapping mapping;
    ASSERT_TRUE(mapping.attach(name));
    producer.header().config.streamCount = 128;
    producer.header().config.slotsPerStream = 64;
    EXPECT_EQ(mapping.config().streamCount, 1u);
    EXPECT_EQ(mapping.config().slotsPerStream, 2u);
    EXPECT_EQ(mapping.viewSize(), regionSize(makeConfig(1, 2, 16)));

    // A header rewritten between the check and the mapping of the whole region is refused: the
    // view was sized by what the producer no longer says.
    struct Rewrite {
        const char* what;
        void (*change)(TransportHeader&);
    };
    const Rewrite rewrites[] = {
        {"fewer slots", [](TransportHeader& h) { h.config.slotsPerStream = 1; }},
        {"other rate", [](TransportHeader& h) { h.config.sampleRate = 44100; }},
        {"other version", [](TransportHeader& h) { h.protocolVersion = kProtocolVersion + 1; }},
    };
    for (const Rewrite& rewrite : rewrites) {
        SCOPED_TRACE(rewrite.what);
        static void (*change)(TransportHeader&) = nullptr;
        change = rewrite.change;
        const auto lateName = uniqueRegionName("rewrite-late");
        TransportProducer rewritten;
        ASSERT_TRUE(rewritten.create(lateName, makeConfig(1, 2, 16)));
        TransportMapping late;
        late.setBeforeFullMapping([](std::byte* view) { change(headerAt(view)); });
        EXPECT_FALSE(late.attach(lateName));
        expectEmpty(late);
        EXPECT_EQ(rewritten.consumerState(), 0u);
    }
}

} // namespace
} // namespace vaskel::transport
