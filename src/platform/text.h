// Text as the system takes it: the native form of names, paths and arguments (UTF-16 on Windows,
// bytes on POSIX), and one reading of command-line numbers on every platform.
#pragma once

#include "platform/error.h"

#include <string>
#include <string_view>

#ifdef _WIN32
// The programs take wide arguments on Windows (linked with -municode).
#define VASKEL_MAIN wmain
#else
#define VASKEL_MAIN main
#endif

namespace vaskel::platform {

#ifdef _WIN32
using NativeChar = wchar_t;
#else
// On POSIX the command line is bytes; names and paths are used and echoed as given.
using NativeChar = char;
#endif
using NativeString = std::basic_string<NativeChar>;
using NativeStringView = std::basic_string_view<NativeChar>;

// Widens plain ASCII text (names this program makes itself) to the native form.
NativeString nativeFromAscii(std::string_view ascii);

// Converts UTF-8 text that the caller has checked to be well formed to the native form
// (Windows: UTF-16; POSIX: the bytes unchanged). The system's reason when it refuses.
[[nodiscard]] ErrorOr<NativeString> nativeFromUtf8(std::string_view utf8);

// A command-line number word in ASCII, for one reading of numbers on every platform: the other
// decimal digits and white space that this platform's C library takes in a number become their
// ASCII forms, any other character outside ASCII a '?'. Windows: the characters Windows' wcstoul
// takes ("５０" reads 50). POSIX: arguments are bytes, returned as they are.
std::string asciiNumberWord(const NativeString& word);

} // namespace vaskel::platform
