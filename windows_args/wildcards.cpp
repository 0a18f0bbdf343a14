// Wildcard patterns in the argument list replaced by the directory entries they match.
#include "windows_args/wildcards.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <numeric>
#include <stdexcept>
#include <utility>

#include "host/file_access.h"
#include "options/options.h"

namespace {

constexpr char kQuote = '"';
// A ':' in this place belongs to a drive letter ("C:*.m2v").
constexpr std::size_t kDriveColonIndex = 1;
// The exit status when the argument list cannot be built.
constexpr int kNoSpaceForArgumentsStatus = 255;

bool IsWildcard(char c)
{
    return c == '*' || c == '?';
}

bool IsDirectorySeparator(char c)
{
    return c == '\\' || c == '/' || c == ':';
}

bool NoLeadByte(unsigned char)
{
    return false;
}

// How the argument list is walked: by the code page's characters, or byte by
// byte where it is in UTF-8.
LeadByteTest PathLeadByteTest(const CodePage& codePage)
{
    return codePage.fromUtf8 != nullptr ? NoLeadByte : codePage.isLeadByte;
}

// True if the argument is a pattern to search for: it holds a wildcard, and
// the nearest separator before the first one is not a ':' that cannot be a
// drive's. Sets directoryLength to the length of its directory part, the
// bytes up to and including that separator (0 if there is none). Walks
// character by character, so a trail byte is never a wildcard or a
// separator.
bool FindPattern(const std::string& argument, LeadByteTest isLeadByte, std::size_t& directoryLength)
{
    std::size_t separator = std::string::npos;
    for (std::size_t i = 0; i < argument.size();) {
        const char c = argument[i];
        if (IsWildcard(c)) {
            if (separator == std::string::npos) {
                directoryLength = 0;
                return true;
            }
            if (argument[separator] == ':' && separator != kDriveColonIndex) {
                return false;
            }
            directoryLength = separator + 1;
            return true;
        }
        if (IsDirectorySeparator(c)) {
            separator = i;
        }
        i += isLeadByte(static_cast<unsigned char>(c)) ? 2 : 1;
    }
    return false;
}

// One entry of a pattern's run, with what it is sorted by.
struct RunEntry {
    std::string path;
    // The path's characters in the code page, case-mapped, as 16-bit values.
    // Ends at the end of the path or just before a character whose mapping
    // failed.
    std::u16string key;
    bool mappingFailed = false;
    // The code page lacks a character of the path: the key holds a stand-in.
    bool unspelt = false;
};

// Single-byte code pages: bytes as unsigned values, only 'A'..'Z' mapped to
// lower case, so '_' (0x5F) sorts before every letter.
void MakeSingleByteKey(RunEntry& entry, const std::string& path)
{
    for (const char c : path) {
        unsigned char byte = static_cast<unsigned char>(c);
        if (byte >= 'A' && byte <= 'Z') {
            byte = static_cast<unsigned char>(byte - 'A' + 'a');
        }
        entry.key += static_cast<char16_t>(byte);
    }
}

// Multibyte code pages: a two-byte character is lead byte * 256 + trail
// byte, mapped to upper case; a single-byte character is mapped to lower
// case. Single-byte characters thus sort before two-byte ones. A lead byte
// with no trail byte after it ends the key like the end of the path.
void MakeMultiByteKey(RunEntry& entry, const std::string& path, const CodePage& codePage)
{
    for (std::size_t i = 0; i < path.size();) {
        const unsigned char byte = static_cast<unsigned char>(path[i]);
        if (!codePage.isLeadByte(byte)) {
            entry.key += static_cast<char16_t>(codePage.lowerSingleByte(byte));
            ++i;
            continue;
        }
        if (i + 1 == path.size()) {
            return;
        }
        const uint16_t character = static_cast<uint16_t>(byte << 8 | static_cast<unsigned char>(path[i + 1]));
        uint16_t upper = 0;
        if (!codePage.upperDoubleByte(character, upper)) {
            entry.mappingFailed = true;
            return;
        }
        entry.key += static_cast<char16_t>(upper);
        i += 2;
    }
}

// Where the keys are equal: one the code page spells first, then the
// others by their UTF-8 bytes, so that names it lacks keep one order.
bool UnspeltLess(const RunEntry& a, const RunEntry& b)
{
    if (a.unspelt != b.unspelt) {
        return b.unspelt;
    }
    return a.unspelt && a.path < b.path;
}

// Compares character by character; reaching a character whose mapping
// failed, on either side, before a difference counts as not less.
bool EntryLess(const RunEntry& a, const RunEntry& b)
{
    for (std::size_t i = 0;; ++i) {
        const bool aEnds = i == a.key.size();
        const bool bEnds = i == b.key.size();
        if ((aEnds && a.mappingFailed) || (bEnds && b.mappingFailed)) {
            return false;
        }
        const char16_t ca = aEnds ? u'\0' : a.key[i];
        const char16_t cb = bEnds ? u'\0' : b.key[i];
        if (ca != cb) {
            return ca < cb;
        }
        if (aEnds) {
            return UnspeltLess(a, b);  // equal keys
        }
    }
}

// When no mapping failed and no two entries compare equal, the ascending
// order is unique and any sort finds it: then this one, in n log n steps,
// does. Returns false, leaving the run as it was, otherwise.
bool SortDistinctEntries(std::vector<RunEntry>& run)
{
    for (const RunEntry& entry : run) {
        if (entry.mappingFailed) {
            return false;
        }
    }
    std::vector<std::size_t> order(run.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::sort(order.begin(), order.end(), [&run](std::size_t a, std::size_t b) { return EntryLess(run[a], run[b]); });
    for (std::size_t i = 1; i < order.size(); ++i) {
        if (!EntryLess(run[order[i - 1]], run[order[i]])) {
            return false;  // two entries compare equal
        }
    }
    std::vector<RunEntry> sorted;
    sorted.reserve(run.size());
    for (const std::size_t index : order) {
        sorted.push_back(std::move(run[index]));
    }
    run.swap(sorted);
    return true;
}

// For each place from the first, every later entry that is less than the
// one in that place is exchanged with it. Entries that compare equal thus
// end up in a fixed order: found as B, b, a, they come out as a, b, B. The
// exchanges take n² steps; the comparison is not always a strict weak order
// (a failed mapping), so only where it is and the order is unique can a
// standard sort stand in for them.
void SortRun(std::vector<RunEntry>& run, const CodePage& codePage)
{
    std::string bytes;
    for (RunEntry& entry : run) {
        if (codePage.fromUtf8 != nullptr) {
            entry.unspelt = !codePage.fromUtf8(entry.path, bytes);
        }
        const std::string& path = codePage.fromUtf8 != nullptr ? bytes : entry.path;
        if (codePage.multiByte) {
            MakeMultiByteKey(entry, path, codePage);
        } else {
            MakeSingleByteKey(entry, path);
        }
    }
    if (SortDistinctEntries(run)) {
        return;
    }
    for (std::size_t i = 0; i < run.size(); ++i) {
        for (std::size_t j = i + 1; j < run.size(); ++j) {
            if (EntryLess(run[j], run[i])) {
                std::swap(run[i], run[j]);
            }
        }
    }
}

// Closes a started search when the run has been collected.
struct SearchCloser {
    const DirectorySearch& search;
    void* handle = nullptr;
    bool open = false;
    ~SearchCloser()
    {
        if (open) {
            search.close(handle);
        }
    }
};

bool IsDotEntry(const std::string& name)
{
    return name == "." || name == "..";
}

// Every entry the search yields for the pattern, but "." and "..", as
// directory part + name. A failed search yields nothing.
std::vector<RunEntry> SearchEntries(const std::string& pattern, std::size_t directoryLength,
                                    const DirectorySearch& search)
{
    std::vector<RunEntry> run;
    std::string name;
    SearchCloser closer{search};
    if (!search.first(pattern.c_str(), closer.handle, name)) {
        return run;
    }
    closer.open = true;
    do {
        if (!IsDotEntry(name)) {
            RunEntry entry;
            entry.path.assign(pattern, 0, directoryLength);
            entry.path += name;
            run.push_back(std::move(entry));
        }
    } while (search.next(closer.handle, name));
    return run;
}

}  // namespace

std::vector<std::string> ExpandArguments(const std::vector<CommandLineArgument>& arguments,
                                         const DirectorySearch& search, const CodePage& codePage)
{
    try {
        std::vector<std::string> list;
        // Options and their values are never patterns: "-o *.m2v" names
        // one output. After "--" every argument is a path again.
        bool optionsEnd = false;
        bool valueNext = false;
        for (const CommandLineArgument& argument : arguments) {
            const bool first = list.empty();
            const bool option = !first && !optionsEnd && (valueNext || argument.text.compare(0, 1, "-") == 0);
            optionsEnd = optionsEnd || (option && !valueNext && argument.text == "--");
            valueNext = option && !valueNext && OptionTakesValue(argument.text);
            std::size_t directoryLength = 0;
            if (option || argument.mark == kQuote ||
                !FindPattern(argument.text, PathLeadByteTest(codePage), directoryLength)) {
                list.push_back(argument.text);
                continue;
            }
            std::vector<RunEntry> run = SearchEntries(argument.text, directoryLength, search);
            if (run.empty()) {
                list.push_back(argument.text);  // no match: the pattern itself
                continue;
            }
            SortRun(run, codePage);
            for (RunEntry& entry : run) {
                list.push_back(std::move(entry.path));
            }
        }
        return list;
    } catch (const std::bad_alloc&) {
        ExitNoSpaceForArguments();
    } catch (const std::length_error&) {
        ExitNoSpaceForArguments();
    }
}

std::vector<std::string> BuildArgumentList(const char* commandLine, const DirectorySearch& search,
                                           const CodePage& codePage)
{
    return ExpandArguments(SplitCommandLine(commandLine, PathLeadByteTest(codePage)), search, codePage);
}

void ExitNoSpaceForArguments()
{
    // The C runtime's report of its error R6008, in the three pieces it
    // writes them in, straight to the handle: the stream may itself need
    // memory.
    static const char* const kPieces[] = {"\r\n", "runtime error ", "R6008\r\n- not enough space for arguments\r\n"};
    for (const char* piece : kPieces) {
        HostWriteStandardError(piece, std::strlen(piece));
    }
    std::_Exit(kNoSpaceForArgumentsStatus);
}
