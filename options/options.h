// The options on the command line, in the usual long form, and the paths
// after them.
#pragma once

#include <string>
#include <vector>

#include "stream/stream_counters.h"

struct Options {
    Job job;
    bool info = false;             // --info: describe the streams, write nothing
    bool json = false;             // --json: the description as one JSON object a file
    bool pictures = false;         // --pictures: with --info, one line a picture
    const char* output = nullptr;  // -o: the single stream's output, "-" standard output
    // --timestamps-out: each picture's start time, for the stream written
    // or described, in mkvmerge's timestamp format v2.
    const char* timestampsOut = nullptr;
    const char* timestampsIn = nullptr;  // --timestamps-in: the single stream's timestamp file
    bool help = false;
    bool version = false;
    std::vector<const char*> paths;  // "-" is standard input
};

// Reads argv[1] on: options start with "-" (a lone "-" is a path), "--"
// ends them, and everything else is a path, in order. Returns the message
// line that says why the list is refused (an unknown option, a value
// missing or not taken, options that do not go together), or nothing.
std::string ParseOptions(int argc, char** argv, Options& options);

// True if the argument is an option whose value is the next argument.
bool OptionTakesValue(const std::string& argument);

// The text of --help: usage and one line an option.
std::string HelpText();

// The usage line printed when no stream is named, or the options are wrong.
extern const char kUsage[];
