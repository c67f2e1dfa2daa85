// Little-endian fields: the one place where a value is split into bytes or joined from them, so
// the files and digests this system writes read the same whatever the host's byte order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace vaskel {

// Stores the low `field.size()` bytes of `value`, least significant first.
constexpr void storeLittleEndian(std::span<std::uint8_t> field, std::uint64_t value) {
    for (std::uint8_t& byte : field) {
        byte = static_cast<std::uint8_t>(value);
        value >>= 8;
    }
}

// The value of up to 8 bytes, least significant first.
constexpr std::uint64_t loadLittleEndian(std::span<const std::uint8_t> field) {
    std::uint64_t value = 0;
    for (std::size_t i = field.size(); i-- > 0;) {
        value = value << 8 | field[i];
    }
    return value;
}

// Fixed-width fields at byte offset `at`; the caller keeps `at` + width within `bytes`.
constexpr void storeLE16(std::span<std::uint8_t> bytes, std::size_t at, std::uint16_t value) {
    storeLittleEndian(bytes.subspan(at, 2), value);
}

constexpr void storeLE32(std::span<std::uint8_t> bytes, std::size_t at, std::uint32_t value) {
    storeLittleEndian(bytes.subspan(at, 4), value);
}

constexpr void storeLE64(std::span<std::uint8_t> bytes, std::size_t at, std::uint64_t value) {
    storeLittleEndian(bytes.subspan(at, 8), value);
}

constexpr std::uint16_t loadLE16(std::span<const std::uint8_t> bytes, std::size_t at) {
    return static_cast<std::uint16_t>(loadLittleEndian(bytes.subspan(at, 2)));
}

constexpr std::uint32_t loadLE32(std::span<const std::uint8_t> bytes, std::size_t at) {
    return static_cast<std::uint32_t>(loadLittleEndian(bytes.subspan(at, 4)));
}

constexpr std::uint64_t loadLE64(std::span<const std::uint8_t> bytes, std::size_t at) {
    return loadLittleEndian(bytes.subspan(at, 8));
}

} // namespace vaskel
