// Wildcard expansion of the argument list, over a fake directory search and
// fake code pages.
#include "app/arguments.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <ostream>
#include <string>
#include <vector>

namespace {

// --- the fake directory search -----------------------------------------------
// Each pattern yields its names in the order given; a pattern not listed
// finds nothing. Every call is recorded.

struct FakeDirectory {
    std::map<std::string, std::vector<std::string>> entries;
    std::vector<std::string> searched;
    int started = 0;
    int closed = 0;
};
FakeDirectory gDirectory;

struct FakeHandle {
    const std::vector<std::string>* names;
    std::size_t next;
};

bool FakeFirst(const char* pattern, void*& handle, std::string& name)
{
    gDirectory.searched.push_back(pattern);
    const auto found = gDirectory.entries.find(pattern);
    if (found == gDirectory.entries.end() || found->second.empty()) {
        return false;
    }
    ++gDirectory.started;
    handle = new FakeHandle{&found->second, 1};
    name = found->second[0];
    return true;
}

bool FakeNext(void* handle, std::string& name)
{
    FakeHandle& search = *static_cast<FakeHandle*>(handle);
    if (search.next == search.names->size()) {
        return false;
    }
    name = (*search.names)[search.next++];
    return true;
}

void FakeClose(void* handle)
{
    ++gDirectory.closed;
    delete static_cast<FakeHandle*>(handle);
}

constexpr DirectorySearch kFakeSearch{FakeFirst, FakeNext, FakeClose};

// --- fake code pages -----------------------------------------------------------

bool NoLeadBytes(unsigned char)
{
    return false;
}

unsigned char UnusedLower(unsigned char byte)
{
    ADD_FAILURE() << "a single-byte code page maps no case through the code page";
    return byte;
}

bool UnusedUpper(uint16_t character, uint16_t& upper)
{
    ADD_FAILURE() << "a single-byte code page has no two-byte characters";
    upper = character;
    return true;
}

// A code page like 1252: single bytes only.
constexpr CodePage kSingleByte{false, NoLeadBytes, UnusedLower, UnusedUpper};

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
    if (character == kUnmappable) {
        return false;
    }
    const bool lower =
        character >= kFullWidthLowerA && character < kFullWidthLowerA + kFullWidthLetters;
    upper = lower ? static_cast<uint16_t>(character - kFullWidthLowerA + kFullWidthUpperA)
                  : character;
    return true;
}

constexpr CodePage kShiftJis{true, ShiftJisLeadByte, ShiftJisLower, ShiftJisUpper};

// Some of its characters, as bytes.
#define FW_UPPER_A "\x82\x60"
#define FW_UPPER_B "\x82\x61"
#define FW_LOWER_A "\x82\x81"
#define HALF_WIDTH_KATAKANA_A "\xB1"
#define UNMAPPABLE "\x9F\xFC"
#define TABLE_WITH_5C_TRAIL "\x95\x5C"  // 0x5C, as a trail byte, is no backslash

// --- helpers --------------------------------------------------------------------

class Expand : public ::testing::Test {
protected:
    void SetUp() override { gDirectory = FakeDirectory(); }
    void TearDown() override { EXPECT_EQ(gDirectory.closed, gDirectory.started); }

    // Arguments after the program name "ratefold": a text beginning with a
    // double quote stands for an argument whose mark is that quote (the
    // quote itself is not part of the text); any other has its first byte
    // as its mark.
    static std::vector<std::string> Run(const std::vector<std::string>& typed,
                                        const CodePage& codePage = kSingleByte)
    {
        std::vector<CommandLineArgument> arguments{{"ratefold", '"'}};
        for (const std::string& text : typed) {
            if (!text.empty() && text[0] == '"') {
                arguments.push_back({text.substr(1), '"'});
            } else {
                arguments.push_back({text, text.empty() ? '\0' : text[0]});
            }
        }
        std::vector<std::string> list = ExpandArguments(arguments, kFakeSearch, codePage);
        EXPECT_FALSE(list.empty());
        if (!list.empty()) {
            EXPECT_EQ(list.front(), "ratefold");
            list.erase(list.begin());
        }
        return list;
    }
};

using List = std::vector<std::string>;

// --- which arguments are patterns ------------------------------------------------

TEST_F(Expand, PlainArgumentsAreNotSearched)
{
    EXPECT_EQ(Run({"a.m2v", "dir\\b.m2v", "c:d.m2v", "[x].m2v"}),
              (List{"a.m2v", "dir\\b.m2v", "c:d.m2v", "[x].m2v"}));
    EXPECT_TRUE(gDirectory.searched.empty());
}

TEST_F(Expand, StarAndQuestionMarkMakeAPattern)
{
    gDirectory.entries["*.m2v"] = {"x.m2v"};
    gDirectory.entries["clip?.m2v"] = {"clip1.m2v"};
    gDirectory.entries["a*"] = {"ab"};
    EXPECT_EQ(Run({"*.m2v", "clip?.m2v", "a*"}), (List{"x.m2v", "clip1.m2v", "ab"}));
}

TEST_F(Expand, QuoteMarkProtectsAPattern)
{
    gDirectory.entries["*.m2v"] = {"x.m2v"};
    EXPECT_EQ(Run({"\"*.m2v"}), (List{"*.m2v"}));
    EXPECT_TRUE(gDirectory.searched.empty());
}

TEST_F(Expand, ProgramNameIsExpandedToo)
{
    gDirectory.entries["rate*.exe"] = {"ratefold.exe"};
    const std::vector<CommandLineArgument> arguments{{"rate*.exe", 'r'}, {"a.m2v", 'a'}};
    EXPECT_EQ(ExpandArguments(arguments, kFakeSearch, kSingleByte),
              (List{"ratefold.exe", "a.m2v"}));
}

TEST_F(Expand, TrailByteIsNeverAWildcard)
{
    // 0x81 0x3F is not a valid Shift-JIS character, but a lead byte always
    // takes the next byte with it.
    gDirectory.entries["\x81?.m2v"] = {"x.m2v"};
    EXPECT_EQ(Run({"\x81?.m2v"}, kShiftJis), (List{"\x81?.m2v"}));
    EXPECT_TRUE(gDirectory.searched.empty());
    // The same bytes in a single-byte code page are a pattern.
    EXPECT_EQ(Run({"\x81?.m2v"}), (List{"x.m2v"}));
}

// --- the directory part ----------------------------------------------------------

struct DirectoryCase {
    const char* name;
    const char* pattern;
    const char* expanded;  // with the fake entry "a.m2v"; the pattern if not searched
};

void PrintTo(const DirectoryCase& c, std::ostream* out)
{
    *out << c.name;
}

class DirectoryPart : public Expand, public ::testing::WithParamInterface<DirectoryCase> {};

TEST_P(DirectoryPart, PrefixesEveryEntry)
{
    gDirectory.entries[GetParam().pattern] = {"a.m2v"};
    EXPECT_EQ(Run({GetParam().pattern}, kShiftJis), (List{GetParam().expanded}));
}

INSTANTIATE_TEST_SUITE_P(
    Expand, DirectoryPart,
    ::testing::Values(
        DirectoryCase{"None", "*.m2v", "a.m2v"},
        DirectoryCase{"Backslash", "sub\\*.m2v", "sub\\a.m2v"},
        DirectoryCase{"RootBackslash", "\\*.m2v", "\\a.m2v"},
        DirectoryCase{"Slash", "sub/*.m2v", "sub/a.m2v"},
        DirectoryCase{"KeptAsTyped", "..\\SuB/x\\?.m2v", "..\\SuB/x\\a.m2v"},
        DirectoryCase{"DriveColon", "C:*.m2v", "C:a.m2v"},
        DirectoryCase{"DriveAndDirectory", "C:\\d\\*.m2v", "C:\\d\\a.m2v"},
        DirectoryCase{"OtherColonLeavesItUnexpanded", "ab:*.m2v", "ab:*.m2v"},
        DirectoryCase{"ColonAtTheFirstByte", ":*.m2v", ":*.m2v"},
        DirectoryCase{"SecondColonLeavesItUnexpanded", "C:x:*.m2v", "C:x:*.m2v"},
        DirectoryCase{"BackslashAfterAColon", "ab:c\\*.m2v", "ab:c\\a.m2v"},
        DirectoryCase{"ColonAfterTheWildcardDoesNotCount", "d*:x", "a.m2v"},
        DirectoryCase{"SeparatorAfterTheWildcardDoesNotCount", "d*\\*.m2v", "a.m2v"},
        DirectoryCase{"TrailByte5CIsNoBackslash", "x" TABLE_WITH_5C_TRAIL "*.m2v", "a.m2v"},
        DirectoryCase{"BackslashAfterATwoByteCharacter", TABLE_WITH_5C_TRAIL "\\*.m2v",
                      TABLE_WITH_5C_TRAIL "\\a.m2v"}),
    [](const ::testing::TestParamInfo<DirectoryCase>& info) {
        return std::string(info.param.name);
    });

TEST_F(Expand, UnexpandedColonPatternIsNotSearched)
{
    gDirectory.entries["ab:*.m2v"] = {"a.m2v"};
    EXPECT_EQ(Run({"ab:*.m2v"}), (List{"ab:*.m2v"}));
    EXPECT_TRUE(gDirectory.searched.empty());
}

TEST_F(Expand, SearchesWithTheWholeArgument)
{
    gDirectory.entries["sub\\*.m2v"] = {"a.m2v"};
    Run({"sub\\*.m2v"});
    EXPECT_EQ(gDirectory.searched, (List{"sub\\*.m2v"}));
}

// --- what a search adds ------------------------------------------------------------

TEST_F(Expand, DotEntriesAreLeftOut)
{
    gDirectory.entries["*"] = {".", "..", "...", ".x", "a"};
    EXPECT_EQ(Run({"*"}), (List{"...", ".x", "a"}));
}

TEST_F(Expand, DotEntriesLeftOutInADirectory)
{
    gDirectory.entries["sub\\*"] = {".", "..", "a"};
    EXPECT_EQ(Run({"sub\\*"}), (List{"sub\\a"}));
}

TEST_F(Expand, NoMatchKeepsThePattern)
{
    gDirectory.entries["*.m2v"] = {"a.m2v"};
    EXPECT_EQ(Run({"*.x", "*.m2v", "sub\\*.x"}), (List{"*.x", "a.m2v", "sub\\*.x"}));
}

TEST_F(Expand, OnlyDotEntriesIsNoMatch)
{
    gDirectory.entries["*."] = {".", ".."};
    EXPECT_EQ(Run({"*."}), (List{"*."}));
}

TEST_F(Expand, PatternsAndPlainArgumentsKeepTheirPlaces)
{
    gDirectory.entries["*.m2v"] = {"c.m2v", "a.m2v"};
    gDirectory.entries["*.mpv"] = {"b.mpv", "a.mpv"};
    EXPECT_EQ(Run({"z.m2v", "*.m2v", "b.m2v", "*.mpv", "0.m2v"}),
              (List{"z.m2v", "a.m2v", "c.m2v", "b.m2v", "a.mpv", "b.mpv", "0.m2v"}));
}

TEST_F(Expand, EachRunIsSortedOnItsOwn)
{
    // The second pattern's matches sort before the first's, but stay after them.
    gDirectory.entries["y*"] = {"yb", "ya"};
    gDirectory.entries["a*"] = {"ab", "aa"};
    EXPECT_EQ(Run({"y*", "a*"}), (List{"ya", "yb", "aa", "ab"}));
}

TEST_F(Expand, SamePatternTwice)
{
    gDirectory.entries["*.m2v"] = {"b.m2v", "a.m2v"};
    EXPECT_EQ(Run({"*.m2v", "*.m2v"}), (List{"a.m2v", "b.m2v", "a.m2v", "b.m2v"}));
    EXPECT_EQ(gDirectory.started, 2);
}

// --- sorting in a single-byte code page ------------------------------------------------

struct SortCase {
    const char* name;
    List found;   // in the order the search yields them
    List sorted;
};

void PrintTo(const SortCase& c, std::ostream* out)
{
    *out << c.name;
}

class SingleByteSort : public Expand, public ::testing::WithParamInterface<SortCase> {};

TEST_P(SingleByteSort, SortsTheRun)
{
    gDirectory.entries["*"] = GetParam().found;
    EXPECT_EQ(Run({"*"}), GetParam().sorted);
}

INSTANTIATE_TEST_SUITE_P(
    Expand, SingleByteSort,
    ::testing::Values(
        SortCase{"IgnoresCase", {"b.m2v", "A.m2v", "c.m2v"}, {"A.m2v", "b.m2v", "c.m2v"}},
        // Equal under case folding: the exchange order decides.
        SortCase{"EqualNamesInExchangeOrder", {"B", "b", "a"}, {"a", "b", "B"}},
        SortCase{"EqualNamesOtherWayRound", {"b", "B", "a"}, {"a", "B", "b"}},
        SortCase{"UnderscoreBeforeLetters", {"Zeta", "alpha", "_x", "Alpha_"},
                 {"_x", "alpha", "Alpha_", "Zeta"}},
        SortCase{"UnderscoreBeforeLettersInsideANames", {"a_b", "aB", "ab_"}, {"a_b", "aB", "ab_"}},
        SortCase{"DigitsAsBytes", {"9.m2v", "10.m2v", "100.m2v"}, {"10.m2v", "100.m2v", "9.m2v"}},
        SortCase{"PrefixFirst", {"ab", "a", "abc"}, {"a", "ab", "abc"}},
        SortCase{"DotBeforeDigitsAndLetters", {"a1", "a.m2v", "a_"}, {"a.m2v", "a1", "a_"}},
        // Bytes above 0x7F compare unsigned, and only A..Z are mapped:
        // 0xC0 is not taken for 0xE0.
        SortCase{"HighBytesUnsignedAndUnmapped", {"\xE0x", "z", "\xC0y"}, {"z", "\xC0y", "\xE0x"}}),
    [](const ::testing::TestParamInfo<SortCase>& info) { return std::string(info.param.name); });

TEST_F(Expand, LargeRunComesOutAscending)
{
    // n000 .. n499, every odd one with an upper-case N, yielded in a
    // scrambled order (7 and 500 have no common factor).
    constexpr int kCount = 500;
    constexpr int kStride = 7;
    List expected;
    for (int i = 0; i < kCount; ++i) {
        char name[8];
        std::snprintf(name, sizeof name, "%c%03d", i % 2 == 0 ? 'n' : 'N', i);
        expected.push_back(name);
    }
    List found;
    for (int i = 0; i < kCount; ++i) {
        found.push_back(expected[static_cast<std::size_t>(i * kStride % kCount)]);
    }
    gDirectory.entries["n*"] = found;
    EXPECT_EQ(Run({"n*"}), expected);
}

TEST_F(Expand, SortsWholePathsWithTheDirectoryPart)
{
    gDirectory.entries["D\\*"] = {"b", "A"};
    EXPECT_EQ(Run({"D\\*"}), (List{"D\\A", "D\\b"}));
}

// --- sorting in a multibyte code page -----------------------------------------------------

class MultiByteSort : public Expand, public ::testing::WithParamInterface<SortCase> {};

TEST_P(MultiByteSort, SortsTheRun)
{
    gDirectory.entries["*"] = GetParam().found;
    EXPECT_EQ(Run({"*"}, kShiftJis), GetParam().sorted);
}

INSTANTIATE_TEST_SUITE_P(
    Expand, MultiByteSort,
    ::testing::Values(
        SortCase{"SingleBytesLowered", {"B", "a", "C"}, {"a", "B", "C"}},
        // 0xB1 is a single-byte character: as a 16-bit value it is below
        // every two-byte character, although its byte is above their lead bytes.
        SortCase{"SingleByteBeforeTwoByte", {FW_UPPER_A, HALF_WIDTH_KATAKANA_A},
                 {HALF_WIDTH_KATAKANA_A, FW_UPPER_A}},
        // Lower-case full-width a sorts as its upper case, before full-width B.
        SortCase{"TwoByteMappedToUpperCase", {FW_UPPER_B, FW_LOWER_A}, {FW_LOWER_A, FW_UPPER_B}},
        SortCase{"TwoByteCaseEqualInExchangeOrder", {FW_UPPER_A, FW_LOWER_A "x", FW_LOWER_A},
                 {FW_UPPER_A, FW_LOWER_A, FW_LOWER_A "x"}},
        // Reaching a character that cannot be mapped compares as not less,
        // both ways: the entry stays where the exchanges leave it.
        SortCase{"FailedMappingIsNotLess", {"b", UNMAPPABLE, "a"}, {"a", UNMAPPABLE, "b"}},
        SortCase{"FailedMappingAfterADifference", {"b", "a" UNMAPPABLE}, {"a" UNMAPPABLE, "b"}},
        SortCase{"LeadByteAtTheEndEndsTheName", {"a\x82", "a"}, {"a\x82", "a"}}),
    [](const ::testing::TestParamInfo<SortCase>& info) { return std::string(info.param.name); });

// --- from the raw command line ------------------------------------------------------------

TEST_F(Expand, QuotesThatBeginLaterDoNotProtect)
{
    gDirectory.entries["dir\\*.m2v"] = {"b.m2v", "a.m2v"};
    gDirectory.entries["my dir\\*.m2v"] = {"a.m2v"};
    EXPECT_EQ(BuildArgumentList("ratefold dir\\\\\"*.m2v\" \"my dir\"\\*.m2v", kFakeSearch,
                                kSingleByte),
              (List{"ratefold", "dir\\a.m2v", "dir\\b.m2v", "my dir\\*.m2v"}));
}

TEST_F(Expand, QuotedProgramNameAndQuotedPattern)
{
    gDirectory.entries["*.m2v"] = {"a.m2v"};
    EXPECT_EQ(BuildArgumentList("\"C:\\r*\\ratefold.exe\" \"*.m2v\" *.m2v", kFakeSearch,
                                kSingleByte),
              (List{"C:\\r*\\ratefold.exe", "*.m2v", "a.m2v"}));
}

}  // namespace
