// Splitting a raw command line by the rules of Windows console programs.
#include "app/command_line.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace {

bool NoLeadBytes(unsigned char)
{
    return false;
}

// Lead bytes of Shift-JIS (code page 932), whose trail bytes include 0x5C.
bool ShiftJisLeadByte(unsigned char byte)
{
    return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

std::vector<std::string> Texts(const std::vector<CommandLineArgument>& arguments)
{
    std::vector<std::string> texts;
    for (const CommandLineArgument& argument : arguments) {
        texts.push_back(argument.text);
    }
    return texts;
}

std::string Marks(const std::vector<CommandLineArgument>& arguments)
{
    std::string marks;
    for (const CommandLineArgument& argument : arguments) {
        marks += argument.mark;
    }
    return marks;
}

struct SplitCase {
    const char* name;
    const char* line;
    std::vector<std::string> texts;  // the program name first
};

void PrintTo(const SplitCase& c, std::ostream* out)
{
    *out << c.name;
}

class SplitRules : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitRules, GivesTheArguments)
{
    EXPECT_EQ(Texts(SplitCommandLine(GetParam().line, NoLeadBytes)), GetParam().texts);
}

// The argument columns of the examples in Microsoft's description of how
// console programs parse their command line, and the corners around them.
INSTANTIATE_TEST_SUITE_P(
    CommandLine, SplitRules,
    ::testing::Values(
        SplitCase{"Whitespace", "p a  b\tc", {"p", "a", "b", "c"}},
        SplitCase{"TrailingWhitespace", "p a \t ", {"p", "a"}},
        SplitCase{"NoArguments", "p", {"p"}},
        SplitCase{"EmptyLine", "", {""}},
        SplitCase{"LeadingSpaceEndsAnEmptyProgramName", " a", {"", "a"}},
        SplitCase{"QuotesGroup", "p \"abc\" d e", {"p", "abc", "d", "e"}},
        SplitCase{"QuotedPartInsideAnArgument", "p a\\\\b d\"e f\"g h",
                  {"p", "a\\\\b", "de fg", "h"}},
        SplitCase{"OddBackslashesMakeALiteralQuote", "p a\\\\\\\"b c d",
                  {"p", "a\\\"b", "c", "d"}},
        SplitCase{"EvenBackslashesHalveAndOpenAQuote", "p a\\\\\\\\\"b c\" d e",
                  {"p", "a\\\\b c", "d", "e"}},
        SplitCase{"OneBackslashQuote", "p \\\"x", {"p", "\"x"}},
        SplitCase{"BackslashesAtTheEnd", "p a\\\\", {"p", "a\\\\"}},
        SplitCase{"DoubledQuoteInsideQuotesStaysQuoted", "p a\"b\"\" c d", {"p", "ab\" c d"}},
        SplitCase{"DoubledQuoteOutsideQuotesIsEmpty", "p \"\" x", {"p", "", "x"}},
        SplitCase{"UnclosedQuoteRunsToTheEnd", "p \"a b", {"p", "a b"}},
        SplitCase{"QuotedProgramName", "\"C:\\Program Files\\r.exe\" x",
                  {"C:\\Program Files\\r.exe", "x"}},
        SplitCase{"ProgramNameBackslashesAreOrdinary", "\"C:\\d\\\"x y",
                  {"C:\\d\\x", "y"}},
        SplitCase{"ProgramNameHasNoEscapes", "a\\\"b c\" d", {"a\\b c", "d"}}),
    [](const ::testing::TestParamInfo<SplitCase>& info) { return std::string(info.param.name); });

TEST(CommandLine, MarkIsTheFirstRawByte)
{
    const auto arguments =
        SplitCommandLine("\"p\" \"*.m2v\" *.m2v \\\"x \"a\"b a\"*\" \"\"", NoLeadBytes);
    EXPECT_EQ(Texts(arguments),
              (std::vector<std::string>{"p", "*.m2v", "*.m2v", "\"x", "ab", "a*", ""}));
    EXPECT_EQ(Marks(arguments), "\"\"*\\\"a\"");
}

TEST(CommandLine, QuotesBeginningLaterDoNotMarkTheArgument)
{
    // The text is the same pattern either way; only the mark differs.
    const auto arguments = SplitCommandLine("p dir\\\\\"*.m2v\" \"my dir\"\\*.m2v", NoLeadBytes);
    EXPECT_EQ(Texts(arguments), (std::vector<std::string>{"p", "dir\\*.m2v", "my dir\\*.m2v"}));
    EXPECT_EQ(Marks(arguments), "pd\"");
}

TEST(CommandLine, TrailByteIsNeverABackslashQuoteOrSpace)
{
    // 0x95 0x5C is one character: its trail byte does not escape the quote
    // after it, which therefore opens a quoted part.
    const auto arguments = SplitCommandLine("p \x95\x5C\"a b\" c", ShiftJisLeadByte);
    EXPECT_EQ(Texts(arguments), (std::vector<std::string>{"p", "\x95\x5C" "a b", "c"}));
    // Without the lead-byte test the same bytes are a backslash and a quote.
    EXPECT_EQ(Texts(SplitCommandLine("p \x95\x5C\"a b\" c", NoLeadBytes)),
              (std::vector<std::string>{"p", "\x95\"a", "b c"}));
}

TEST(CommandLine, TrailByteInTheProgramName)
{
    // 0x81 0x20 is not a Shift-JIS character, but a lead byte always takes
    // the byte after it: the space does not end the program name.
    EXPECT_EQ(Texts(SplitCommandLine("p\x81 q r", ShiftJisLeadByte)),
              (std::vector<std::string>{"p\x81 q", "r"}));
}

TEST(CommandLine, LeadByteAtTheEndOfTheLine)
{
    EXPECT_EQ(Texts(SplitCommandLine("p a\x95", ShiftJisLeadByte)),
              (std::vector<std::string>{"p", "a\x95"}));
}

}  // namespace
