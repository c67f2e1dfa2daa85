#include "producer/transport_producer.h"
#include "region_watcher.h"
#include "test_support.h"
#include "transport/transport_mapping.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
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
        testing::RegionWatcher observer;
        // A wrong version is refused as by attach, but without publishing protocol_mismatch.
        EXPECT_EQ(observer.observe(name), version == kProtocolVersion);
        EXPECT_TRUE(std::equal(before.begin(), before.end(), producer.view()));
        if (!observer.watching()) {
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
}

// Each change to a ready producer's header, as the two looks see it. The first, in the
// header-only view: a producer not ready is waited for, whatever else its header says; a ready
// one with another version or an invalid configuration is a mismatch. The second, in the whole
// view, sees the change made after the first: anything it compares refuses the view, which was
// sized by what the producer no longer says; the reserved words and producerState do not count.
TEST(TransportHeaderCheck, BothLooksAtEachChangeOfAHeader) {
    struct Case {
        const char* what;
        void (*change)(TransportHeader&);
        HeaderVerdict firstLook;
        bool secondLookUnchanged;
    };
    const Case cases[] = {
        {"nothing", [](TransportHeader&) {}, HeaderVerdict::Valid, true},
        {"reserved words",
         [](TransportHeader& h) { h.reserved0 = h.reserved1 = h.config.reserved = 7; },
         HeaderVerdict::Valid, true},
        {"not ready yet", [](TransportHeader& h) { h.producerState = 0; }, HeaderVerdict::Retry,
         true},
        {"a later state", [](TransportHeader& h) { h.producerState = 2; }, HeaderVerdict::Retry,
         true},
        {"not ready, version 2",
         [](TransportHeader& h) {
             h.producerState = 0xFFFFFFFF;
             h.protocolVersion = 2;
         },
         HeaderVerdict::Retry, false},
        {"version 2", [](TransportHeader& h) { h.protocolVersion = 2; }, HeaderVerdict::Mismatch,
         false},
        {"version 4", [](TransportHeader& h) { h.protocolVersion = 4; }, HeaderVerdict::Mismatch,
         false},
        {"no streams", [](TransportHeader& h) { h.config.streamCount = 0; },
         HeaderVerdict::Mismatch, false},
        {"three channels", [](TransportHeader& h) { h.config.channelCount = 3; },
         HeaderVerdict::Mismatch, false},
        {"more streams", [](TransportHeader& h) { h.config.streamCount = 3; }, HeaderVerdict::Valid,
         false},
        {"fewer slots", [](TransportHeader& h) { h.config.slotsPerStream = 1; },
         HeaderVerdict::Valid, false},
        {"other rate", [](TransportHeader& h) { h.config.sampleRate = 48000; },
         HeaderVerdict::Valid, false},
        {"other end", [](TransportHeader& h) { h.config.logicalEndFrame = 30000; },
         HeaderVerdict::Valid, false},
    };
    for (const Case& c : cases) {
        TransportHeader header{};
        header.protocolVersion = kProtocolVersion;
        header.config = makeConfig(2, 4, 256, 2, 44100, 10, 20000);
        header.producerState = kProducerReady;
        const HeaderCheck before = checkHeader(header);
        ASSERT_EQ(before.verdict, HeaderVerdict::Valid);
        c.change(header);
        EXPECT_EQ(headerUnchanged(header, before.config), c.secondLookUnchanged) << c.what;
        const HeaderCheck check = checkHeader(header);
        EXPECT_EQ(check.verdict, c.firstLook) << c.what;
        if (check.verdict == HeaderVerdict::Valid) {
            EXPECT_EQ(std::memcmp(&check.config, &header.config, sizeof header.config), 0)
                << c.what;
        }
    }
}

} // namespace
} // namespace vaskel::transport
