#include "common/md5.h"

#include <gtest/gtest.h>
#include <string>

namespace vaskel {
namespace {

// The test suite of RFC 1321, fed whole and in uneven pieces (the pieces cross the 64-byte
// blocks and the padding boundary at 56 bytes).
TEST(Md5, RfcSuiteWholeAndInPieces) {
    const std::pair<std::string, std::string> cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"1234567890123456789012345678901234567890"
         "1234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& [text, digest] : cases) {
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
        Md5 whole;
        whole.update(bytes, text.size());
        EXPECT_EQ(whole.finishHex(), digest) << text;
        Md5 pieces;
        for (std::size_t at = 0, piece = 1; at < text.size(); at += piece, piece += 7) {
            pieces.update(bytes + at, std::min(piece, text.size() - at));
        }
        EXPECT_EQ(pieces.finishHex(), digest) << text;
    }
}

} // namespace
} // namespace vaskel
