#include "common/json_text.h"

#include <cstdio>

namespace vaskel {

std::size_t utf8Length(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
    const unsigned char lead = byte(0);
    const std::size_t length = lead < 0x80   ? 1
                               : lead < 0xC2 ? 0
                               : lead < 0xE0 ? 2
                               : lead < 0xF0 ? 3
                               : lead < 0xF5 ? 4
                                             : 0;
    if (length == 0 || at + length > text.size()) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) {
            return 0;
        }
    }
    // The second byte's range rules out overlong forms, surrogates and values past U+10FFFF.
    const bool bad = (lead == 0xE0 && byte(1) < 0xA0) || (lead == 0xED && byte(1) > 0x9F) ||
                     (lead == 0xF0 && byte(1) < 0x90) || (lead == 0xF4 && byte(1) > 0x8F);
    return bad ? 0 : length;
}

std::string jsonString(std::string_view text) {
    std::string quoted = "\"";
    for (std::size_t at = 0; at < text.size();) {
        const char c = text[at];
        const std::size_t length = utf8Length(text, at);
        if (length == 0) {
            quoted += "\\ufffd";
            ++at;
            continue;
        }
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (static_cast<unsigned char>(c) < 0x20 || c == '\x7f' ||
                   (length == 2 && static_cast<unsigned char>(c) == 0xC2 &&
                    static_cast<unsigned char>(text[at + 1]) < 0xA0)) {
            // Controls, C1 (U+0080-U+009F) included, escaped: a document shown on a terminal
            // must not drive it.
            const unsigned code = length == 1 ? static_cast<unsigned char>(c)
                                              : static_cast<unsigned char>(text[at + 1]);
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", code);
            quoted += escape;
        } else {
            quoted.append(text, at, length);
        }
        at += length;
    }
    return quoted + '"';
}

} // namespace vaskel
