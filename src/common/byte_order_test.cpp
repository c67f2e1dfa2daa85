#include "common/byte_order.h"

#include <algorithm>
#include <array>
#include <gtest/gtest.h>
#include <vector>

namespace vaskel {
namespace {

// Usable where a header is built at compile time.
static_assert(loadLE32(std::array<std::uint8_t, 4>{0x78, 0x56, 0x34, 0x12}, 0) == 0x12345678);

// Each field as its bytes must appear in a file, written out by hand. Stored at an odd offset
// into a filled buffer: the bytes around the field must stay untouched.
TEST(ByteOrder, FieldsStoreAndLoadLeastSignificantByteFirst) {
    struct Field {
        std::size_t width;
        std::uint64_t value;
        std::vector<std::uint8_t> bytes;
    };
    const std::vector<Field> fields = {
        {2, 0x0003, {0x03, 0x00}},
        {2, 0xBEEF, {0xEF, 0xBE}},
        {4, 48000, {0x80, 0xBB, 0x00, 0x00}},
        {4, 0xFFFFFFFF, {0xFF, 0xFF, 0xFF, 0xFF}},
        {4, 0x12345678, {0x78, 0x56, 0x34, 0x12}},
        {8, 0x0102030405060708, {0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01}},
        {8, 0x8000000000000001, {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80}},
    };
    constexpr std::size_t kAt = 3;
    for (const Field& field : fields) {
        SCOPED_TRACE(::testing::Message()
                     << field.width << " bytes, 0x" << std::hex << field.value);
        std::array<std::uint8_t, 16> buffer;
        buffer.fill(0xA5);
        switch (field.width) {
        case 2:
            storeLE16(buffer, kAt, static_cast<std::uint16_t>(field.value));
            EXPECT_EQ(loadLE16(buffer, kAt), field.value);
            break;
        case 4:
            storeLE32(buffer, kAt, static_cast<std::uint32_t>(field.value));
            EXPECT_EQ(loadLE32(buffer, kAt), field.value);
            break;
        default:
            storeLE64(buffer, kAt, field.value);
            EXPECT_EQ(loadLE64(buffer, kAt), field.value);
        }
        std::vector<std::uint8_t> expected(16, 0xA5);
        std::copy(field.bytes.begin(), field.bytes.end(), expected.begin() + kAt);
        EXPECT_EQ(std::vector<std::uint8_t>(buffer.begin(), buffer.end()), expected);

        // The width-free forms agree, and keep only the low bytes.
        std::vector<std::uint8_t> free(field.width);
        storeLittleEndian(free, field.value | ~std::uint64_t{0} << (8 * field.width - 1) << 1);
        EXPECT_EQ(free, field.bytes);
        EXPECT_EQ(loadLittleEndian(field.bytes), field.value);
    }
}

} // namespace
} // namespace vaskel
