#include "common/md5.h"

#include "common/byte_order.h"

#include <algorithm>
#include <cstring>

namespace vaskel {

namespace {

constexpr std::uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

constexpr std::uint32_t rotateLeft(std::uint32_t value, int bits) {
    return (value << bits) | (value >> (32 - bits));
}

} // namespace

Md5::Md5() : state_{0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476} {}

// One step of a round: a += f(b, c, d) + m[g] + K[i], rotated, plus b. Written out per round so
// the compiler sees constant indices and shifts (hashing runs at the speed of the disk read).
template <typename F>
inline void step(F f, std::uint32_t& a, std::uint32_t b, std::uint32_t c, std::uint32_t d,
                 std::uint32_t m, std::uint32_t k, int shift) {
    a = b + rotateLeft(a + f(b, c, d) + m + k, shift);
}

void Md5::block(const std::uint8_t* data) {
    const std::span<const std::uint8_t> bytes(data, 64);
    std::uint32_t m[16];
    for (std::size_t i = 0; i < 16; ++i) {
        m[i] = loadLE32(bytes, 4 * i);
    }
    const auto f = [](std::uint32_t b, std::uint32_t c, std::uint32_t d) {
        return d ^ (b & (c ^ d));
    };
    const auto g = [](std::uint32_t b, std::uint32_t c, std::uint32_t d) {
        return c ^ (d & (b ^ c));
    };
    const auto h = [](std::uint32_t b, std::uint32_t c, std::uint32_t d) { return b ^ c ^ d; };
    const auto i = [](std::uint32_t b, std::uint32_t c, std::uint32_t d) { return c ^ (b | ~d); };
    std::uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
    for (int r = 0; r < 16; r += 4) {
        step(f, a, b, c, d, m[r], kSine[r], 7);
        step(f, d, a, b, c, m[r + 1], kSine[r + 1], 12);
        step(f, c, d, a, b, m[r + 2], kSine[r + 2], 17);
        step(f, b, c, d, a, m[r + 3], kSine[r + 3], 22);
    }
    for (int r = 16; r < 32; r += 4) {
        step(g, a, b, c, d, m[(5 * r + 1) % 16], kSine[r], 5);
        step(g, d, a, b, c, m[(5 * r + 6) % 16], kSine[r + 1], 9);
        step(g, c, d, a, b, m[(5 * r + 11) % 16], kSine[r + 2], 14);
        step(g, b, c, d, a, m[(5 * r + 16) % 16], kSine[r + 3], 20);
    }
    for (int r = 32; r < 48; r += 4) {
        step(h, a, b, c, d, m[(3 * r + 5) % 16], kSine[r], 4);
        step(h, d, a, b, c, m[(3 * r + 8) % 16], kSine[r + 1], 11);
        step(h, c, d, a, b, m[(3 * r + 11) % 16], kSine[r + 2], 16);
        step(h, b, c, d, a, m[(3 * r + 14) % 16], kSine[r + 3], 23);
    }
    for (int r = 48; r < 64; r += 4) {
        step(i, a, b, c, d, m[(7 * r) % 16], kSine[r], 6);
        step(i, d, a, b, c, m[(7 * r + 7) % 16], kSine[r + 1], 10);
        step(i, c, d, a, b, m[(7 * r + 14) % 16], kSine[r + 2], 15);
        step(i, b, c, d, a, m[(7 * r + 21) % 16], kSine[r + 3], 21);
    }
    state_[0] += a;
    state_[1] += b;
    state_[2] += c;
    state_[3] += d;
}

void Md5::update(const std::uint8_t* data, std::size_t bytes) {
    length_ += bytes;
    if (pendingBytes_ > 0) {
        const std::size_t take = std::min(bytes, pending_.size() - pendingBytes_);
        std::memcpy(pending_.data() + pendingBytes_, data, take);
        pendingBytes_ += take;
        data += take;
        bytes -= take;
        if (pendingBytes_ < pending_.size()) {
            return;
        }
        block(pending_.data());
        pendingBytes_ = 0;
    }
    for (; bytes >= 64; data += 64, bytes -= 64) {
        block(data);
    }
    std::memcpy(pending_.data(), data, bytes);
    pendingBytes_ = bytes;
}

std::array<std::uint8_t, 16> Md5::finish() {
    const std::uint64_t bits = length_ * 8;
    std::uint8_t tail[72] = {0x80};
    const std::size_t padding = (pendingBytes_ < 56 ? 56 : 120) - pendingBytes_;
    storeLE64(tail, padding, bits);
    update(tail, padding + 8);
    std::array<std::uint8_t, 16> digest{};
    for (std::size_t i = 0; i < 4; ++i) {
        storeLE32(digest, 4 * i, state_[i]);
    }
    return digest;
}

std::string Md5::finishHex() {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    for (std::uint8_t byte : finish()) {
        text += kHex[byte >> 4];
        text += kHex[byte & 15];
    }
    return text;
}

} // namespace vaskel
