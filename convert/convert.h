// The per-file driver: one input stream through the work buffer and the
// scanner into its "_30i" output.
#pragma once

#include <cstdint>
#include <string>

#include "stream/stream_counters.h"

// Bytes per read, and the offset in the work buffer where every read lands.
constexpr int32_t kReadSize = 524288;
// The work buffer: held-back bytes sit just below its midpoint, reads above.
constexpr int32_t kWorkBufferSize = 2 * kReadSize;

// Converts one file for the job into its output, all or nothing: the output
// appears under its name only when the whole stream is converted, and a
// failure leaves whatever was there before. Prints the completion line, or
// the reason and a line naming the file. Returns the exit status, 0 or 1.
// outputPath names the output (null: beside the input, under the job's
// tag); "-" as either is standard input or output. Standard output is
// written as the stream goes: a refusal part-way leaves the reader with the
// bytes before it.
// timestampsPath, if not null, receives each picture's start time in the
// output (mkvmerge's timestamp format v2), written once the output has its
// name.
int ConvertFile(const char* path, const Job& job, const char* outputPath, const char* timestampsPath = nullptr);

// True for "-", which names standard input or output.
bool IsStandardStream(const char* path);

// One input stream: a regular file, or standard input ("-").
struct InputStream {
    const char* path = nullptr;
    int file = -1;
    int64_t size = -1;   // -1: unknown (a pipe)
    bool piped = false;  // standard input that is no regular file
    int64_t bytesRead = 0;
};

// Opens the input: the message line that says why it cannot be, or nothing.
std::string OpenInputStream(InputStream& input);

// A ReadFunction on an InputStream (the context). An input that ends before
// the size it had when it was opened (it shrank while it was read) is a
// failed read; one that grew is read to its end.
int32_t ReadInputStream(void* context, uint8_t* into, int32_t capacity);

// The tag the output's name gets in front of the extension: "_30i" for the
// classic job, "_25i", "_50p", "_60p" by the rate shown, "_24p" taking
// pulldown off.
const char* OutputTag(const Job& job);

// The ends of one conversion, each handed the caller's `context`.
// Reads up to `capacity` bytes into `into`; returns how many, 0 at the end,
// -1 if reading failed.
using ReadFunction = int32_t (*)(void* context, uint8_t* into, int32_t capacity);
// Writes `count` bytes, at least one; false if writing failed.
using WriteFunction = bool (*)(void* context, const uint8_t* bytes, int32_t count);
// Changes one byte already written, at its offset from the first; false if
// it could not.
using PatchFunction = bool (*)(void* context, int64_t offset, uint8_t value);
// Told after each chunk how many bytes have been written so far.
using ProgressFunction = void (*)(void* context, int64_t bytesDone);

// How a conversion loop ended.
enum class StreamEnd {
    kFinished,  // the whole input is converted and written
    kRefused,   // counters.refusal says why
    kReadFailed,
    kWriteFailed,
    kPatchFailed,   // a byte already written could not be mended
    kNoWorkBuffer,  // no memory for the work buffer
};

// The ends of one conversion loop, each handed `context`.
struct StreamEnds {
    ReadFunction read;
    WriteFunction write;
    PatchFunction patch;
    ProgressFunction progress;
    void* context;
};

// The conversion loop of ConvertFile on any source and sink, for the job in
// counters: reads until `read` returns 0, rewrites each chunk in place and
// writes what the scanner finished; bytes held back at the end of one chunk
// go in front of the next, and are written as they are when the input ends.
// Bytes already written that the end of a GOP shows to be wrong are mended
// with `patch`. Reads may return fewer bytes than asked for at any time.
// Stops at the first refusal or failure; nothing of the chunk in which a
// refusal arose is written.
StreamEnd ConvertStream(const StreamEnds& ends, StreamCounters& counters);
