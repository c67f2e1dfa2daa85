#include "common/byte_order.h"
#include "output/durable_record.h"
#include "test_support.h"

#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <vector>

namespace vaskel {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes recordOf(std::uint64_t first, std::vector<std::uint64_t> a, std::uint64_t second,
               std::vector<std::uint64_t> b) {
    Bytes bytes(kDurableFileBytes);
    const DurableSlot one = encodeDurableSlot(first, a);
    const DurableSlot two = encodeDurableSlot(second, b);
    std::memcpy(bytes.data(), one.data(), kDurableSlotBytes);
    std::memcpy(bytes.data() + kDurableSlotBytes, two.data(), kDurableSlotBytes);
    return bytes;
}

// A record is read after a power cut, or planted: only a whole slot counts, the newer of two,
// and nothing outside the file's fixed size is read whatever its counts say.
TEST(DurableRecord, TheNewestWholeSlotAndNothingElse) {
    struct Row {
        const char* what;
        std::function<void(Bytes&)> edit;
        std::optional<std::vector<std::uint64_t>> expected;
    };
    const Row rows[] = {
        {"both whole: the newer", [](Bytes&) {}, std::vector<std::uint64_t>{300, 400}},
        {"the newer torn: the older", [](Bytes& b) { b[kDurableSlotBytes + 20] ^= 1; },
         std::vector<std::uint64_t>{100, 200}},
        {"the older torn: the newer", [](Bytes& b) { b[17] ^= 0x80; },
         std::vector<std::uint64_t>{300, 400}},
        {"both torn", [](Bytes& b) { b[3] = 0, b[kDurableSlotBytes + 3] = 0; }, std::nullopt},
        {"cut inside the newer", [](Bytes& b) { b.resize(kDurableSlotBytes + 100); },
         std::vector<std::uint64_t>{100, 200}},
        {"empty", [](Bytes& b) { b.clear(); }, std::nullopt},
        {"a stream count of 0 with a right checksum", [](Bytes& b) { b = recordOf(1, {}, 0, {}); },
         std::nullopt},
        {"a stream count of 129 with a right checksum",
         [](Bytes& b) {
             b = recordOf(1, {5}, 0, {5});
             storeLE32(b, 4, 129);
             storeLE32(b, kDurableSlotBytes + 4, 129);
         },
         std::nullopt},
        {"longer than a record: the rest ignored", [](Bytes& b) { b.insert(b.end(), 5000, 0xff); },
         std::vector<std::uint64_t>{300, 400}},
    };
    for (const Row& row : rows) {
        Bytes bytes = recordOf(7, {100, 200}, 8, {300, 400});
        row.edit(bytes);
        const auto parsed = parseDurableRecord(bytes);
        EXPECT_EQ(parsed.has_value(), row.expected.has_value()) << row.what;
        if (parsed && row.expected) {
            EXPECT_EQ(parsed->lengths, *row.expected) << row.what;
        }
    }
}

// Written in place, slot after slot, through the held root: each write replaces the older slot.
TEST(DurableRecord, WritesAlternateAndReadBack) {
    const testing::ScratchDir dir("durable");
    platform::Directory root;
    ASSERT_FALSE(root.open(dir.path()));
    testing::writeFile(dir / kDurableFileName, "left by an earlier capture");
    DurableRecord record;
    ASSERT_FALSE(record.create(root));
    for (std::uint64_t n = 1; n <= 3; ++n) {
        const std::vector<std::uint64_t> lengths = {44 * n, 88 * n, 132 * n};
        ASSERT_FALSE(record.write(lengths));
        // As the tools read it, while the capture still holds it.
        const auto read = platform::readSmallRegularFile(dir / kDurableFileName, 1 << 16);
        ASSERT_TRUE(read) << read.error().message();
        const std::string& text = *read;
        ASSERT_EQ(text.size(), kDurableFileBytes);
        const auto parsed = parseDurableRecord(
            std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
        ASSERT_TRUE(parsed);
        EXPECT_EQ(parsed->generation, n);
        EXPECT_EQ(parsed->lengths, lengths);
    }
}

} // namespace
} // namespace vaskel
