#include "entry/command_line.h"
#include "test_support.h"

#include <gtest/gtest.h>

namespace vaskel {
namespace {

using testing::native;

TEST(ParseU32, FollowsWcstoulWithThirtyTwoBitResults) {
    const std::pair<const char*, std::uint32_t> cases[] = {
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
    for (const auto& [word, expected] : cases) {
        SCOPED_TRACE(word);
        EXPECT_EQ(parseU32<char>(word), expected);
        const std::wstring wide(word, word + std::char_traits<char>::length(word));
        EXPECT_EQ(parseU32<wchar_t>(wide), expected);
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
