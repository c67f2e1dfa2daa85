// Fuzzes the command line: the input, split at NUL bytes, is the list of words after the program
// name. Every number word is also checked against the C library's own strtoull, narrowed the way
// a 32-bit wcstoul narrows, and the wide parser (the Windows build's) must agree with the narrow
// one on the same characters.
#include "entry/command_line.h"
#include "fuzz_check.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using namespace vaskel;

// wcstoul with a 32-bit unsigned long, from strtoull: the same skipping, sign and digits; a
// magnitude beyond 32 bits saturates, a minus negates modulo 2^32.
std::uint32_t reference(const std::string& word) {
    const char* text = word.c_str();
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text, &end, 10);
    if (end == text) {
        return 0;
    }
    const bool overflow = errno == ERANGE;
    const char* first = text;
    while (*first == ' ' || (*first >= '\t' && *first <= '\r')) {
        ++first;
    }
    const bool negative = *first == '-';
    const unsigned long long magnitude = negative ? 0ull - value : value;
    if (overflow || magnitude > 0xFFFFFFFFull) {
        return 0xFFFFFFFFu;
    }
    const auto narrow = static_cast<std::uint32_t>(magnitude);
    return negative ? 0u - narrow : narrow;
}

std::uint32_t parsed(const std::string& word) {
    const std::uint32_t narrow = parseU32<char>(word);
    std::wstring wide;
    for (const char c : word) {
        wide += static_cast<wchar_t>(static_cast<unsigned char>(c));
    }
    FUZZ_CHECK(parseU32<wchar_t>(wide) == narrow);
    FUZZ_CHECK(narrow == reference(word));
    return narrow;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<platform::NativeString> words(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            words.emplace_back();
        } else {
            words.back() += static_cast<char>(data[i]);
        }
    }
    if (size == 0) {
        words.clear();
    }
    for (const std::string& word : words) {
        parsed(word);
    }

    const Command command = parseCommandLine(words);
    const std::size_t n = words.size();
    if (n == 1 && words[0] == "--transport-capacity") {
        FUZZ_CHECK(command.kind == CommandKind::Capability);
        return 0;
    }
    // The two queries a tool answers, each only as the sole word.
    if (n == 1 && (words[0] == "--help" || words[0] == "--version")) {
        FUZZ_CHECK(command.kind ==
                   (words[0] == "--help" ? CommandKind::Help : CommandKind::Version));
        return 0;
    }
    if (n < 2 || n > 5) {
        FUZZ_CHECK(command.kind == CommandKind::Usage);
        return 0;
    }
    const std::uint32_t idle = n > 3 ? parsed(words[3]) : 30000;
    const std::uint32_t open = n > 4 ? parsed(words[4]) : 30000;
    if (idle == 0) {
        FUZZ_CHECK(command.kind == CommandKind::IdleTimeoutInvalid);
    } else if (open == 0) {
        FUZZ_CHECK(command.kind == CommandKind::MappingOpenTimeoutInvalid);
    } else {
        FUZZ_CHECK(command.kind == CommandKind::Run);
        const RunSettings& settings = command.settings;
        FUZZ_CHECK(settings.mappingName == words[0]);
        FUZZ_CHECK(settings.outputRoot == words[1]);
        FUZZ_CHECK(settings.delayUs == (n > 2 ? parsed(words[2]) : 0));
        FUZZ_CHECK(settings.idleTimeoutMs == idle);
        FUZZ_CHECK(settings.mappingOpenTimeoutMs == open);
    }
    return 0;
}
