// The run over the named streams: options read, each stream converted or described, every message printed and the exit
// status set here.
#include "app/program.h"

#include <cstdio>
#include <utility>
#include <vector>

#include "convert/convert.h"
#include "host/file_access.h"
#include "app/info.h"
#include "options/options.h"
#include "stream/timeline.h"
#include "timing/timing.h"

#ifndef RATEFOLD_VERSION
#define RATEFOLD_VERSION "unknown"
#endif

namespace {

// A timestamp file is small, but a wrong name can lead to a film.
constexpr int64_t kMostTimestampBytes = int64_t{256} << 20;
constexpr std::size_t kTimestampReadBytes = 65536;

// Reads the timestamp file whole, before any stream: the message line that
// says why it cannot be read or what it holds is refused, or nothing.
std::string ReadTimeline(const char* path, int targetCode, Timeline& timeline)
{
    const int file = FileOpenInput(path);
    if (file < 0) {
        return std::string("can't read ") + path + "\n";
    }
    std::string text;
    std::vector<uint8_t> buffer(kTimestampReadBytes);
    int64_t got = 0;
    while ((got = FileRead(file, buffer.data(), buffer.size())) > 0) {
        text.append(reinterpret_cast<const char*>(buffer.data()), static_cast<std::size_t>(got));
        if (static_cast<int64_t>(text.size()) > kMostTimestampBytes) {
            FileClose(file);
            return std::string(path) + " is over 256 MiB: no timestamp file\n";
        }
    }
    if (!FileClose(file) || got < 0) {
        return std::string("can't read ") + path + "\n";
    }
    TimestampFile timestamps;
    const std::string refusal = ReadTimestamps(text, path, timestamps);
    if (refusal.empty()) {
        timeline = MakeTimeline(std::move(timestamps), path, targetCode);
    }
    return refusal;
}

}  // namespace

int RunProgram(int argc, char** argv)
{
    Options options;
    const std::string refusal = ParseOptions(argc, argv, options);
    if (!refusal.empty()) {
        HostPrintMessage(refusal + kUsage);
        return 1;
    }
    if (options.help || options.version) {
        const std::string text = options.help ? HelpText() : std::string("ratefold ") + RATEFOLD_VERSION + "\n";
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
    Timeline timeline;
    if (options.timestampsIn != nullptr) {
        const std::string failure = ReadTimeline(options.timestampsIn, options.job.targetCode, timeline);
        if (!failure.empty()) {
            HostPrintMessage(failure);
            return 1;
        }
        options.job.timeline = &timeline;
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
