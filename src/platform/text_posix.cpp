#include "platform/text.h"

namespace vaskel::platform {

NativeString nativeFromAscii(std::string_view ascii) {
    return NativeString(ascii);
}

ErrorOr<NativeString> nativeFromUtf8(std::string_view utf8) {
    return NativeString(utf8);
}

std::string asciiNumberWord(const NativeString& word) {
    return word;
}

} // namespace vaskel::platform
