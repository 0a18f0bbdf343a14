// A Windows command line split into arguments.
#include "windows_args/command_line.h"

#include <cstddef>
#include <new>
#include <stdexcept>

#include "windows_args/wildcards.h"

namespace {

constexpr char kQuote = '"';
constexpr char kBackslash = '\\';

bool IsSeparator(char c)
{
    return c == ' ' || c == '\t';
}

// Copies the character at p (both bytes of a two-byte character, unless the
// line ends after the lead byte) and returns the position after it.
const char* CopyCharacter(const char* p, std::string& text, LeadByteTest isLeadByte)
{
    const char c = *p++;
    text += c;
    if (isLeadByte(static_cast<unsigned char>(c)) && *p != '\0') {
        text += *p++;
    }
    return p;
}

// The program name: quotes only group, backslashes are ordinary bytes.
const char* SplitProgramName(const char* p, std::vector<CommandLineArgument>& arguments, LeadByteTest isLeadByte)
{
    CommandLineArgument name{std::string(), *p};
    bool quoted = false;
    while (*p != '\0' && (quoted || !IsSeparator(*p))) {
        if (*p == kQuote) {
            quoted = !quoted;
            ++p;
        } else {
            p = CopyCharacter(p, name.text, isLeadByte);
        }
    }
    arguments.push_back(std::move(name));
    return p;
}

// One argument after the program name, starting at its first byte.
const char* SplitArgument(const char* p, std::vector<CommandLineArgument>& arguments, LeadByteTest isLeadByte)
{
    CommandLineArgument argument{std::string(), *p};
    bool quoted = false;
    for (;;) {
        std::size_t backslashes = 0;
        while (*p == kBackslash) {
            ++backslashes;
            ++p;
        }
        if (*p == kQuote) {
            argument.text.append(backslashes / 2, kBackslash);
            if (backslashes % 2 == 1) {
                argument.text += kQuote;  // \" is a literal quote
                ++p;
            } else if (quoted && p[1] == kQuote) {
                argument.text += kQuote;  // "" inside quotes: a literal quote
                p += 2;
            } else {
                quoted = !quoted;
                ++p;
            }
            continue;
        }
        argument.text.append(backslashes, kBackslash);
        if (*p == '\0' || (!quoted && IsSeparator(*p))) {
            break;
        }
        p = CopyCharacter(p, argument.text, isLeadByte);
    }
    arguments.push_back(std::move(argument));
    return p;
}

}  // namespace

std::vector<CommandLineArgument> SplitCommandLine(const char* commandLine, LeadByteTest isLeadByte)
{
    try {
        std::vector<CommandLineArgument> arguments;
        const char* p = SplitProgramName(commandLine, arguments, isLeadByte);
        for (;;) {
            while (IsSeparator(*p)) {
                ++p;
            }
            if (*p == '\0') {
                return arguments;
            }
            p = SplitArgument(p, arguments, isLeadByte);
        }
    } catch (const std::bad_alloc&) {
        ExitNoSpaceForArguments();
    } catch (const std::length_error&) {
        ExitNoSpaceForArguments();
    }
}
