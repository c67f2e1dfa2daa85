#include "platform/text.h"
#include "platform/win32_api.h"

#include <cwchar>

namespace vaskel::platform {

NativeString nativeFromAscii(std::string_view ascii) {
    return NativeString(ascii.begin(), ascii.end());
}

ErrorOr<NativeString> nativeFromUtf8(std::string_view utf8) {
    if (utf8.empty()) {
        return NativeString();
    }
    const int length = static_cast<int>(utf8.size());
    const int wide =
        ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), length, nullptr, 0);
    if (wide <= 0) {
        return lastSystemError();
    }
    NativeString converted(static_cast<std::size_t>(wide), L'\0');
    if (::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), length, converted.data(),
                              wide) != wide) {
        return lastSystemError();
    }
    return converted;
}

std::string asciiNumberWord(const NativeString& word) {
    // wcstoul itself decides, one character at a time, which characters are digits and white
    // space; the arithmetic stays with the caller, because the C libraries disagree on a negative
    // word beyond 32 bits: Wine's negates the saturated value ("-99999999999" gives 1) where the
    // rule gives 4294967295.
    std::string ascii;
    ascii.reserve(word.size());
    for (const wchar_t c : word) {
        if (c < 0x80) {
            ascii += static_cast<char>(c);
            continue;
        }
        wchar_t* end = nullptr;
        const wchar_t alone[] = {c, L'\0'};
        const unsigned long digit = std::wcstoul(alone, &end, 10);
        if (end == alone + 1) {
            ascii += static_cast<char>('0' + digit);
            continue;
        }
        const wchar_t beforeOne[] = {c, L'1', L'\0'};
        std::wcstoul(beforeOne, &end, 10);
        ascii += end == beforeOne + 2 ? ' ' : '?'; // skipped as white space, or not a number
    }
    return ascii;
}

} // namespace vaskel::platform
