// The argument list: wildcard patterns on the command line replaced by the
// sorted directory entries they match. Host-neutral: the directory search
// and the code page come in through the two small interfaces below, so the
// rules can be tested with fakes. Only a host whose shell leaves patterns to
// the program (Windows) uses it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "windows_args/command_line.h"
#include "naming/output_name.h"

// A directory search for one pattern: first, then next until it reports the
// end, then close. The names are the entries' own names, without any
// directory part.
struct DirectorySearch {
    // Starts a search. Returns false if nothing was found or the search
    // failed (and then nothing is to be closed). Otherwise sets handle to
    // what next and close take, and name to the first entry's name.
    bool (*first)(const char* pattern, void*& handle, std::string& name);
    // Sets name to the next entry's name; false at the end.
    bool (*next)(void* handle, std::string& name);
    void (*close)(void* handle);
};

// The code page whose rules sort the matches of a pattern. The paths are
// either in this code page too, or in UTF-8 (on Windows, where the program
// takes its arguments in UTF-16): then each path is turned into the code
// page's bytes for its sort key only, and the argument list itself, whose
// multibyte characters hold no ASCII byte, is walked byte by byte.
struct CodePage {
    // True for code pages with two-byte characters.
    bool multiByte;
    LeadByteTest isLeadByte;
    // Multibyte code pages only, for sorting: a single-byte character that
    // the code page marks as upper case mapped to lower case, any other
    // returned as it is.
    unsigned char (*lowerSingleByte)(unsigned char byte);
    // Multibyte code pages only, for sorting: a two-byte character (lead
    // byte * 256 + trail byte) mapped to upper case by the code page's
    // locale. False if the mapping fails.
    bool (*upperDoubleByte)(uint16_t character, uint16_t& upper);
    // Null when the paths are in the code page. Otherwise sets bytes to the
    // path (UTF-8) in the code page, a stand-in taking the place of each
    // character the code page lacks, and returns false if there was one.
    bool (*fromUtf8)(const std::string& path, std::string& bytes);
};

// Builds the final argument list, the program name first. Options (the
// arguments that start with '-' before a "--") and the values of those that
// take one are taken as they are. Each other argument in turn:
// - its mark is a double quote: taken as it is;
// - it holds '*' or '?' (character by character): a pattern. Its directory
//   part runs up to and including the last '\', '/' or ':' before the first
//   wildcard; if that is a ':' other than the second byte, the argument is
//   taken as it is. Otherwise every entry the search yields for it, except
//   "." and "..", is added as directory part + name, and these entries are
//   sorted among themselves by their bytes in the code page (see the .cpp).
//   Where those sort equal, an entry that the code page cannot spell comes
//   after one that it can, and such entries come in the order of their UTF-8
//   bytes. A pattern that matches nothing is taken as it is;
// - otherwise taken as it is.
// Ends the process with status 255 if memory runs out.
std::vector<std::string> ExpandArguments(const std::vector<CommandLineArgument>& arguments,
                                         const DirectorySearch& search, const CodePage& codePage);

// Splits the raw command line (in the paths' encoding) and expands its
// arguments.
std::vector<std::string> BuildArgumentList(const char* commandLine, const DirectorySearch& search,
                                           const CodePage& codePage);

// What happens when memory runs out while the argument list is built: three
// writes to the standard error handle, "\r\n", "runtime error ",
// "R6008\r\n- not enough space for arguments\r\n", then the process ends
// with status 255 at once, running no exit handlers and flushing nothing.
[[noreturn]] void ExitNoSpaceForArguments();
