// Splitting a raw command line by the rules of Windows console programs.
#include "app/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using List = std::vector<std::string>;

// Lead bytes of Shift-JIS (code page 932), whose trail bytes include 0x5C
// and 0x22.
bool ShiftJisLeadByte(unsigned char byte)
{
    return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

struct SplitCase {
    const char* name;
    const char* line;
    List texts;  // the program name first
};

class SplitRules : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitRules, GivesTheArguments)
{
    List texts;
    for (const auto& argument : SplitCommandLine(GetParam().line, ShiftJisLeadByte)) {
        texts.push_back(argument.text);
    }
    EXPECT_EQ(texts, GetParam().texts);
}

// The argument columns of the examples in Microsoft's description of how
// console programs parse their command line, and the corners around them.
INSTANTIATE_TEST_SUITE_P(
    CommandLine, SplitRules,
    ::testing::Values(
        SplitCase{"Whitespace", "p a  b\tc \t ", {"p", "a", "b", "c"}},
        SplitCase{"EmptyLine", "", {""}},
        SplitCase{"LeadingSpaceEndsAnEmptyProgramName", " a", {"", "a"}},
        SplitCase{"QuotesGroup", "p \"abc\" d e", {"p", "abc", "d", "e"}},
        SplitCase{"QuotedPartInsideAnArgument", "p a\\\\b d\"e f\"g h",
                  {"p", "a\\\\b", "de fg", "h"}},
        SplitCase{"OddBackslashesMakeALiteralQuote", "p a\\\\\\\"b c d",
                  {"p", "a\\\"b", "c", "d"}},
        SplitCase{"EvenBackslashesHalveAndOpenAQuote", "p a\\\\\\\\\"b c\" d e",
                  {"p", "a\\\\b c", "d", "e"}},
        SplitCase{"BackslashesAtTheEnd", "p a\\\\", {"p", "a\\\\"}},
        SplitCase{"DoubledQuoteInsideQuotesStaysQuoted", "p a\"b\"\" c d", {"p", "ab\" c d"}},
        SplitCase{"DoubledQuoteOutsideQuotesIsEmpty", "p \"\" x", {"p", "", "x"}},
        SplitCase{"UnclosedQuoteRunsToTheEnd", "p \"a b", {"p", "a b"}},
        SplitCase{"QuotedProgramName", "\"C:\\Program Files\\r.exe\" x",
                  {"C:\\Program Files\\r.exe", "x"}},
        SplitCase{"ProgramNameHasNoEscapes", "a\\\"b c\" d", {"a\\b c", "d"}},
        // 0x95 0x5C is one character: its trail byte does not escape the
        // quote after it, which therefore opens a quoted part.
        SplitCase{"TrailByteIsNoBackslash", "p \x95\x5C\"a b\" c", {"p", "\x95\x5C" "a b", "c"}},
        // 0x81 0x20 is no valid character, but a lead byte always takes the
        // byte after it: the space does not end the program name.
        SplitCase{"TrailByteIsNoSpace", "p\x81 q r", {"p\x81 q", "r"}},
        SplitCase{"LeadByteAtTheEndOfTheLine", "p a\x95", {"p", "a\x95"}}),
    [](const ::testing::TestParamInfo<SplitCase>& info) { return std::string(info.param.name); });

TEST(CommandLine, MarkIsTheFirstRawByte)
{
    std::string marks;
    for (const CommandLineArgument& argument :
         SplitCommandLine("\"p\" \"*.m2v\" *.m2v \\\"x a\"*\" \"\" d\\\\\"*\"", ShiftJisLeadByte)) {
        marks += argument.mark;
    }
    EXPECT_EQ(marks, "\"\"*\\a\"d");
}

}  // namespace
