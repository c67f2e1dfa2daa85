#include "entry/command_line.h"
#include "test_support.h"

#include <gtest/gtest.h>

namespace vaskel {
namespace {

using testing::native;

// The same words on both platforms. ASCII words read alike everywhere; other digits and white
// space count where the C library takes them in a number (Windows), not where arguments are
// bytes (POSIX).
TEST(ParseNumber, FollowsWcstoulWithThirtyTwoBitResults) {
    const std::pair<const char*, std::uint32_t> ascii[] = {
        {"0", 0},
        {"42", 42},
        {"letters", 0},
        {"", 0},
        {"-", 0},
        {"+", 0},
        {"-1", 4294967295u},
        {"-2", 4294967294u},
        {"+17", 17},
        {"   12", 12},
        {"\t\n\v\f\r 9", 9},
        {"12abc", 12},
        {"1 2", 1},
        {"4294967295", 4294967295u},
        {"4294967296", 4294967295u},
        {"99999999999", 4294967295u},
        {"-99999999999", 4294967295u},
        {"000000000000000000000000000007", 7},
        {" -4294967295", 1},
        {"0x10", 0},
    };
    for (const auto& [word, expected] : ascii) {
        SCOPED_TRACE(word);
        EXPECT_EQ(parseU32<char>(word), expected);
        const std::wstring wide(word, word + std::char_traits<char>::length(word));
        EXPECT_EQ(parseU32<wchar_t>(wide), expected);
        EXPECT_EQ(parseNumber(native(word)), expected);
    }

    struct Unicode {
        const char* utf8;
        const char16_t* utf16;
        std::uint32_t posix;
        std::uint32_t windows;
    };
    const Unicode unicode[] = {
        {"\xEF\xBC\x95\xEF\xBC\x90", u"\uFF15\uFF10", 0, 50},                       // fullwidth 50
        {"\xD9\xA5\xD9\xA0\xD9\xA0\xD9\xA0", u"\u0665\u0660\u0660\u0660", 0, 5000}, // Arabic-Indic
        {"1\xD9\xA2", u"1\u0662", 1, 12},             // an ASCII digit, then an Arabic-Indic one
        {"\xE3\x80\x80\x31\x32", u"\u300012", 0, 12}, // ideographic space, 12
        {"\xEF\xBC\x8D\xEF\xBC\x91", u"\uFF0D\uFF11", 0, 0}, // a fullwidth minus is no sign
    };
    for (const Unicode& row : unicode) {
        SCOPED_TRACE(row.utf8);
        EXPECT_EQ(parseNumber(testing::nativeText(row.utf8, row.utf16)),
                  testing::kWindowsTarget ? row.windows : row.posix);
    }
}

std::vector<platform::NativeString> words(std::initializer_list<const char*> list) {
    std::vector<platform::NativeString> result;
    for (const char* word : list) {
        result.push_back(native(word));
    }
    return result;
}

TEST(CommandLine, CapabilityQueryOnlyForTheExactWordAlone) {
    EXPECT_EQ(parseCommandLine(words({"--transport-capacity"})).kind, CommandKind::Capability);
    EXPECT_EQ(parseCommandLine(words({"--Transport-Capacity"})).kind, CommandKind::Usage);
    EXPECT_EQ(parseCommandLine(words({"--transport-capacityx"})).kind, CommandKind::Usage);
    EXPECT_EQ(parseCommandLine(words({"--transport-capacit"})).kind, CommandKind::Usage);
    const Command pair = parseCommandLine(words({"--transport-capacity", "out"}));
    EXPECT_EQ(pair.kind, CommandKind::Run);
    EXPECT_EQ(pair.settings.mappingName, native("--transport-capacity"));
    EXPECT_EQ(pair.settings.outputRoot, native("out"));
    // --help and --version are queries only alone, like the capability word.
    EXPECT_EQ(parseCommandLine(words({"--help"})).kind, CommandKind::Help);
    EXPECT_EQ(parseCommandLine(words({"--version"})).kind, CommandKind::Version);
    EXPECT_EQ(parseCommandLine(words({"--help", "out"})).kind, CommandKind::Run);
}

TEST(CommandLine, ArgumentCountAndDefaults) {
    EXPECT_EQ(parseCommandLine(words({})).kind, CommandKind::Usage);
    EXPECT_EQ(parseCommandLine(words({"map"})).kind, CommandKind::Usage);
    EXPECT_EQ(parseCommandLine(words({"a", "b", "1", "2", "3", "4"})).kind, CommandKind::Usage);
    const Command two = parseCommandLine(words({"map", "root"}));
    ASSERT_EQ(two.kind, CommandKind::Run);
    EXPECT_EQ(two.settings.delayUs, 0u);
    EXPECT_EQ(two.settings.idleTimeoutMs, 30000u);
    EXPECT_EQ(two.settings.mappingOpenTimeoutMs, 30000u);
    const Command five = parseCommandLine(words({"map", "root", "letters", "-1", "250"}));
    ASSERT_EQ(five.kind, CommandKind::Run);
    EXPECT_EQ(five.settings.delayUs, 0u);
    EXPECT_EQ(five.settings.idleTimeoutMs, 4294967295u);
    EXPECT_EQ(five.settings.mappingOpenTimeoutMs, 250u);
}

TEST(CommandLine, ZeroTimeoutsAreRejectedIdleFirst) {
    EXPECT_EQ(parseCommandLine(words({"m", "r", "0", "0"})).kind, CommandKind::IdleTimeoutInvalid);
    EXPECT_EQ(parseCommandLine(words({"m", "r", "0", "abc"})).kind,
              CommandKind::IdleTimeoutInvalid);
    EXPECT_EQ(parseCommandLine(words({"m", "r", "0", ""})).kind, CommandKind::IdleTimeoutInvalid);
    EXPECT_EQ(parseCommandLine(words({"m", "r", "0", "0", "0"})).kind,
              CommandKind::IdleTimeoutInvalid);
    EXPECT_EQ(parseCommandLine(words({"m", "r", "0", "5", "0"})).kind,
              CommandKind::MappingOpenTimeoutInvalid);
    EXPECT_EQ(parseCommandLine(words({"m", "r", "0", "5", "x"})).kind,
              CommandKind::MappingOpenTimeoutInvalid);
}

} // namespace
} // namespace vaskel
