// The per-file driver: one input stream through the work buffer and the
// scanner into its "_30i" output.
#pragma once

#include <cstdint>

// Bytes per read, and the offset in the work buffer where every read lands.
constexpr int32_t kReadSize = 524288;
// The work buffer: held-back bytes sit just below its midpoint, reads above.
constexpr int32_t kWorkBufferSize = 2 * kReadSize;

// Converts one file. Does not return on failure: prints the message and ends
// the process with status 1.
void ConvertFile(const char* path);

// The ends of one conversion, each handed the caller's `context`. Each reports
// its own failure and then does not return.
// Reads up to `capacity` bytes into `into`; returns how many, 0 at the end.
using ReadFunction = int32_t (*)(void* context, uint8_t* into, int32_t capacity);
// Writes `count` bytes, at least one.
using WriteFunction = void (*)(void* context, const uint8_t* bytes, int32_t count);
// Told after each chunk how many bytes have been written so far.
using ProgressFunction = void (*)(void* context, int64_t bytesDone);

// The conversion loop of ConvertFile on any source and sink: reads until
// `read` returns 0, rewrites each chunk in place and writes what the scanner
// finished; bytes held back at the end of one chunk go in front of the next.
// Reads may return fewer bytes than asked for at any time.
void ConvertStream(ReadFunction read, WriteFunction write, ProgressFunction progress,
                   void* context);
