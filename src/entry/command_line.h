// The renderer's command line:
//   vaskel_renderer --transport-capacity | --help | --version
//   vaskel_renderer <mapping-name> <output-root> [delay-us] [idle-timeout-ms]
//                   [mapping-open-timeout-ms]
#pragma once

#include "platform/text.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vaskel {

// The renderer's exit codes.
enum class ExitCode : int {
    Success = 0,        // capability answered, or capture completed
    BadCommandLine = 2, // usage, or a zero timeout
    NotAttached = 3,    // no region attached before the mapping-open deadline
    CaptureFailed = 4,  // the capture ended with a failure code
    Interrupted = 130,  // stopped by Ctrl-C or a termination signal, as a shell reports it
};

// The one-line JSON answer to --transport-capacity: the protocol version attach accepts and the
// largest stream count.
std::string capabilityAnswer();
inline constexpr std::string_view kUsageLine =
    "usage: vaskel_renderer <mapping-name> <output-root> [delay-us] [idle-timeout-ms] "
    "[mapping-open-timeout-ms]\n";
// The answer to --help, on standard output; the man page is made from it.
std::string helpText();
// The answer to --version: "vaskel_renderer <version>".
std::string versionText();

// Parses a number the way wcstoul does in base 10 with a 32-bit unsigned long, whatever the
// platform's own width: leading white space skipped, an optional sign, digits up to the first
// non-digit (the rest ignored); no digits gives 0, a value beyond 32 bits 4294967295, and a minus
// negates modulo 2^32.
template <typename Char> [[nodiscard]] std::uint32_t parseU32(std::basic_string_view<Char> word) {
    std::size_t i = 0;
    auto isSpace = [](Char c) {
        return c == Char(' ') || c == Char('\t') || c == Char('\n') || c == Char('\v') ||
               c == Char('\f') || c == Char('\r');
    };
    while (i < word.size() && isSpace(word[i])) {
        ++i;
    }
    bool negative = false;
    if (i < word.size() && (word[i] == Char('+') || word[i] == Char('-'))) {
        negative = word[i] == Char('-');
        ++i;
    }
    std::uint64_t value = 0;
    bool overflow = false;
    bool anyDigit = false;
    for (; i < word.size() && word[i] >= Char('0') && word[i] <= Char('9'); ++i) {
        anyDigit = true;
        if (!overflow) {
            value = value * 10 + static_cast<std::uint64_t>(word[i] - Char('0'));
            overflow = value > 0xFFFFFFFFull;
        }
    }
    if (!anyDigit) {
        return 0;
    }
    if (overflow) {
        return 0xFFFFFFFFu;
    }
    const auto result = static_cast<std::uint32_t>(value);
    return negative ? static_cast<std::uint32_t>(0u - result) : result;
}

// A number of the command line, read by parseU32 with the digits and white space that the
// platform's C library takes (on Windows also "５０" or "٥٠", which wcstoul reads as 50).
[[nodiscard]] std::uint32_t parseNumber(const platform::NativeString& word);

struct RunSettings {
    platform::NativeString mappingName;
    platform::NativeString outputRoot;
    std::uint32_t delayUs = 0;
    std::uint32_t idleTimeoutMs = 30000;
    std::uint32_t mappingOpenTimeoutMs = 30000;
};

enum class CommandKind {
    Capability,
    Help,
    Version,
    Usage,
    IdleTimeoutInvalid,
    MappingOpenTimeoutInvalid,
    Run
};

struct Command {
    CommandKind kind = CommandKind::Usage;
    RunSettings settings;
};

// `arguments` are the words after the program name.
[[nodiscard]] Command parseCommandLine(const std::vector<platform::NativeString>& arguments);

} // namespace vaskel
