#include "app/convert.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "app/file_access.h"
#include "app/progress.h"
#include "naming/output_name.h"
#include "stream/fatal.h"
#include "stream/scanner.h"
#include "stream/start_codes.h"

namespace {

// Page alignment keeps the host's copies between the page cache and the
// buffer on their fast path.
constexpr std::size_t kWorkBufferAlignment = 4096;

struct WorkBufferDelete {
    void operator()(uint8_t* buffer) const
    {
        ::operator delete(buffer, std::align_val_t{kWorkBufferAlignment});
    }
};
using WorkBuffer = std::unique_ptr<uint8_t, WorkBufferDelete>;

WorkBuffer AllocateWorkBuffer()
{
    void* memory = ::operator new(kWorkBufferSize, std::align_val_t{kWorkBufferAlignment},
                                  std::nothrow);
    if (memory == nullptr) {
        Fatal("can't allocate work buffer\n");
    }
    return WorkBuffer(static_cast<uint8_t*>(memory));
}

int OpenSource(const char* path)
{
    const int input = FileOpenInput(path);
    if (input < 0) {
        Fatal("can't open %s\n", path);
    }
    return input;
}

int64_t TakeSourceSize(int input, const char* path)
{
    const int64_t size = FileSize(input);
    if (size == -2) {
        Fatal("can't read %s\n", path);
    }
    return size;  // -1: unknown, progress then shows 100.00
}

int OpenDestination(const char* path, int input)
{
    std::string outputName(path);
    MakeOutputName(outputName, HostIsLeadByte);
    const int output = FileOpenOutput(outputName.c_str(), input);
    if (output < 0) {
        Fatal("can't open output file\n");
    }
    return output;
}

// What the file functions below need to know of the conversion in progress.
struct FileEnds {
    int input;
    int output;
    const char* path;
    int64_t inputSize;
};

int32_t ReadFromInput(void* context, uint8_t* into, int32_t capacity)
{
    const FileEnds& ends = *static_cast<const FileEnds*>(context);
    const int64_t got = FileRead(ends.input, into, static_cast<std::size_t>(capacity));
    if (got < 0) {
        Fatal("can't read %s\n", ends.path);
    }
    return static_cast<int32_t>(got);
}

void WriteToOutput(void* context, const uint8_t* bytes, int32_t count)
{
    const FileEnds& ends = *static_cast<const FileEnds*>(context);
    if (!FileWrite(ends.output, bytes, static_cast<std::size_t>(count))) {
        Fatal("can't write output file\n");
    }
}

void ShowProgress(void* context, int64_t bytesDone)
{
    PrintProgress(bytesDone, static_cast<const FileEnds*>(context)->inputSize);
}

void CloseDestination(int output)
{
    if (!FileClose(output)) {
        Fatal("can't close output file\n");
    }
}

void CloseSource(int input, const char* path)
{
    if (!FileClose(input)) {
        Fatal("can't close %s\n", path);
    }
}

}  // namespace

// Reads land at the buffer's midpoint; the bytes the scanner held back sit
// just below it, so that they and the new bytes make one contiguous chunk.
void ConvertStream(ReadFunction read, WriteFunction write, ProgressFunction progress,
                   void* context)
{
    WorkBuffer buffer = AllocateWorkBuffer();
    uint8_t* const mid = buffer.get() + kReadSize;
    StreamCounters counters;
    int64_t bytesDone = 0;
    int32_t held = 0;

    for (int32_t got = read(context, mid, kReadSize); got != 0;
         got = read(context, mid, kReadSize)) {
        uint8_t* const chunk = mid - held;
        const int32_t length = held + got;
        const int32_t done = ScanChunk(chunk, length, counters);
        bytesDone += done;
        if (done > 0) {
            write(context, chunk, done);
        }
        held = length - done;
        // The held bytes lie above their new place: a forward copy is safe,
        // and memmove is too.
        std::memmove(mid - held, chunk + done, static_cast<std::size_t>(held));
        progress(context, bytesDone);
    }
    // The start of a start code that the input ended before naming is data
    // like any other; a header cut off by the end of the input is dropped.
    const int32_t tail = CountHeldBytesToWrite(mid - held, held);
    if (tail > 0) {
        write(context, mid - held, tail);
    }
}

void ConvertFile(const char* path)
{
    const int input = OpenSource(path);
    const int64_t inputSize = TakeSourceSize(input, path);
    const int output = OpenDestination(path, input);
    FileEnds ends = {input, output, path, inputSize};
    ConvertStream(ReadFromInput, WriteToOutput, ShowProgress, &ends);
    // Closed before the completion line: a failed close means the output may
    // be incomplete, and then the run must not look successful.
    CloseDestination(output);
    CloseSource(input, path);
    std::fprintf(stderr, "now working... %s end\n", path);
    std::fflush(stderr);
}
