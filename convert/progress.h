// The running percentage shown after every chunk.
#pragma once

#include <cstdint>
#include <string>

struct ProgressFigures {
    int64_t whole;       // 0..100
    int64_t hundredths;  // 0..99
};

// Share of the input done, truncated to hundredths of a percent. A size of 0
// or less (unknown) or bytes done beyond it (the file grew while it was
// read) show 100.00. Exact for files up to 800 TiB.
ProgressFigures ComputeProgress(int64_t bytesDone, int64_t inputSize);

// "now working... %3d.%02d %\r" for the figures; for an input of unknown
// size (-1: a pipe), "now working... %d bytes\r".
std::string FormatProgress(int64_t bytesDone, int64_t inputSize);
