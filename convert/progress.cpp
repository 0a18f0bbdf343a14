// The running percentage on standard error.
#include "convert/progress.h"

#include <cinttypes>
#include <cstdio>

ProgressFigures ComputeProgress(int64_t bytesDone, int64_t inputSize)
{
    if (inputSize <= 0 || bytesDone >= inputSize) {
        return {100, 0};
    }
    return {(bytesDone * 100) / inputSize, ((bytesDone * 10000) / inputSize) % 100};
}

std::string FormatProgress(int64_t bytesDone, int64_t inputSize)
{
    char line[64];
    if (inputSize < 0) {
        std::snprintf(line, sizeof line, "now working... %" PRId64 " bytes\r", bytesDone);
        return line;
    }
    const ProgressFigures figures = ComputeProgress(bytesDone, inputSize);
    std::snprintf(line, sizeof line, "now working... %3" PRId64 ".%02" PRId64 " %%\r", figures.whole,
                  figures.hundredths);
    return line;
}
