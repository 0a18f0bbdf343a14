// The per-file driver: one input stream through the work buffer and the
// scanner into its "_30i" output.
#pragma once

#include <cstdint>

#include "stream/stream_counters.h"

// Bytes per read, and the offset in the work buffer where every read lands.
constexpr int32_t kReadSize = 524288;
// The work buffer: held-back bytes sit just below its midpoint, reads above.
constexpr int32_t kWorkBufferSize = 2 * kReadSize;

// Converts one file into its output, all or nothing: the output appears
// under its name only when the whole stream is converted, and a failure
// leaves whatever was there before. Prints the completion line, or the
// reason and a line naming the file. Returns the exit status, 0 or 1.
int ConvertFile(const char* path);

// The ends of one conversion, each handed the caller's `context`.
// Reads up to `capacity` bytes into `into`; returns how many, 0 at the end,
// -1 if reading failed.
using ReadFunction = int32_t (*)(void* context, uint8_t* into, int32_t capacity);
// Writes `count` bytes, at least one; false if writing failed.
using WriteFunction = bool (*)(void* context, const uint8_t* bytes, int32_t count);
// Told after each chunk how many bytes have been written so far.
using ProgressFunction = void (*)(void* context, int64_t bytesDone);

// How a conversion loop ended.
enum class StreamEnd {
    kFinished,       // the whole input is converted and written
    kRefused,        // counters.refusal says why
    kReadFailed,
    kWriteFailed,
    kNoWorkBuffer,   // no memory for the work buffer
};

// The conversion loop of ConvertFile on any source and sink: reads until
// `read` returns 0, rewrites each chunk in place and writes what the scanner
// finished; bytes held back at the end of one chunk go in front of the next,
// and are written as they are when the input ends. Reads may return fewer
// bytes than asked for at any time. Stops at the first refusal or failure;
// nothing of the chunk in which a refusal arose is written.
StreamEnd ConvertStream(ReadFunction read, WriteFunction write, ProgressFunction progress,
                        void* context, StreamCounters& counters);
