// Splitting a raw command line into arguments by the rules that Windows
// console programs follow. Host-neutral, so that it can be tested anywhere;
// only the Windows host uses it.
#pragma once

#include <string>
#include <vector>

#include "naming/output_name.h"

struct CommandLineArgument {
    std::string text;  // after quote and backslash processing
    char mark;         // the argument's first raw byte on the command line
};

// The program name first, then every argument:
// - the program name runs to the first space or tab outside double quotes;
//   its quotes are dropped and backslashes are ordinary bytes;
// - the other arguments are separated by spaces and tabs outside double
//   quotes; 2n backslashes before a double quote give n backslashes and the
//   quote opens or closes a quoted part, 2n+1 give n backslashes and a
//   literal quote; inside a quoted part "" gives a literal quote and the
//   quoted part goes on; other backslashes are literal; a quoted part still
//   open at the end of the line ends the argument there.
// The trail byte of a two-byte character (isLeadByte tells) is copied with
// its lead byte and never taken for a quote, a backslash or a separator.
// Ends the process with status 255 if memory runs out (see
// ExitNoSpaceForArguments).
std::vector<CommandLineArgument> SplitCommandLine(const char* commandLine, LeadByteTest isLeadByte);
