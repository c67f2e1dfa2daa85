#include "test_support.h"
#include "transport/transport_layout.h"

#include <gtest/gtest.h>

namespace vaskel::transport {
namespace {

using vaskel::testing::makeConfig;

TEST(TransportLayout, OffsetsOfTwoStreamsOfEightSlots) {
    const TransportConfig config = makeConfig(2, 8, 2048);
    EXPECT_EQ(controlBlockOffset(0), 64u);
    EXPECT_EQ(controlBlockOffset(1), 128u);
    EXPECT_EQ(slotOffset(config, 0, 0), 192u);
    // Chunk 11 of stream 1 lives in slot 3.
    EXPECT_EQ(slotOffset(config, 1, 11), 180768u);
    EXPECT_EQ(slotOffset(config, 1, 11) + kChunkHeaderSize, 180800u);
    EXPECT_EQ(regionSize(config), 262848u);
}

TEST(TransportLayout, RegionSizesAtTheExtremes) {
    EXPECT_EQ(regionSize(makeConfig(128, 64, 2048)), 134488128u);
    EXPECT_EQ(regionSize(makeConfig(1, 1, 1, 1, 1)), 16544u);
    // The last slot of the largest region ends exactly at its end.
    const TransportConfig largest = makeConfig(128, 64, 2048);
    EXPECT_EQ(slotOffset(largest, 127, 63) + kSlotSize, regionSize(largest));
    // With one slot every chunk of a stream shares it.
    const TransportConfig single = makeConfig(3, 1, 16);
    EXPECT_EQ(slotOffset(single, 2, 0), slotOffset(single, 2, 41));
}

TEST(TransportLayout, EveryBoundJustInsideAndJustOutside) {
    struct Case {
        TransportConfig config;
        bool valid;
    };
    const Case cases[] = {
        {makeConfig(1, 1, 1, 1, 1), true},
        {makeConfig(128, 64, 2048, 2, 1), true},
        {makeConfig(0, 8, 256), false},
        {makeConfig(129, 8, 256), false},
        {makeConfig(2, 0, 256), false},
        {makeConfig(2, 65, 256), false},
        {makeConfig(2, 8, 0), false},
        {makeConfig(2, 8, 2049), false},
        {makeConfig(2, 8, 256, 0), false},
        {makeConfig(2, 8, 256, 3), false},
        {makeConfig(2, 8, 256, 2, 0), false},
        {makeConfig(2, 8, 256, 2, 48000, 5, 0), false},
        {makeConfig(2, 8, 256, 2, 48000, 0, 0), true},
        {makeConfig(2, 8, 256, 2, 48000, 7, 7), true},
        {makeConfig(2, 8, 256, 2, 48000, 7, 8), true},
        {makeConfig(2, 8, 256, 2, 48000, 8, 7), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << c.config.streamCount << " streams, " << c.config.slotsPerStream
                     << " slots, " << c.config.framesPerChunk << " frames, "
                     << c.config.channelCount << " channels, rate " << c.config.sampleRate
                     << ", range " << c.config.logicalStartFrame << ".."
                     << c.config.logicalEndFrame);
        EXPECT_EQ(isValidConfig(c.config), c.valid);
        EXPECT_EQ(regionSize(c.config) != 0, c.valid);
    }
    // The reserved word never matters.
    TransportConfig config = makeConfig(1, 1, 1, 1, 1);
    config.reserved = 0xFFFFFFFF;
    EXPECT_TRUE(isValidConfig(config));
    EXPECT_EQ(regionSize(config), 16544u);
}

} // namespace
} // namespace vaskel::transport
