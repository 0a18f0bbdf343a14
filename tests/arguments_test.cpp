// The Windows argument list: the raw command line split as console programs
// split it, then wildcards expanded over a fake directory search, in a
// single-byte and a two-byte code page, paths in the code page or in UTF-8.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "windows_args/wildcards.h"
#include "windows_args/command_line.h"

// From failing_new.cpp: allocations let through before one fails (negative:
// none fails), and allocations made.
extern long gAllocationsLeft;
extern long gAllocationsMade;

namespace {

using List = std::vector<std::string>;

// The fake search yields gFound[pattern] in its order, nothing for any other
// pattern; gOpen counts the searches not yet closed.
std::map<std::string, List> gFound;
List::const_iterator gNext, gEnd;
int gOpen = 0;

bool Next(void*, std::string& name)
{
    return gNext != gEnd && (name = *gNext++, true);
}

bool First(const char* pattern, void*&, std::string& name)
{
    const auto found = gFound.find(pattern);  // allocates nothing
    if (found == gFound.end() || found->second.empty()) {
        return false;
    }
    gNext = found->second.begin();
    gEnd = found->second.end();
    ++gOpen;
    return Next(nullptr, name);
}

constexpr DirectorySearch kSearch{First, Next, [](void*) { --gOpen; }};
constexpr CodePage kSingleByte{false, [](unsigned char) { return false; }, nullptr, nullptr, nullptr};
// Like Shift-JIS: lead bytes 0x81-0x9F and 0xE0-0xFC; full-width letters,
// upper case from 0x8260, lower case from 0x8281; 0x9FFC cannot be mapped.
constexpr CodePage kTwoByte{
    true, [](unsigned char b) { return (b >= 0x81 && b <= 0x9F) || b >= 0xE0; },
    [](unsigned char b) { return b >= 'A' && b <= 'Z' ? static_cast<unsigned char>(b + 'a' - 'A') : b; },
    [](uint16_t c, uint16_t& upper) {
        upper = c >= 0x8281 && c < 0x8281 + 26 ? static_cast<uint16_t>(c - 0x8281 + 0x8260) : c;
        return c != 0x9FFC;
    },
    nullptr};

// Paths in UTF-8 (as on Windows), sorted by a Latin-1 code page that also
// has the euro sign at 0x80; '?' stands in for any other character.
bool FromUtf8(const std::string& path, std::string& bytes)
{
    bytes.clear();
    bool spelt = true;
    for (std::size_t i = 0; i < path.size();) {
        const unsigned char lead = static_cast<unsigned char>(path[i]);
        const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        if (length == 2 && lead <= 0xC3) {
            bytes += static_cast<char>((lead & 0x1F) << 6 | (path[i + 1] & 0x3F));
        } else if (length == 1 || path.compare(i, length, "\xE2\x82\xAC") == 0) {
            bytes += length == 1 ? static_cast<char>(lead) : '\x80';
        } else {
            bytes += '?';
            spelt = false;
        }
        i += length;
    }
    return spelt;
}
constexpr CodePage kUtf8SingleByte{false, kSingleByte.isLeadByte, nullptr, nullptr, FromUtf8};
constexpr CodePage kUtf8TwoByte{true, kTwoByte.isLeadByte, kTwoByte.lowerSingleByte, kTwoByte.upperDoubleByte,
                                FromUtf8};

TEST(SplitCommandLine, FollowsTheConsoleRules)
{
    const std::pair<const char*, List> cases[] = {
        {"p a  b\tc \t ", {"p", "a", "b", "c"}},
        {"", {""}},
        {" a", {"", "a"}},  // a leading space ends an empty program name
        {"p a\\\\b d\"e f\"g h", {"p", "a\\\\b", "de fg", "h"}},
        {"p a\\\\\\\"b c", {"p", "a\\\"b", "c"}},          // 2n+1 backslashes: a literal quote
        {"p a\\\\\\\\\"b c\" d", {"p", "a\\\\b c", "d"}},  // 2n: n of them, and a quoted part
        {"p a\\\\", {"p", "a\\\\"}},
        {"p a\"b\"\" c d", {"p", "ab\" c d"}},  // "" inside quotes: a quote, still quoted
        {"p \"\" x", {"p", "", "x"}},
        {"p \"a b", {"p", "a b"}},
        {"\"C:\\Program Files\\r.exe\" x", {"C:\\Program Files\\r.exe", "x"}},
        {"a\\\"b c\" d", {"a\\b c", "d"}},  // the program name has no escapes
        // Trail bytes are never a backslash, a space or a quote.
        {"p \x95\x5C\"a b\" c",
         {"p",
          "\x95\x5C"
          "a b",
          "c"}},
        {"p\x81 q r", {"p\x81 q", "r"}},
        {"p a\x95", {"p", "a\x95"}},
    };
    for (const auto& [line, texts] : cases) {
        List got;
        for (const CommandLineArgument& argument : SplitCommandLine(line, kTwoByte.isLeadByte)) {
            got.push_back(argument.text);
        }
        EXPECT_EQ(got, texts) << line;
    }
    std::string marks;
    for (const auto& argument : SplitCommandLine("\"p\" \"*\" * \\\"x a\"*\" \"\" d\\\\\"*\"", kTwoByte.isLeadByte)) {
        marks += argument.mark;
    }
    EXPECT_EQ(marks, "\"\"*\\a\"d");  // the first raw byte of each
}

// Each case: the arguments as typed after the program name (a leading
// double quote stands for that mark), what the search finds, and the list.
struct ExpandCase {
    const char* what;
    const CodePage* codePage;
    List typed;
    std::map<std::string, List> found;
    List expected;
};

TEST(ExpandArguments, ExpandsSortsAndKeepsPlaces)
{
    const ExpandCase cases[] = {
        {"no wildcard, brackets; star, question mark; quote mark",
         &kSingleByte,
         {"d\\b.m2v", "[x]", "*.m2v", "c?", "\"*.m2v"},
         {{"[x]", {"a"}}, {"*.m2v", {"a.m2v"}}, {"c?", {"c1"}}},
         {"d\\b.m2v", "[x]", "a.m2v", "c1", "*.m2v"}},
        {"options and their values are no patterns; after -- all is",
         &kSingleByte,
         {"--to", "2*", "-o", "*.m2v", "-*", "a*", "--", "-*", "--to"},
         {{"2*", {"25"}}, {"*.m2v", {"x.m2v"}}, {"-*", {"-y"}}, {"a*", {"ab"}}, {"--to", {"--to"}}},
         {"--to", "2*", "-o", "*.m2v", "-*", "ab", "--", "-y", "--to"}},
        {"directory parts as typed",
         &kSingleByte,
         {"sub\\*", "\\*", "..\\S/x\\?", "C:*", "ab:c\\*"},
         {{"sub\\*", {"a"}}, {"\\*", {"a"}}, {"..\\S/x\\?", {"a"}}, {"C:*", {"a"}}, {"ab:c\\*", {"a"}}},
         {"sub\\a", "\\a", "..\\S/x\\a", "C:a", "ab:c\\a"}},
        {"a colon other than a drive's, a separator after the wildcard",
         &kSingleByte,
         {"ab:*", ":*", "C:x:*", "d*:x"},
         {{"ab:*", {"a"}}, {":*", {"a"}}, {"C:x:*", {"a"}}, {"d*:x", {"a"}}},
         {"ab:*", ":*", "C:x:*", "a"}},
        {"trail bytes",
         &kTwoByte,
         {"\x81?", "x\x95\x5C*", "\x95\x5C\\*"},
         {{"\x81?", {"a"}}, {"x\x95\x5C*", {"a"}}, {"\x95\x5C\\*", {"a"}}},
         {"\x81?", "a", "\x95\x5C\\a"}},
        {"dot entries, no match",
         &kSingleByte,
         {"s\\*", "*.x", "*."},
         {{"s\\*", {".", "a", "..", ".x"}}, {"*.", {".", ".."}}},
         {"s\\.x", "s\\a", "*.x", "*."}},
        {"each run sorted in its place",
         &kSingleByte,
         {"z", "y*", "b", "a*"},
         {{"y*", {"yb", "ya"}}, {"a*", {"ab", "aa"}}},
         {"z", "ya", "yb", "b", "aa", "ab"}},
        {"case, '_', digits, prefixes",
         &kSingleByte,
         {"*"},
         {{"*", {"b", "Z", "A", "_x", "9", "10", "ab", "a\xE0", "a\xC0"}}},
         {"10", "9", "_x", "A", "ab", "a\xC0", "a\xE0", "b", "Z"}},
        {"equal names: as the exchanges leave them", &kSingleByte, {"*"}, {{"*", {"B", "b", "a"}}}, {"a", "b", "B"}},
        {"two-byte: single bytes first, upper-cased, the second character counts",
         &kTwoByte,
         {"*"},
         {{"*", {"\x82\x61", "\x82\x81", "\xB1", "B", "a", "\x82\x60\x82\x61", "\x82\x60\x82\x81"}}},
         {"a", "B", "\xB1", "\x82\x81", "\x82\x60\x82\x81", "\x82\x60\x82\x61", "\x82\x61"}},
        // A failed mapping is not less; a difference before one counts.
        {"failed mapping",
         &kTwoByte,
         {"*", "x*"},
         {{"*", {"b", "\x9F\xFC", "a"}}, {"x*", {"xb", "xa\x9F\xFC"}}},
         {"a", "\x9F\xFC", "b", "xa\x9F\xFC", "xb"}},
        // UTF-8 paths: walked byte by byte (0x95 is no lead byte there), the
        // directory part kept as typed, sorted by their code-page bytes.
        {"UTF-8: no trail bytes", &kUtf8TwoByte, {"\xC3\x95\\*"}, {{"\xC3\x95\\*", {"a"}}}, {"\xC3\x95\\a"}},
        {"UTF-8: the code page's order, unspelt names last by their bytes",
         &kUtf8SingleByte,
         {"d\xC3\xA9\\*"},
         {{"d\xC3\xA9\\*", {"\xC3\xA9", "\xE6\x9C\xAC", "B", "\xE2\x82\xAC", "?", "\xE6\x97\xA5", "a"}}},
         {"d\xC3\xA9\\?", "d\xC3\xA9\\\xE6\x97\xA5", "d\xC3\xA9\\\xE6\x9C\xAC", "d\xC3\xA9\\a", "d\xC3\xA9\\B",
          "d\xC3\xA9\\\xE2\x82\xAC", "d\xC3\xA9\\\xC3\xA9"}},
    };
    for (const ExpandCase& c : cases) {
        gFound = c.found;
        std::vector<CommandLineArgument> arguments{{"ratefold", '"'}};
        for (const std::string& text : c.typed) {
            arguments.push_back({text[0] == '"' ? text.substr(1) : text, text[0]});
        }
        List expected = c.expected;
        expected.insert(expected.begin(), "ratefold");
        EXPECT_EQ(ExpandArguments(arguments, kSearch, *c.codePage), expected) << c.what;
        EXPECT_EQ(gOpen, 0) << c.what << ": a search was not closed";
    }
}

TEST(BuildArgumentList, ExpandsTheProgramNameTooAndOnlyAQuoteAtTheStartProtects)
{
    gFound = {{"rate*.exe", {"ratefold.exe"}}, {"dir\\*.m2v", {"b", "a"}}, {"*.m2v", {"a"}}, {"my dir\\*.m2v", {"a"}}};
    EXPECT_EQ(BuildArgumentList("rate*.exe dir\\\\\"*.m2v\" \"my dir\"\\*.m2v \"*.m2v\"", kSearch, kSingleByte),
              (List{"ratefold.exe", "dir\\a", "dir\\b", "my dir\\*.m2v", "*.m2v"}));
    // A UTF-8 line: a continuation byte is never a lead byte hiding a quote.
    EXPECT_EQ(BuildArgumentList("p \xC3\x95\"a b\" c", kSearch, kUtf8TwoByte), (List{"p",
                                                                                     "\xC3\x95"
                                                                                     "a b",
                                                                                     "c"}));
}

// Every allocation that building a list needs (splitting, a quoted pattern,
// a plain argument, a pattern with matches and their sort keys from UTF-8,
// one without) fails in turn. The three pieces end in CR LF (LF where stderr
// is read in text mode); an exit handler must not run.
TEST(BuildArgumentListDeathTest, EveryFailedAllocationEndsWithR6008AndStatus255)
{
    const char* const line = "\"C:\\bin\\ratefold.exe\" \"*.m2v\" a.m2v *.m2v *.x";
    gFound = {{"*.m2v", {"c.m2v", ".", "b.m2v"}}};
    gAllocationsMade = 0;
    ASSERT_EQ(BuildArgumentList(line, kSearch, kUtf8SingleByte).size(), 6u);
    for (long allowed = 0, all = gAllocationsMade; allowed < all; ++allowed) {
        EXPECT_EXIT((std::atexit([] { std::fputs("exit handler ran\n", stderr); }), gAllocationsLeft = allowed,
                     BuildArgumentList(line, kSearch, kUtf8SingleByte)),
                    testing::ExitedWithCode(255),
                    testing::MatchesRegex("\r?\nruntime error R6008\r?\n- not enough space for arguments\r?\n"))
            << "allocation " << allowed + 1 << " of " << all << " failed";
    }
}

}  // namespace
