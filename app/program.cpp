#include "app/program.h"

#include <cstdio>

#include "app/convert.h"
#include "app/file_access.h"
#include "app/info.h"
#include "app/options.h"

#ifndef RATEFOLD_VERSION
#define RATEFOLD_VERSION "unknown"
#endif

int RunProgram(int argc, char** argv)
{
    Options options;
    const std::string refusal = ParseOptions(argc, argv, options);
    if (!refusal.empty()) {
        HostPrintMessage(refusal + kUsage);
        return 1;
    }
    if (options.help || options.version) {
        const std::string text =
            options.help ? HelpText() : std::string("ratefold ") + RATEFOLD_VERSION + "\n";
        std::fputs(text.c_str(), stdout);
        return std::fflush(stdout) == 0 ? 0 : 1;
    }
    if (options.paths.empty()) {
        HostPrintMessage(kUsage);
        return 1;
    }
    if (options.info) {
        // Every stream is described; the status tells whether any could not
        // be read.
        int status = 0;
        for (const char* path : options.paths) {
            status |= DescribeFile(path, options);
        }
        return std::fflush(stdout) == 0 ? status : 1;
    }
    // The first file that fails ends the run: the files after it are not
    // touched.
    for (const char* path : options.paths) {
        const int status = ConvertFile(path, options.job, options.output, options.timestampsOut);
        if (status != 0) {
            return status;
        }
    }
    return 0;
}
