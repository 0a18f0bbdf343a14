// The command-line options read into Options, the usage line and --help.
#include "options/options.h"

#include <cstring>
#include <set>

const char kUsage[] = "\nUSAGE: ratefold 24fps_mpeg2_video_stream[s] \n\n";

namespace {

bool IsStandardStreamName(const char* path)
{
    return std::strcmp(path, "-") == 0;
}

// "--to 25" and "--to=25" alike: the value, or null if the argument is not
// this option.
const char* ValueOf(const char* name, int& i, int argc, char** argv, bool& missing)
{
    const char* argument = argv[i];
    const std::size_t length = std::strlen(name);
    if (std::strncmp(argument, name, length) != 0) {
        return nullptr;
    }
    if (argument[length] == '=') {
        return argument + length + 1;
    }
    if (argument[length] != '\0') {
        return nullptr;
    }
    if (i + 1 == argc) {
        missing = true;
        return nullptr;
    }
    return argv[++i];
}

std::string TargetRate(const char* value, Job& job)
{
    const int code = CodeOfRateName(value);
    if (!IsFieldTarget(code) && !IsFrameTarget(code)) {
        return std::string(
                   "--to takes 25, 29.97 or 30 (fields repeated) or 50, 59.94 or 60 (frames "
                   "repeated), not ") +
               value + "\n";
    }
    job.kind = JobKind::kPulldown;
    job.targetCode = code;
    return std::string();
}

}  // namespace

bool OptionTakesValue(const std::string& argument)
{
    return argument == "--to" || argument == "-o" || argument == "--timestamps-out" || argument == "--timestamps-in";
}

std::string ParseOptions(int argc, char** argv, Options& options)
{
    bool to = false;
    bool undo = false;
    bool optionsEnd = false;
    // Each option as spelt without its value: one given again would
    // otherwise silently undo the first.
    std::set<std::string> given;
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        if (optionsEnd || argument[0] != '-' || std::strcmp(argument, "-") == 0) {
            options.paths.push_back(argument);
            continue;
        }
        const std::string name(argument, std::strcspn(argument, "="));
        if (!given.insert(name).second) {
            return name + " given twice\n";
        }
        bool missing = false;
        if (std::strcmp(argument, "--") == 0) {
            optionsEnd = true;
        } else if (const char* rate = ValueOf("--to", i, argc, argv, missing)) {
            const std::string refusal = TargetRate(rate, options.job);
            if (!refusal.empty()) {
                return refusal;
            }
            to = true;
        } else if (missing) {
            return std::string(argument) + " needs a value\n";
        } else if (const char* output = ValueOf("-o", i, argc, argv, missing)) {
            options.output = output;
        } else if (missing) {
            return std::string(argument) + " needs a value\n";
        } else if (const char* timestamps = ValueOf("--timestamps-out", i, argc, argv, missing)) {
            options.timestampsOut = timestamps;
        } else if (missing) {
            return std::string(argument) + " needs a value\n";
        } else if (const char* timestamps = ValueOf("--timestamps-in", i, argc, argv, missing)) {
            options.timestampsIn = timestamps;
        } else if (missing) {
            return std::string(argument) + " needs a value\n";
        } else if (std::strcmp(argument, "--info") == 0) {
            options.info = true;
        } else if (std::strcmp(argument, "--json") == 0) {
            options.json = true;
        } else if (std::strcmp(argument, "--pictures") == 0) {
            options.pictures = true;
        } else if (std::strcmp(argument, "--undo") == 0) {
            undo = true;
            options.job.kind = JobKind::kUndo;
        } else if (std::strcmp(argument, "--help") == 0) {
            options.help = true;
        } else if (std::strcmp(argument, "--version") == 0) {
            options.version = true;
        } else {
            return std::string("unknown option ") + argument + " (ratefold --help lists them)\n";
        }
    }
    options.job.keepTiming = undo && options.timestampsOut != nullptr;
    if (to && undo) {
        return "--to and --undo don't go together\n";
    }
    if (options.json && !options.info) {
        return "--json goes with --info\n";
    }
    if (options.pictures && !options.info) {
        return "--pictures goes with --info\n";
    }
    if (options.output != nullptr && options.info) {
        return "-o doesn't go with --info\n";
    }
    if (options.output != nullptr && options.paths.size() > 1) {
        return "-o names the output of a single stream\n";
    }
    if (options.timestampsOut != nullptr && options.paths.size() > 1) {
        return "--timestamps-out names the timestamps of a single stream\n";
    }
    if (options.timestampsOut != nullptr && IsStandardStreamName(options.timestampsOut)) {
        return "--timestamps-out names a file, not -\n";
    }
    if (options.timestampsIn != nullptr && (undo || options.info)) {
        return "--timestamps-in goes with the default job or --to\n";
    }
    if (options.timestampsIn != nullptr && options.paths.size() > 1) {
        return "--timestamps-in names the timestamps of a single stream\n";
    }
    if (options.timestampsIn != nullptr && !to) {
        options.job.targetCode = kRate2997;  // the NTSC rate, whatever the stream's
    }
    if (options.output == nullptr && !options.info) {
        for (const char* path : options.paths) {
            if (std::strcmp(path, "-") == 0) {
                return "reading standard input needs -o: a file, or - for standard output\n";
            }
        }
    }
    return std::string();
}

std::string HelpText()
{
    return "USAGE: ratefold [OPTION]... STREAM...\n"
           "       ratefold --info [--json] [--pictures] [--timestamps-out FILE] [--to RATE] STREAM...\n"
           "Shows MPEG-2 and H.264 video elementary streams at another rate by rewriting headers; without\n"
           "options, 24 fps as 30 and 23.976 as 29.97 by 3:2 pulldown, into NAME_30i.EXT beside each.\n"
           "\n"
           "  --to RATE   show at RATE: 25, 29.97, 30 (fields repeated) or 50, 59.94, 60 (frames repeated)\n"
           "  --undo      take pulldown off: back to 23.976 or 24 fps film, two fields a picture (NAME_24p)\n"
           "  --info      tell what each stream is and what ratefold would do with it; write nothing\n"
           "  --json      with --info: one JSON object a stream, on standard output\n"
           "  --pictures  with --info: one line (JSON object) a picture, in display order\n"
           "  -o PATH     name the output of a single stream; - is standard output (and as a stream, input)\n"
           "  --timestamps-in FILE   show each picture at its time in FILE (mkvmerge's format v2 or v1),\n"
           "                         at 29.97 fps or at --to RATE\n"
           "  --timestamps-out FILE  write each picture's start to FILE (mkvmerge's format v2); with\n"
           "                         --undo, keep the timing of a hybrid's film and video\n"
           "  --help      print this help and exit\n"
           "  --version   print the version and exit\n"
           "  --          end of the options: every argument after it is a stream\n";
}
