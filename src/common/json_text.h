// Text as a JSON string, for the files and reports other programs read, and the unsigned
// integers of the files this system reads back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <type_traits>

namespace vaskel {

// Length of the well-formed UTF-8 sequence at `at`, 0 when there is none (a stray byte, an
// overlong form, a surrogate, a code point beyond U+10FFFF).
std::size_t utf8Length(std::string_view text, std::size_t at);

// A JSON string of `text`, quotes included; bytes that are not UTF-8 (a POSIX path or a JACK
// port name may hold any) become U+FFFD, so the document stays valid. Control characters (C0,
// DEL and C1) are escaped, so none reaches a terminal that shows the document.
std::string jsonString(std::string_view text);

// Reads the JSON integer at the front of `text` into `value` and moves `text` past it: digits
// only (no sign, fraction, exponent or leading zero). A number past the field's range is
// refused, never read modulo 2^32 or 2^64.
template <typename Field> bool takeJsonUnsigned(std::string_view& text, Field& value) {
    static_assert(std::is_unsigned_v<Field>);
    std::uint64_t parsed = 0;
    std::size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') {
        const auto digit = static_cast<std::uint64_t>(text[digits] - '0');
        if (parsed > (std::numeric_limits<Field>::max() - digit) / 10) {
            return false;
        }
        parsed = parsed * 10 + digit;
        ++digits;
    }
    const bool more =
        digits < text.size() && (text[digits] == '.' || text[digits] == 'e' || text[digits] == 'E');
    if (digits == 0 || (digits > 1 && text[0] == '0') || more) {
        return false;
    }
    value = static_cast<Field>(parsed);
    text.remove_prefix(digits);
    return true;
}

} // namespace vaskel
