// Text as a JSON string, for the files and reports other programs read.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vaskel {

// Length of the well-formed UTF-8 sequence at `at`, 0 when there is none (a stray byte, an
// overlong form, a surrogate, a code point beyond U+10FFFF).
std::size_t utf8Length(std::string_view text, std::size_t at);

// A JSON string of `text`, quotes included; bytes that are not UTF-8 (a POSIX path or a JACK
// port name may hold any) become U+FFFD, so the document stays valid.
std::string jsonString(std::string_view text);

} // namespace vaskel
