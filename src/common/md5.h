// MD5 (RFC 1321) of a byte stream fed in pieces: what md5sum prints, so a check of a file's
// samples can be compared with the standard tool.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace vaskel {

class Md5 {
public:
    Md5();
    void update(const std::uint8_t* data, std::size_t bytes);
    // The digest of everything fed so far; the object is spent afterwards.
    std::array<std::uint8_t, 16> finish();
    // finish() as 32 lower-case hex digits.
    std::string finishHex();

private:
    void block(const std::uint8_t* data);

    std::array<std::uint32_t, 4> state_;
    std::uint64_t length_ = 0;
    std::array<std::uint8_t, 64> pending_{};
    std::size_t pendingBytes_ = 0;
};

} // namespace vaskel
