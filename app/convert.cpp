#include "app/convert.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "app/file_access.h"
#include "app/progress.h"
#include "naming/output_name.h"
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
    return WorkBuffer(static_cast<uint8_t*>(::operator new(
        kWorkBufferSize, std::align_val_t{kWorkBufferAlignment}, std::nothrow)));
}

#if defined(__GNUC__)
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
#endif

std::string Format(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text(static_cast<std::size_t>(length > 0 ? length : 0), '\0');
    std::vsnprintf(&text[0], text.size() + 1, format, again);
    va_end(again);
    return text;
}

// One file's conversion: what each step opens, and what the one place that
// reports a failure must close and remove.
struct FileJob {
    InputStream source;
    const char* path = nullptr;
    const char* outputPath = nullptr;  // null: beside the input, under its tag
    int output = -1;
    bool standardOutput = false;
    std::string outputName;
    std::string temporaryPath;
    StreamCounters counters;
};

// The classic job's tag, and one for each rate shown.
const char* const kClassicTag = "_30i";

// Each step of a file's life returns what went wrong, as the message line
// to print, or nothing.
// The output goes to a new temporary file beside it, renamed once complete;
// standard output is written as the stream goes.
std::string OpenDestination(FileJob& job)
{
    if (job.outputPath != nullptr && IsStandardStream(job.outputPath)) {
        job.standardOutput = true;
        job.output = FileOpenStandardOutput();
        return job.output < 0 ? "can't write a stream to a terminal\n" : std::string();
    }
    job.outputName = job.path;
    if (job.outputPath != nullptr) {
        job.outputName = job.outputPath;
    } else {
        MakeOutputName(job.outputName, OutputTag(job.counters.job), HostIsLeadByte);
    }
    if (!FileOutputNameUsable(job.outputName.c_str(), job.source.file)) {
        return "can't open output file\n";
    }
    // The output is as long as the input.
    job.output = FileCreateTemporary(job.outputName.c_str(), job.source.size, job.temporaryPath);
    if (job.output < 0) {
        return "can't open output file\n";
    }
    return std::string();
}

bool WriteToOutput(void* context, const uint8_t* bytes, int32_t count)
{
    const FileJob& job = *static_cast<const FileJob*>(context);
    return FileWrite(job.output, bytes, static_cast<std::size_t>(count));
}

// Standard output cannot go back to a byte once written.
bool PatchOutput(void* context, int64_t offset, uint8_t value)
{
    const FileJob& job = *static_cast<const FileJob*>(context);
    return !job.standardOutput && FileWriteAt(job.output, offset, &value, 1);
}

void ShowProgress(void* context, int64_t bytesDone)
{
    HostPrintMessage(FormatProgress(bytesDone, static_cast<const FileJob*>(context)->source.size));
}

std::string TransferStream(FileJob& job)
{
    const auto read = [](void* context, uint8_t* into, int32_t capacity) {
        return ReadInputStream(&static_cast<FileJob*>(context)->source, into, capacity);
    };
    const StreamEnds ends = {read, WriteToOutput, PatchOutput, ShowProgress, &job};
    switch (ConvertStream(ends, job.counters)) {
    case StreamEnd::kFinished:
        return std::string();
    case StreamEnd::kRefused:
        return DescribeRefusal(job.counters);
    case StreamEnd::kReadFailed:
        return Format("can't read %s\n", job.path);
    case StreamEnd::kWriteFailed:
        return "can't write output file\n";
    case StreamEnd::kPatchFailed:
        return job.standardOutput ? "can't mend flags already written to standard output (a GOP lacks "
                                    "pictures): write to a file instead\n"
                                  : "can't write output file\n";
    case StreamEnd::kNoWorkBuffer:
        return "can't allocate work buffer\n";
    }
    return std::string();
}

// A failed close means the output may be incomplete: the run must not look
// successful then, so both files are closed before the output takes its
// name.
std::string CloseFiles(FileJob& job)
{
    const bool outputClosed = FileClose(job.output);
    job.output = -1;
    const bool inputClosed = FileClose(job.source.file);
    job.source.file = -1;
    if (!outputClosed) {
        return "can't close output file\n";
    }
    if (!inputClosed) {
        return Format("can't close %s\n", job.path);
    }
    return std::string();
}

std::string CommitDestination(FileJob& job)
{
    if (job.standardOutput) {
        return std::string();
    }
    if (!FileCommitTemporary(job.temporaryPath, job.outputName.c_str())) {
        return "can't write output file\n";
    }
    job.temporaryPath.clear();
    return std::string();
}

// The one place that reports how a file ended: on a failure it prints the
// reason and a line naming the file, closes what is open and removes the
// temporary output, so that nothing is left but what was there before.
int FinishFile(FileJob& job, const std::string& failure)
{
    if (failure.empty()) {
        // Taking pulldown off, the cadence breaks found on the way (edits,
        // usually) are told.
        const std::string breaks =
            job.counters.job.kind == JobKind::kUndo
                ? Format("cadence breaks: %llu\n", static_cast<unsigned long long>(job.counters.display.breaks32))
                : std::string();
        HostPrintMessage(breaks + Format("now working... %s end\n", job.path));
        return 0;
    }
    if (job.output >= 0) {
        FileClose(job.output);
    }
    if (job.source.file >= 0) {
        FileClose(job.source.file);
    }
    if (!job.temporaryPath.empty()) {
        FileDiscardTemporary(job.temporaryPath);
    }
    HostPrintMessage(failure + Format("now working... %s failed\n", job.path));
    return 1;
}

}  // namespace

bool IsStandardStream(const char* path)
{
    return std::strcmp(path, "-") == 0;
}

std::string OpenInputStream(InputStream& input)
{
    if (IsStandardStream(input.path)) {
        input.file = FileOpenStandardInput(input.size);
        input.piped = input.size < 0;
    } else {
        input.file = FileOpenInput(input.path);
        input.size = input.file < 0 ? -1 : FileSize(input.file);
    }
    if (input.file < 0) {
        return Format("can't open %s\n", input.path);
    }
    if (input.size == -2) {
        return Format("can't read %s\n", input.path);
    }
    return std::string();
}

// A pipe gives what it holds at the moment: it is read until the buffer is
// full, so that chunks, writes and progress lines come as from a file.
int32_t ReadInputStream(void* context, uint8_t* into, int32_t capacity)
{
    const InputStream& input = *static_cast<const InputStream*>(context);
    int32_t got = 0;
    do {
        const int64_t read = FileRead(input.file, into + got, static_cast<std::size_t>(capacity - got));
        if (read < 0) {
            return -1;
        }
        if (read == 0) {
            break;
        }
        got += static_cast<int32_t>(read);
    } while (input.piped && got < capacity);
    return got;
}

const char* OutputTag(const Job& job)
{
    if (job.kind == JobKind::kUndo) {
        return "_24p";
    }
    switch (job.targetCode) {
    case kRate25:
        return "_25i";
    case kRate50:
        return "_50p";
    case kRate5994:
    case kRate60:
        return "_60p";
    default:
        return kClassicTag;  // 29.97 and 30, as the classic job
    }
}

namespace {

// Mends the bytes written before that the end of a GOP showed to be wrong.
bool ApplyPatches(const StreamEnds& ends, StreamCounters& counters)
{
    for (const Patch& patch : counters.patches) {
        if (!ends.patch(ends.context, patch.offset, patch.value)) {
            return false;
        }
    }
    counters.patches.clear();
    return true;
}

}  // namespace

// Reads land at the buffer's midpoint; the bytes the scanner held back sit
// just below it, so that they and the new bytes make one contiguous chunk.
StreamEnd ConvertStream(const StreamEnds& ends, StreamCounters& counters)
{
    WorkBuffer buffer = AllocateWorkBuffer();
    if (!buffer) {
        return StreamEnd::kNoWorkBuffer;
    }
    uint8_t* const mid = buffer.get() + kReadSize;
    int64_t bytesDone = 0;
    int32_t held = 0;

    for (;;) {
        const int32_t got = ends.read(ends.context, mid, kReadSize);
        if (got < 0) {
            return StreamEnd::kReadFailed;
        }
        if (got == 0) {
            break;
        }
        uint8_t* const chunk = mid - held;
        const int32_t length = held + got;
        const int32_t done = ScanChunk(chunk, length, counters);
        if (counters.refusal != Refusal::kNone) {
            return StreamEnd::kRefused;
        }
        bytesDone += done;
        if (done > 0 && !ends.write(ends.context, chunk, done)) {
            return StreamEnd::kWriteFailed;
        }
        if (!ApplyPatches(ends, counters)) {
            return StreamEnd::kPatchFailed;
        }
        held = length - done;
        // The held bytes lie above their new place: a forward copy is safe,
        // and memmove is too.
        std::memmove(mid - held, chunk + done, static_cast<std::size_t>(held));
        ends.progress(ends.context, bytesDone);
    }
    // A header cut off by the end of the input is kept as it is: the output
    // is exactly as long as the input.
    FinishStream(counters);
    if (counters.refusal != Refusal::kNone) {
        return StreamEnd::kRefused;
    }
    if (held > 0 && !ends.write(ends.context, mid - held, held)) {
        return StreamEnd::kWriteFailed;
    }
    return ApplyPatches(ends, counters) ? StreamEnd::kFinished : StreamEnd::kPatchFailed;
}

int ConvertFile(const char* path, const Job& streamJob, const char* outputPath)
{
    FileJob job;
    job.source.path = path;
    job.path = path;
    job.outputPath = outputPath;
    job.counters.job = streamJob;
    std::string failure = OpenInputStream(job.source);
    if (failure.empty()) {
        failure = OpenDestination(job);
    }
    if (failure.empty()) {
        failure = TransferStream(job);
    }
    if (failure.empty()) {
        failure = CloseFiles(job);
    }
    if (failure.empty()) {
        failure = CommitDestination(job);
    }
    return FinishFile(job, failure);
}
