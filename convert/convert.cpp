// The per-file driver: open the input and the output, read, scan or convert, write, and close, every step checked.
#include "convert/convert.h"

#include <algorithm>
#include <bitset>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "host/file_access.h"
#include "convert/picture_times.h"
#include "convert/progress.h"
#include "avc/avc_stream.h"
#include "naming/output_name.h"
#include "stream/display_order.h"
#include "stream/scanner.h"
#include "stream/start_codes.h"

namespace {

// Page alignment keeps the host's copies between the page cache and the
// buffer on their fast path.
constexpr std::size_t kWorkBufferAlignment = 4096;

struct WorkBufferDelete {
    void operator()(uint8_t* buffer) const
    {
        ::operator delete (buffer, std::align_val_t{kWorkBufferAlignment});
    }
};
using WorkBuffer = std::unique_ptr<uint8_t, WorkBufferDelete>;

WorkBuffer AllocateWorkBuffer()
{
    return WorkBuffer(
        static_cast<uint8_t*>(::operator new (kWorkBufferSize, std::align_val_t{kWorkBufferAlignment}, std::nothrow)));
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

// Where the output starts as a clone of the input, sharing its blocks, only
// the blocks that an edit changes are written: whole, aligned, from the
// bytes already read, since a write of a few bytes into a shared block
// makes the filesystem read the block back first.
constexpr int64_t kBlockBytes = 4096;
// The most blocks one write can touch: a chunk and the block begun before.
constexpr int64_t kMostBlocks = kWorkBufferSize / kBlockBytes + 2;

struct BlockWriter {
    bool cloned = false;
    int64_t clonedLength = 0;  // bytes the clone holds: the stream's length
    int64_t handed = 0;        // stream bytes handed to the writer so far
    // The block being filled, from its first byte up to `handed`: written
    // once it is whole (or the stream ends) if anything in it changed.
    uint8_t carry[kBlockBytes];
    int32_t carryLength = 0;
    bool carryChanged = false;
};

// Standard output cannot go back to a byte once written, so the bytes from
// the current GOP's first picture on wait until the GOP has ended and its
// flags are final; a GOP longer than this is let go as it stands, and a
// mend of it later fails.
constexpr std::size_t kMostWaitingBytes = std::size_t{64} << 20;

// A new output's bytes are handed to the disk every so many written.
constexpr int64_t kWritebackBytes = int64_t{8} << 20;

struct WaitingBytes {
    std::vector<uint8_t> bytes;
    int64_t start = 0;  // stream offset of bytes[0]
};

// One file's conversion: what each step opens, and what the one place that
// reports a failure must close and remove.
struct FileJob {
    InputStream source;  // its path is the file's name in every message
    // Where the output is a clone, the clone read in place of the input: the
    // input as it was when cloned, whatever rewrites the input meanwhile
    // (and the reads stay ahead of the writes, which touch only bytes read).
    InputStream snapshot;
    const char* outputPath = nullptr;  // null: beside the input, under its tag
    int output = -1;
    // Written as a stream, as it goes: standard output, or a device or FIFO
    // named with -o.
    bool standardOutput = false;
    std::string outputName;  // "-" for standard output
    int outputError = 0;     // the system's reason for the output's failure
    std::string temporaryPath;
    StreamCounters counters;
    BlockWriter blocks;
    WaitingBytes waiting;
    // Bytes written into a new output, and how far its writing to the disk
    // has been started.
    int64_t written = 0;
    int64_t writebackFrom = 0;
    // --timestamps-out: the file, and the pictures' times as the output
    // shows them.
    const char* timestampsPath = nullptr;
    PictureTimes times;
};

// The classic job's tag, and one for each rate shown.
const char* const kClassicTag = "_30i";

// Each step of a file's life (OpenInputStream, OpenDestination,
// TransferStream, CloseFiles, CommitDestination) returns what went wrong, as
// the message line to print, or nothing.

const char kCantOpenOutput[] = "can't open output file\n";
const char kCantWriteOutput[] = "can't write output file\n";

// The message of a failed open, write or close of the output, then a line
// naming it with the system's reason, taken at the call that failed.
std::string OutputFailure(const FileJob& job, const char* message)
{
    return message + Format("ratefold: %s: %s\n", job.outputName.c_str(), FileErrorText(job.outputError).c_str());
}

// Standard output, or a device or FIFO: written as the stream goes, unless
// it is a terminal, or the input itself (which it would grow without end).
std::string OpenStream(FileJob& job, bool standard)
{
    job.standardOutput = true;
    if (standard) {
        job.output = FileOpenStandardOutput();
        if (job.output < 0) {
            return "can't write a stream to a terminal\n";
        }
    } else {
        job.output = FileOpenOutputStream(job.outputName.c_str());
        if (job.output < 0) {
            job.outputError = FileLastError();
            return OutputFailure(job, kCantOpenOutput);
        }
        if (FileIsTerminal(job.output)) {
            return "can't write a stream to a terminal\n";
        }
    }
    if (FileSameRegularFile(job.output, job.source.file)) {
        return Format("can't write the output onto its own input %s\n", job.source.path);
    }
    return std::string();
}

// What a regular file's first bytes say it holds, read through a handle of
// its own: an MPEG-2 stream when they cannot be read.
InputKind KindOfFile(const char* path)
{
    constexpr std::size_t kFirstBytes = kRecognizedBytes;
    uint8_t first[kFirstBytes];
    const int file = FileOpenInput(path);
    if (file < 0) {
        return InputKind::kMpegVideo;
    }
    std::size_t got = 0;
    int64_t read = 0;
    while (got < kFirstBytes && (read = FileRead(file, first + got, kFirstBytes - got)) > 0) {
        got += static_cast<std::size_t>(read);
    }
    FileClose(file);
    return RecognizeInput(first, got);
}

// The output goes to a new temporary file beside it, renamed once complete;
// standard output, and a device or FIFO named with -o, are written as the
// stream goes.
std::string OpenDestination(FileJob& job)
{
    job.outputName = job.source.path;
    if (job.outputPath != nullptr) {
        job.outputName = job.outputPath;
    } else {
        MakeOutputName(job.outputName, OutputTag(job.counters.job), HostIsLeadByte);
    }
    if (job.outputPath != nullptr && IsStandardStream(job.outputPath)) {
        return OpenStream(job, true);
    }
    const OutputTarget target = FileOutputTarget(job.outputName.c_str(), job.source.file, job.outputPath != nullptr);
    switch (target) {
    case OutputTarget::kStream:
    case OutputTarget::kStandardOutput:
        return OpenStream(job, target == OutputTarget::kStandardOutput);
    case OutputTarget::kInput:
        return Format("can't write the output onto its own input %s\n", job.source.path);
    case OutputTarget::kRefused:
        return kCantOpenOutput + Format("ratefold: %s: not a regular file\n", job.outputName.c_str());
    case OutputTarget::kFile:
        break;
    }
    job.output = FileCreateTemporary(job.outputName.c_str(), job.temporaryPath);
    if (job.output < 0) {
        job.outputError = FileLastError();
        return OutputFailure(job, kCantOpenOutput);
    }
    // Standard input is read from where it stands, which a clone would not
    // know; an H.264 stream changes length, and is written whole.
    job.blocks.clonedLength = IsStandardStream(job.source.path) || KindOfFile(job.source.path) != InputKind::kMpegVideo
                                  ? -1
                                  : FileClone(job.output, job.source.file);
    job.blocks.cloned = job.blocks.clonedLength >= 0;
    job.counters.trackEdits = job.blocks.cloned;
    if (!job.blocks.cloned) {
        FileReserveRoom(job.output, job.source.size);  // the output is as long as the input
        return std::string();
    }
    job.snapshot.path = job.source.path;
    job.snapshot.file = job.output;
    job.snapshot.size = job.blocks.clonedLength;
    job.source.size = job.blocks.clonedLength;  // what the progress counts to
    return std::string();
}

// The bytes [handed, handed + count) of the stream, into a clone: each
// whole block that an edit of this chunk changed is written; the block left
// unfinished waits in the carry. The stream is read from the clone, so
// every byte handed is one the clone holds.
bool WriteChangedBlocks(FileJob& job, const uint8_t* bytes, int32_t count)
{
    BlockWriter& w = job.blocks;
    const int64_t start = w.handed - w.carryLength;  // a block's first byte
    const int64_t end = w.handed + count;
    std::bitset<kMostBlocks> changed;
    changed[0] = w.carryChanged;
    for (const EditedBytes& edit : job.counters.edits) {
        for (int64_t k = (edit.offset - start) / kBlockBytes;
             k <= (edit.offset + edit.length - 1 - start) / kBlockBytes; ++k) {
            changed[static_cast<std::size_t>(k)] = true;
        }
    }
    job.counters.edits.clear();
    const int64_t whole = (end - start) / kBlockBytes;
    for (int64_t k = 0; k < whole; ++k) {
        if (!changed[static_cast<std::size_t>(k)]) {
            continue;
        }
        const uint8_t* block = bytes + (k * kBlockBytes - w.carryLength);
        if (k == 0 && w.carryLength > 0) {
            std::memcpy(w.carry + w.carryLength, bytes, static_cast<std::size_t>(kBlockBytes - w.carryLength));
            block = w.carry;
        }
        if (!FileWriteAt(job.output, start + k * kBlockBytes, block, kBlockBytes)) {
            return false;
        }
    }
    const int64_t restStart = start + whole * kBlockBytes;
    const auto restLength = static_cast<int32_t>(end - restStart);
    if (whole == 0) {
        std::memcpy(w.carry + w.carryLength, bytes, static_cast<std::size_t>(count));
    } else {
        std::memcpy(w.carry, bytes + (restStart - w.handed), static_cast<std::size_t>(restLength));
    }
    w.carryLength = restLength;
    w.carryChanged = restLength > 0 && changed[static_cast<std::size_t>(whole)];
    w.handed = end;
    return true;
}

// Lets go the waiting bytes before `until` (a stream offset). Once a long
// GOP has been let go as it stands, its first picture lies before the bytes
// still waiting: nothing more of them is let go then until they too are
// over the limit.
bool LetGo(FileJob& job, int64_t until)
{
    WaitingBytes& w = job.waiting;
    const auto count =
        static_cast<std::size_t>(std::clamp<int64_t>(until - w.start, 0, static_cast<int64_t>(w.bytes.size())));
    if (count == 0) {
        return true;
    }
    if (!FileWrite(job.output, w.bytes.data(), count)) {
        return false;
    }
    w.bytes.erase(w.bytes.begin(), w.bytes.begin() + static_cast<std::ptrdiff_t>(count));
    w.start += static_cast<int64_t>(count);
    return true;
}

bool WriteBytes(FileJob& job, const uint8_t* bytes, int32_t count)
{
    if (job.blocks.cloned) {
        return WriteChangedBlocks(job, bytes, count);
    }
    if (!job.standardOutput) {
        if (!FileWrite(job.output, bytes, static_cast<std::size_t>(count))) {
            return false;
        }
        // The disk takes the output while the rest is converted.
        job.written += count;
        if (job.written - job.writebackFrom >= kWritebackBytes) {
            FileStartWriteback(job.output, job.writebackFrom, job.written - job.writebackFrom);
            job.writebackFrom = job.written;
        }
        return true;
    }
    WaitingBytes& w = job.waiting;
    w.bytes.insert(w.bytes.end(), bytes, bytes + count);
    const int64_t end = w.start + static_cast<int64_t>(w.bytes.size());
    return LetGo(job, w.bytes.size() > kMostWaitingBytes ? end : MendableFrom(job.counters));
}

// Each way of writing returns at once from the call that failed: the
// system's reason is still to be had here.
bool WriteToOutput(void* context, const uint8_t* bytes, int32_t count)
{
    FileJob& job = *static_cast<FileJob*>(context);
    if (!WriteBytes(job, bytes, count)) {
        job.outputError = FileLastError();
        return false;
    }
    return true;
}

// A byte not yet written is mended where it waits: in a clone's unfinished
// block, or among the bytes kept back from standard output, which cannot
// go back to one written.
bool PatchOutput(void* context, int64_t offset, uint8_t value)
{
    FileJob& job = *static_cast<FileJob*>(context);
    BlockWriter& w = job.blocks;
    const int64_t carryStart = w.handed - w.carryLength;
    if (w.cloned && offset >= carryStart) {
        w.carry[offset - carryStart] = value;
        w.carryChanged = true;
        return true;
    }
    if (job.standardOutput) {
        WaitingBytes& waiting = job.waiting;
        const bool kept = offset >= waiting.start;
        if (kept) {
            waiting.bytes[static_cast<std::size_t>(offset - waiting.start)] = value;
        }
        return kept;
    }
    if (!FileWriteAt(job.output, offset, &value, 1)) {
        job.outputError = FileLastError();
        return false;
    }
    return true;
}

void ShowProgress(void* context, int64_t bytesDone)
{
    FileJob& job = *static_cast<FileJob*>(context);
    TakeShownPictures(job.times, job.counters);
    HostPrintMessage(FormatProgress(bytesDone, job.source.size));
}

// The timestamp file must be a file of its own: not the input, not the
// output, nothing that is no regular file. Told before anything is written.
std::string CheckTimestampsPath(const FileJob& job)
{
    const char* path = job.timestampsPath;
    if (path == nullptr) {
        return std::string();
    }
    const OutputTarget target = FileOutputTarget(path, job.source.file, false);
    const char* reason = target == OutputTarget::kInput                  ? "it is the input"
                         : target != OutputTarget::kFile                 ? "not a regular file"
                         : !job.standardOutput && job.outputName == path ? "it is the output"
                                                                         : nullptr;
    return reason == nullptr ? std::string() : Format("can't write timestamps file\nratefold: %s: %s\n", path, reason);
}

// Once the stream has its name: its pictures' times, all or nothing. Taking
// pulldown off, film and video each keep their own timing.
std::string WriteTimestamps(FileJob& job)
{
    if (job.timestampsPath == nullptr) {
        return std::string();
    }
    TakeShownPictures(job.times, job.counters);
    if (job.counters.job.kind == JobKind::kUndo) {
        KeepTimesOfFilmAndVideo(job.times, job.counters.frameRateCode);
    }
    return WriteWholeFile(job.timestampsPath, WriteTimestampsV2(TimesWithEnd(job.times)), -1);
}

std::string TransferStream(FileJob& job)
{
    const auto read = [](void* context, uint8_t* into, int32_t capacity) {
        FileJob& job = *static_cast<FileJob*>(context);
        return ReadInputStream(job.blocks.cloned ? &job.snapshot : &job.source, into, capacity);
    };
    const StreamEnds ends = {read, WriteToOutput, PatchOutput, ShowProgress, &job};
    switch (ConvertStream(ends, job.counters)) {
    case StreamEnd::kFinished:
        return std::string();
    case StreamEnd::kRefused:
        return DescribeRefusal(job.counters);
    case StreamEnd::kReadFailed:
        return Format("can't read %s\n", job.source.path);
    case StreamEnd::kWriteFailed:
        return OutputFailure(job, kCantWriteOutput);
    case StreamEnd::kPatchFailed:
        return job.standardOutput ? "can't mend flags already written to standard output (a GOP lacks "
                                    "pictures): write to a file instead\n"
                                  : OutputFailure(job, kCantWriteOutput);
    case StreamEnd::kNoWorkBuffer:
        return "can't allocate work buffer\n";
    }
    return std::string();
}

// A failed close means the output may be incomplete: the run must not look
// successful then, so both files are closed before the output takes its
// name. A clone's last block, if it changed, is written first, and then
// the file is flushed, so that the name never comes to the disk before the
// bytes (a crash would leave the new name on a file without them). A
// stream gets no flush: its reader decides what to keep.
std::string CloseFiles(FileJob& job)
{
    if (job.standardOutput && !LetGo(job, INT64_MAX)) {
        job.outputError = FileLastError();
        return OutputFailure(job, kCantWriteOutput);
    }
    const BlockWriter& w = job.blocks;
    if (w.cloned && w.carryChanged &&
        !FileWriteAt(job.output, w.handed - w.carryLength, w.carry, static_cast<std::size_t>(w.carryLength))) {
        job.outputError = FileLastError();
        return OutputFailure(job, kCantWriteOutput);
    }
    if (!job.standardOutput && !FileFlush(job.output)) {
        job.outputError = FileLastError();
        return OutputFailure(job, kCantWriteOutput);
    }
    const bool outputClosed = FileClose(job.output);
    job.outputError = outputClosed ? 0 : FileLastError();
    job.output = -1;
    const bool inputClosed = FileClose(job.source.file);
    job.source.file = -1;
    if (!outputClosed) {
        return OutputFailure(job, "can't close output file\n");
    }
    if (!inputClosed) {
        return Format("can't close %s\n", job.source.path);
    }
    return std::string();
}

std::string CommitDestination(FileJob& job)
{
    if (job.standardOutput) {
        return std::string();
    }
    const Commit commit = FileCommitTemporary(job.temporaryPath, job.outputName.c_str());
    if (commit == Commit::kNotRenamed) {
        job.outputError = FileLastError();
        return OutputFailure(job, kCantWriteOutput);
    }
    job.temporaryPath.clear();
    if (commit != Commit::kDone) {
        // Renamed, but its folder was not flushed: kept, and reported.
        job.outputError = FileLastError();
        return OutputFailure(job, kCantWriteOutput);
    }
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
        HostPrintMessage(breaks + Format("now working... %s end\n", job.source.path));
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
    HostPrintMessage(failure + Format("now working... %s failed\n", job.source.path));
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
        if (input.file >= 0 && FileIsTerminal(input.file)) {
            return "can't read a stream from a terminal\n";  // not wait for one to be typed
        }
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
    InputStream& input = *static_cast<InputStream*>(context);
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
    input.bytesRead += got;
    return got == 0 && input.bytesRead < input.size ? -1 : got;
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

// An H.264 stream, whose first `got` bytes are at `buffer`: its length
// changes, so the output is written as the converter gives it, never
// mended. A clone of the input cannot take it: the input has changed
// since it was found to be an MPEG-2 stream.
StreamEnd ConvertAvcStream(const StreamEnds& ends, StreamCounters& counters, uint8_t* buffer, int32_t got)
{
    if (counters.trackEdits) {
        return StreamEnd::kReadFailed;
    }
    auto converter = std::make_unique<AvcConverter>();
    // Long slices are written from where the converter holds them.
    StreamEnds sinkEnds = ends;
    converter->sink.context = &sinkEnds;
    converter->sink.write = [](void* context, const uint8_t* bytes, std::size_t count) {
        const StreamEnds& to = *static_cast<const StreamEnds*>(context);
        return to.write(to.context, bytes, static_cast<int32_t>(count));
    };
    std::vector<uint8_t> out;
    int64_t bytesDone = 0;
    const auto write = [&] {
        const bool written = !converter->sink.failed &&
                             (out.empty() || ends.write(ends.context, out.data(), static_cast<int32_t>(out.size())));
        out.clear();
        return written;
    };
    while (got > 0) {
        AvcTake(*converter, buffer, static_cast<std::size_t>(got), counters, out);
        if (counters.refusal != Refusal::kNone) {
            return StreamEnd::kRefused;
        }
        if (!write()) {
            return StreamEnd::kWriteFailed;
        }
        bytesDone += got;
        ends.progress(ends.context, bytesDone);
        got = ends.read(ends.context, buffer, kReadSize);
    }
    if (got < 0) {
        return StreamEnd::kReadFailed;
    }
    AvcFinish(*converter, counters, out);
    if (counters.refusal == Refusal::kNone) {
        FinishStream(counters);
    }
    if (counters.refusal != Refusal::kNone) {
        return StreamEnd::kRefused;
    }
    return write() ? StreamEnd::kFinished : StreamEnd::kWriteFailed;
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

    for (bool first = true;; first = false) {
        int32_t got = ends.read(ends.context, mid, kReadSize);
        // The kind of stream is told from its first bytes, however few
        // the first read gives.
        for (int32_t more = got; first && more > 0 && got < static_cast<int32_t>(kRecognizedBytes); got += more) {
            more = ends.read(ends.context, mid + got, kReadSize - got);
            if (more < 0) {
                return StreamEnd::kReadFailed;
            }
        }
        if (got < 0) {
            return StreamEnd::kReadFailed;
        }
        if (got == 0) {
            break;
        }
        if (first) {
            switch (RecognizeInput(mid, static_cast<std::size_t>(got))) {
            case InputKind::kAvc:
                return ConvertAvcStream(ends, counters, mid, got);
            case InputKind::kHevc:
                counters.refusal = Refusal::kHevc;
                return StreamEnd::kRefused;
            case InputKind::kMpegVideo:
                break;
            }
        }
        uint8_t* const chunk = mid - held;
        const int32_t length = held + got;
        const int32_t done = ScanChunk(chunk, length, counters);
        // Mends of earlier bytes first, also before a refusal (what was
        // written stays right as far as it goes), and before this chunk: a
        // sink that holds bytes back may let them go with it.
        const bool mended = ApplyPatches(ends, counters);
        if (counters.refusal != Refusal::kNone) {
            return StreamEnd::kRefused;
        }
        if (!mended) {
            return StreamEnd::kPatchFailed;
        }
        bytesDone += done;
        if (done > 0 && !ends.write(ends.context, chunk, done)) {
            return StreamEnd::kWriteFailed;
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
    // The last frames are shown only now: their mends too come before a
    // refusal.
    const bool mended = ApplyPatches(ends, counters);
    if (counters.refusal != Refusal::kNone) {
        return StreamEnd::kRefused;
    }
    if (!mended) {
        return StreamEnd::kPatchFailed;
    }
    if (held > 0 && !ends.write(ends.context, mid - held, held)) {
        return StreamEnd::kWriteFailed;
    }
    return StreamEnd::kFinished;
}

int ConvertFile(const char* path, const Job& streamJob, const char* outputPath, const char* timestampsPath)
{
    FileJob job;
    job.source.path = path;
    job.outputPath = outputPath;
    job.counters.job = streamJob;
    job.timestampsPath = timestampsPath;
    job.counters.listPictures = timestampsPath != nullptr;
    job.times.keepRecords = timestampsPath != nullptr && streamJob.kind == JobKind::kUndo;
    std::string failure = OpenInputStream(job.source);
    if (failure.empty()) {
        failure = OpenDestination(job);
    }
    if (failure.empty()) {
        failure = CheckTimestampsPath(job);
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
    if (failure.empty()) {
        failure = WriteTimestamps(job);
    }
    return FinishFile(job, failure);
}
