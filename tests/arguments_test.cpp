// Wildcard expansion of the argument list, over a fake directory search and
// fake code pages.
#include "app/arguments.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace {

using List = std::vector<std::string>;

// --- the fake directory search ---------------------------------------------------
// The search yields gFound[pattern] in its order; any other pattern finds
// nothing. One search at a time, as the expansion makes them.

std::map<std::string, List> gFound;
const List* gNames = nullptr;
std::size_t gNext = 0;
int gOpenSearches = 0;

bool FakeNext(void*, std::string& name)
{
    if (gNext == gNames->size()) {
        return false;
    }
    name = (*gNames)[gNext++];
    return true;
}

bool FakeFirst(const char* pattern, void*& handle, std::string& name)
{
    const auto found = gFound.find(pattern);
    if (found == gFound.end() || found->second.empty()) {
        return false;
    }
    ++gOpenSearches;
    gNames = &found->second;
    gNext = 0;
    handle = &gNext;
    return FakeNext(handle, name);
}

void FakeClose(void*)
{
    --gOpenSearches;
}

constexpr DirectorySearch kFakeSearch{FakeFirst, FakeNext, FakeClose};

// --- fake code pages -------------------------------------------------------------

bool NoLeadBytes(unsigned char)
{
    return false;
}

// A code page like 1252: single bytes only, and no case mapped through the
// code page (only A..Z, by the program itself).
constexpr CodePage kSingleByte{false, NoLeadBytes, nullptr, nullptr};

// A code page like 932 (Shift-JIS).
bool ShiftJisLeadByte(unsigned char byte)
{
    return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

unsigned char ShiftJisLower(unsigned char byte)
{
    return byte >= 'A' && byte <= 'Z' ? static_cast<unsigned char>(byte - 'A' + 'a') : byte;
}

// Full-width Latin letters: upper case 0x8260..0x8279, lower case
// 0x8281..0x829A. The character 0x9FFC stands for one that cannot be mapped.
constexpr uint16_t kFullWidthUpperA = 0x8260;
constexpr uint16_t kFullWidthLowerA = 0x8281;
constexpr uint16_t kFullWidthLetters = 26;
constexpr uint16_t kUnmappable = 0x9FFC;

bool ShiftJisUpper(uint16_t character, uint16_t& upper)
{
    const bool lower =
        character >= kFullWidthLowerA && character < kFullWidthLowerA + kFullWidthLetters;
    upper = lower ? static_cast<uint16_t>(character - kFullWidthLowerA + kFullWidthUpperA)
                  : character;
    return character != kUnmappable;
}

constexpr CodePage kShiftJis{true, ShiftJisLeadByte, ShiftJisLower, ShiftJisUpper};

// Some of its characters, as bytes.
#define FW_UPPER_A "\x82\x60"
#define FW_UPPER_B "\x82\x61"
#define FW_LOWER_A "\x82\x81"
#define HALF_WIDTH_KATAKANA_A "\xB1"
#define UNMAPPABLE "\x9F\xFC"
#define TABLE_WITH_5C_TRAIL "\x95\x5C"  // 0x5C, as a trail byte, is no backslash

// --- helpers ---------------------------------------------------------------------

class Expand : public ::testing::Test {
protected:
    void SetUp() override { gFound.clear(); }
    void TearDown() override { EXPECT_EQ(gOpenSearches, 0) << "a search was not closed"; }

    // Expands the arguments after the program name "ratefold" and returns
    // them. A text beginning with a double quote stands for an argument whose
    // mark is that quote (the quote itself is not part of the text); any other
    // has its first byte as its mark.
    static List Run(const List& typed, const CodePage& codePage = kSingleByte)
    {
        std::vector<CommandLineArgument> arguments{{"ratefold", '"'}};
        for (const std::string& text : typed) {
            const bool quoted = text[0] == '"';
            arguments.push_back({quoted ? text.substr(1) : text, text[0]});
        }
        List list = ExpandArguments(arguments, kFakeSearch, codePage);
        EXPECT_EQ(list.at(0), "ratefold");
        list.erase(list.begin());
        return list;
    }
};

// --- which arguments are patterns, and their directory part ----------------------
// Each pattern finds one entry, "a.m2v": an argument taken as it is comes out
// unchanged, one that is searched comes out as its directory part + a.m2v.

struct PatternCase {
    const char* name;
    const char* argument;
    const char* result;
};

class Patterns : public Expand, public ::testing::WithParamInterface<PatternCase> {};

TEST_P(Patterns, SearchTheWholeArgumentAndPrefixTheDirectoryPart)
{
    const std::string argument = GetParam().argument;
    gFound[argument[0] == '"' ? argument.substr(1) : argument] = {"a.m2v"};
    EXPECT_EQ(Run({argument}, kShiftJis), List{GetParam().result});
}

INSTANTIATE_TEST_SUITE_P(
    Expand, Patterns,
    ::testing::Values(
        PatternCase{"NoWildcard", "dir\\b.m2v", "dir\\b.m2v"},
        PatternCase{"BracketsAreNoWildcard", "[x].m2v", "[x].m2v"},
        PatternCase{"Star", "*.m2v", "a.m2v"},
        PatternCase{"QuestionMark", "clip?.m2v", "a.m2v"},
        PatternCase{"QuoteMarkKeepsItAsTyped", "\"*.m2v", "*.m2v"},
        // 0x81 0x3F is no valid character, but a lead byte always takes the
        // next byte with it: the '?' is a trail byte.
        PatternCase{"TrailByteIsNoWildcard", "\x81?.m2v", "\x81?.m2v"},
        PatternCase{"Backslash", "sub\\*.m2v", "sub\\a.m2v"},
        PatternCase{"RootBackslash", "\\*.m2v", "\\a.m2v"},
        PatternCase{"Slash", "sub/*.m2v", "sub/a.m2v"},
        PatternCase{"DirectoryPartAsTyped", "..\\SuB/x\\?.m2v", "..\\SuB/x\\a.m2v"},
        PatternCase{"DriveColon", "C:*.m2v", "C:a.m2v"},
        PatternCase{"OtherColonLeavesItUnexpanded", "ab:*.m2v", "ab:*.m2v"},
        PatternCase{"ColonAtTheFirstByte", ":*.m2v", ":*.m2v"},
        PatternCase{"NearestSeparatorIsASecondColon", "C:x:*.m2v", "C:x:*.m2v"},
        PatternCase{"BackslashAfterAColon", "ab:c\\*.m2v", "ab:c\\a.m2v"},
        PatternCase{"SeparatorAfterTheWildcardDoesNotCount", "d*:x", "a.m2v"},
        PatternCase{"TrailByte5CIsNoBackslash", "x" TABLE_WITH_5C_TRAIL "*.m2v", "a.m2v"},
        PatternCase{"BackslashAfterATwoByteCharacter", TABLE_WITH_5C_TRAIL "\\*.m2v",
                    TABLE_WITH_5C_TRAIL "\\a.m2v"}),
    [](const ::testing::TestParamInfo<PatternCase>& info) { return std::string(info.param.name); });

// --- what a search adds, and where -------------------------------------------------

TEST_F(Expand, DotEntriesAreLeftOutAndNoMatchKeepsThePattern)
{
    gFound["sub\\*"] = {".", "a", "..", ".x"};
    gFound["*."] = {".", ".."};
    EXPECT_EQ(Run({"sub\\*", "*.x", "*."}), (List{"sub\\.x", "sub\\a", "*.x", "*."}));
}

TEST_F(Expand, EachRunIsSortedInItsOwnPlace)
{
    // The second pattern's matches sort before the first's, but stay after them.
    gFound["y*"] = {"yb", "ya"};
    gFound["a*"] = {"ab", "aa"};
    EXPECT_EQ(Run({"z", "y*", "b", "a*", "0"}), (List{"z", "ya", "yb", "b", "aa", "ab", "0"}));
}

// --- sorting a run -----------------------------------------------------------------

struct SortCase {
    const char* name;
    const CodePage* codePage;
    List found;  // in the order the search yields them
    List sorted;
};

class Sort : public Expand, public ::testing::WithParamInterface<SortCase> {};

TEST_P(Sort, SortsTheRun)
{
    gFound["*"] = GetParam().found;
    EXPECT_EQ(Run({"*"}, *GetParam().codePage), GetParam().sorted);
}

INSTANTIATE_TEST_SUITE_P(
    Expand, Sort,
    ::testing::Values(
        // Single-byte code page: bytes as unsigned values, only A..Z mapped to a..z.
        SortCase{"IgnoresCase", &kSingleByte, {"b.m2v", "A.m2v", "c.m2v"},
                 {"A.m2v", "b.m2v", "c.m2v"}},
        // Equal under case folding: the exchanges decide.
        SortCase{"EqualNamesInExchangeOrder", &kSingleByte, {"B", "b", "a"}, {"a", "b", "B"}},
        SortCase{"UnderscoreBeforeLetters", &kSingleByte, {"Zeta", "alpha", "_x", "Alpha_"},
                 {"_x", "alpha", "Alpha_", "Zeta"}},
        SortCase{"DigitsAsBytes", &kSingleByte, {"9.m2v", "10.m2v"}, {"10.m2v", "9.m2v"}},
        SortCase{"PrefixFirst", &kSingleByte, {"ab", "a", "abc"}, {"a", "ab", "abc"}},
        // 0xC0 is not taken for 0xE0, nor sorted below 'z' as a signed byte.
        SortCase{"HighBytesUnsignedAndUnmapped", &kSingleByte, {"\xE0x", "z", "\xC0y"},
                 {"z", "\xC0y", "\xE0x"}},
        // Multibyte code page: 16-bit characters, single bytes lowered, two-byte upper-cased.
        SortCase{"SingleBytesLowered", &kShiftJis, {"B", "a", "C"}, {"a", "B", "C"}},
        // 0xB1 is a single-byte character: as a 16-bit value it is below
        // every two-byte character, although its byte is above their lead bytes.
        SortCase{"SingleByteBeforeTwoByte", &kShiftJis, {FW_UPPER_A, HALF_WIDTH_KATAKANA_A},
                 {HALF_WIDTH_KATAKANA_A, FW_UPPER_A}},
        SortCase{"TwoByteMappedToUpperCase", &kShiftJis, {FW_UPPER_B, FW_LOWER_A},
                 {FW_LOWER_A, FW_UPPER_B}},
        // Reaching a character that cannot be mapped compares as not less,
        // both ways: the entry stays where the exchanges leave it. A
        // difference before it still counts.
        SortCase{"FailedMappingIsNotLess", &kShiftJis, {"b", UNMAPPABLE, "a"},
                 {"a", UNMAPPABLE, "b"}},
        SortCase{"FailedMappingAfterADifference", &kShiftJis, {"b", "a" UNMAPPABLE},
                 {"a" UNMAPPABLE, "b"}}),
    [](const ::testing::TestParamInfo<SortCase>& info) { return std::string(info.param.name); });

// --- from the raw command line -----------------------------------------------------

TEST_F(Expand, ProgramNameTooAndOnlyAQuoteAtTheStartProtects)
{
    gFound["rate*.exe"] = {"ratefold.exe"};
    gFound["dir\\*.m2v"] = {"b.m2v", "a.m2v"};
    gFound["my dir\\*.m2v"] = {"a.m2v"};
    gFound["*.m2v"] = {"a.m2v"};
    EXPECT_EQ(BuildArgumentList("rate*.exe dir\\\\\"*.m2v\" \"my dir\"\\*.m2v \"*.m2v\"",
                                kFakeSearch, kSingleByte),
              (List{"ratefold.exe", "dir\\a.m2v", "dir\\b.m2v", "my dir\\*.m2v", "*.m2v"}));
}

}  // namespace
