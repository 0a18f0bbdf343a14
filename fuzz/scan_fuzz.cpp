// libFuzzer target for the start-code scanner and the driver's carry-over of
// held-back bytes, on any bytes at all.
//
// Input: two bytes that choose how reads split the stream, then the stream.
// Every input is converted three ways:
//   - by the plain walk of tests/reference_walk.h, one position at a time,
//     that calls the real rewriters: the yardstick for the scanner's fast
//     candidate search;
//   - by ScanChunk on the whole stream in one chunk, then
//     CountHeldBytesToWrite on what it held back;
//   - as the driver does it, in reads of random sizes: the bytes held back
//     from one chunk go in front of the next read's bytes, and at the end of
//     the input CountHeldBytesToWrite decides which held bytes are written.
// All three must write the same bytes and end with the same counters. Every
// chunk sits in a heap block of exactly its size, so the address sanitizer
// stops any read or write outside it.
//
// Fatal() is this file's own: it throws the formatted message, so that a
// refused stream can be compared too. All three must refuse it with the same
// message, at the same header, with the same counters and the same headers
// before it rewritten, and the message must be the one that header's content
// calls for. Any disagreement aborts, which libFuzzer reports as a crash.
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "stream/fatal.h"
#include "stream/rewriters.h"
#include "stream/scanner.h"
#include "stream/start_codes.h"
#include "tests/reference_walk.h"

namespace {

// What Fatal() throws instead of ending the process.
struct Refusal {
    std::string message;
};

using Bytes = std::vector<uint8_t>;

// A chunk in a heap block of exactly `size` bytes: nothing around it to hide
// an over-read from the address sanitizer.
using ExactBlock = std::unique_ptr<uint8_t[]>;

ExactBlock CopyToExactBlock(const uint8_t* bytes, std::size_t size)
{
    ExactBlock block(new uint8_t[size]);
    if (size > 0) {
        std::memcpy(block.get(), bytes, size);
    }
    return block;
}

struct Outcome {
    // Converted: the bytes written. Refused: the whole stream as it stood
    // when the refusal came (the bytes written, the chunk being scanned with
    // its edits so far, and the bytes not yet read).
    Bytes stream;
    StreamCounters counters;
    std::string refusal;     // empty when the stream was converted
    int64_t refusedAt = -1;  // stream offset of the refused header
};

[[noreturn]] void Fail(const char* run, const char* what)
{
    std::fprintf(stderr, "scan_fuzz: %s: %s\n", run, what);
    std::abort();
}

// The messages the rewriters stop the run with. Only the first two can come
// from a stream: the other three mean that the scanner handed a rewriter
// bytes that are not its header.
const char kBadFrameRate[] = "sequence frame rate is not 24/23.976\n";
const char kFieldPicture[] = "can't treat field structured picture\n";
const char* const kScannerFaultMessages[] = {
    "non sequence header data incomming\n",
    "non picture coding extension data incomming\n",
    "non gop header data\n",
};

// The fields that decide a refusal: frame_rate_code, bits 3-0 of the sequence
// header's offset 7 (6.2.2.1; 1 = 23.976 and 2 = 24 are film), and
// picture_structure, bits 1-0 of the picture coding extension's offset 6
// (6.2.3.1; 3 = frame picture).
constexpr uint8_t kFrameRateCodeMask = 0x0F;
constexpr int kFrameRate23976 = 1;
constexpr int kFrameRate24 = 2;
constexpr uint8_t kPictureStructureMask = 0x03;
constexpr int kFramePicture = 3;

bool HasStartCode(const uint8_t* p, uint8_t code)
{
    return p[0] == 0x00 && p[1] == 0x00 && p[2] == 0x01 && p[3] == code;
}

// The held bytes at the end of the input that are written: the beginning of a
// start code that never got its naming bytes (or an extension start code
// without its identifier) is data; a recognised header cut off is dropped.
bool HeldBytesAreWritten(const uint8_t* held, int64_t heldLength)
{
    return heldLength < kStartCodeLength ||
           (heldLength == kStartCodeLength && held[3] == kExtensionStartCode);
}

// The plain walk of tests/reference_walk.h over the whole stream in one piece.
Outcome WalkByteByByte(const uint8_t* data, std::size_t size)
{
    Outcome out;
    ExactBlock block = CopyToExactBlock(data, size);
    const int32_t length = static_cast<int32_t>(size);
    int32_t handled = 0;
    int32_t done = 0;
    try {
        done = WalkChunk(block.get(), length, out.counters, handled);
    } catch (const Refusal& refusal) {
        out.refusal = refusal.message;
        out.refusedAt = handled;
        out.stream.assign(block.get(), block.get() + size);
        return out;
    }
    const int32_t end = HeldBytesAreWritten(block.get() + done, length - done) ? length : done;
    out.stream.assign(block.get(), block.get() + end);
    return out;
}

// Scans one chunk, with the checks every result must pass.
int32_t ScanAndCheck(uint8_t* chunk, int32_t length, StreamCounters& counters, const char* run)
{
    const int32_t done = ScanChunk(chunk, length, counters);
    if (done < 0 || done > length) {
        Fail(run, "ScanChunk returned a count outside the chunk");
    }
    if (length - done > kMaxHeldBackBytes) {
        Fail(run, "ScanChunk held back more than a header's bytes");
    }
    return done;
}

// Appends the held bytes that CountHeldBytesToWrite says are written.
void WriteHeldBytes(Bytes& written, const uint8_t* held, int32_t heldLength, const char* run)
{
    ExactBlock block = CopyToExactBlock(held, static_cast<std::size_t>(heldLength));
    const int32_t count = CountHeldBytesToWrite(block.get(), heldLength);
    if (count < 0 || count > heldLength) {
        Fail(run, "CountHeldBytesToWrite returned a count outside the held bytes");
    }
    written.insert(written.end(), block.get(), block.get() + count);
}

// True if ScanChunk refuses chunk[0, length) when it starts with `before`.
bool RefusesPrefix(const uint8_t* chunk, int32_t length, const StreamCounters& before)
{
    ExactBlock block = CopyToExactBlock(chunk, static_cast<std::size_t>(length));
    StreamCounters counters = before;
    try {
        ScanChunk(block.get(), length, counters);
    } catch (const Refusal&) {
        return true;
    }
    return false;
}

// Where in chunk[0, length) (which ScanChunk, started with `before`,
// refuses) the refused header begins. A header is handed to its rewriter
// only once all its bytes are in the chunk, so the shortest refused prefix
// ends exactly where the refused header's bytes do.
int64_t LocateRefusal(const uint8_t* chunk, int32_t length, const StreamCounters& before)
{
    static_assert(kSequenceHeaderBytes == kExtensionBytes,
                  "both headers that can be refused have the same size");
    int32_t accepted = 0;  // the empty prefix is never refused
    int32_t refused = length;
    while (refused - accepted > 1) {
        const int32_t middle = accepted + (refused - accepted) / 2;
        if (RefusesPrefix(chunk, middle, before)) {
            refused = middle;
        } else {
            accepted = middle;
        }
    }
    return refused - kSequenceHeaderBytes;
}

Outcome ScanInOnePiece(const uint8_t* data, std::size_t size)
{
    static const char kRun[] = "one piece";
    Outcome out;
    const int32_t length = static_cast<int32_t>(size);
    ExactBlock chunk = CopyToExactBlock(data, size);
    int32_t done = 0;
    try {
        done = ScanAndCheck(chunk.get(), length, out.counters, kRun);
    } catch (const Refusal& refusal) {
        out.refusal = refusal.message;
        out.refusedAt = LocateRefusal(data, length, StreamCounters{});
        out.stream.assign(chunk.get(), chunk.get() + size);
        return out;
    }
    out.stream.assign(chunk.get(), chunk.get() + done);
    WriteHeldBytes(out.stream, chunk.get() + done, length - done, kRun);
    return out;
}

// Read sizes from a small generator (splitmix64), so that one input always
// splits the same way. The seed's low three bits choose the longest read:
// from byte at a time, where every start code and header is cut, to reads
// longer than any input.
struct ReadSizes {
    uint64_t state;
    uint64_t limit;
};

ReadSizes StartReadSizes(uint16_t seed)
{
    static const uint64_t kLongestRead[] = {1, 2, 5, 9, 64, 300, 4096, 70000};
    return {seed, kLongestRead[seed % (sizeof kLongestRead / sizeof kLongestRead[0])]};
}

std::size_t NextReadSize(ReadSizes& sizes, std::size_t remaining)
{
    sizes.state += 0x9E3779B97F4A7C15u;
    uint64_t z = sizes.state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    z ^= z >> 31;
    const std::size_t size = static_cast<std::size_t>(1 + z % sizes.limit);
    return size < remaining ? size : remaining;
}

// The driver's loop (app/convert.cpp, ConvertStream): each chunk is the held
// bytes of the last one followed by one read; what ScanChunk finished is
// written, the rest is carried to the front of the next chunk; when the reads
// end, CountHeldBytesToWrite says how much of the held rest is written.
Outcome ScanInReads(const uint8_t* data, std::size_t size, uint16_t splitSeed)
{
    static const char kRun[] = "reads";
    Outcome out;
    ReadSizes sizes = StartReadSizes(splitSeed);
    uint8_t held[kMaxHeldBackBytes];
    int32_t heldLength = 0;
    std::size_t readFrom = 0;
    while (readFrom < size) {
        const std::size_t got = NextReadSize(sizes, size - readFrom);
        const int32_t length = heldLength + static_cast<int32_t>(got);
        ExactBlock chunk(new uint8_t[static_cast<std::size_t>(length)]);
        std::memcpy(chunk.get(), held, static_cast<std::size_t>(heldLength));
        std::memcpy(chunk.get() + heldLength, data + readFrom, got);
        const int64_t chunkAt = static_cast<int64_t>(readFrom) - heldLength;
        readFrom += got;

        const StreamCounters before = out.counters;
        int32_t done = 0;
        try {
            done = ScanAndCheck(chunk.get(), length, out.counters, kRun);
        } catch (const Refusal& refusal) {
            // The chunk as it was handed over, to find the refused header in.
            Bytes handed(held, held + heldLength);
            handed.insert(handed.end(), data + readFrom - got, data + readFrom);
            out.refusal = refusal.message;
            out.refusedAt = chunkAt + LocateRefusal(handed.data(), length, before);
            out.stream.insert(out.stream.end(), chunk.get(), chunk.get() + length);
            out.stream.insert(out.stream.end(), data + readFrom, data + size);
            return out;
        }
        out.stream.insert(out.stream.end(), chunk.get(), chunk.get() + done);
        heldLength = length - done;
        std::memcpy(held, chunk.get() + done, static_cast<std::size_t>(heldLength));
    }
    WriteHeldBytes(out.stream, held, heldLength, kRun);
    return out;
}

void ExpectSame(const Outcome& expected, const Outcome& got, const char* run)
{
    if (got.refusal != expected.refusal) {
        Fail(run, expected.refusal.empty() ? "refused a stream the walk converts"
                                           : "the refusal differs from the walk's");
    }
    if (got.refusedAt != expected.refusedAt) {
        Fail(run, "refused a different header than the walk");
    }
    if (got.stream != expected.stream) {
        Fail(run, "the bytes differ from the walk's");
    }
    if (got.counters.pictureCount != expected.counters.pictureCount ||
        got.counters.temporalReference != expected.counters.temporalReference ||
        got.counters.gopPictureBase != expected.counters.gopPictureBase) {
        Fail(run, "the counters differ from the walk's");
    }
}

// A refusal must name what is wrong with the header it stopped at.
void ExpectJustRefusal(const uint8_t* data, std::size_t size, const Outcome& walk)
{
    static const char kRun[] = "walk";
    if (walk.refusal.empty()) {
        return;
    }
    for (const char* message : kScannerFaultMessages) {
        if (walk.refusal == message) {
            Fail(kRun, "a rewriter was handed bytes that are not its header");
        }
    }
    if (walk.refusedAt < 0 || static_cast<std::size_t>(walk.refusedAt + kSequenceHeaderBytes) > size) {
        Fail(kRun, "the refused header does not lie inside the stream");
    }
    const uint8_t* const h = data + walk.refusedAt;
    if (walk.refusal == kBadFrameRate) {
        const int frameRateCode = h[7] & kFrameRateCodeMask;
        if (!HasStartCode(h, kSequenceHeaderCode) || frameRateCode == kFrameRate23976 ||
            frameRateCode == kFrameRate24) {
            Fail(kRun, "refused the frame rate of a header that is not a non-film sequence header");
        }
    } else if (walk.refusal == kFieldPicture) {
        if (!HasStartCode(h, kExtensionStartCode) || (h[4] & kPictureExtensionIdentifierBit) == 0 ||
            (h[6] & kPictureStructureMask) == kFramePicture) {
            Fail(kRun, "refused a header that is not a field picture's coding extension");
        }
    } else {
        Fail(kRun, "refused with a message that is none of the rewriters'");
    }
}

}  // namespace

// The harness's Fatal: the message goes up as an exception instead of ending
// the process.
void Fatal(const char* format, ...)
{
    char message[256];
    va_list args;
    va_start(args, format);
    const int written = std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    if (written < 0) {
        Fail("Fatal", "the message could not be formatted");
    }
    throw Refusal{message};
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    constexpr std::size_t kSplitSeedBytes = 2;
    // ScanChunk takes a 32-bit length; -max_len keeps inputs far below that.
    constexpr std::size_t kLongestStream = std::size_t{1} << 30;
    if (size < kSplitSeedBytes || size - kSplitSeedBytes > kLongestStream) {
        return 0;
    }
    const uint16_t splitSeed = static_cast<uint16_t>(data[0] | data[1] << 8);
    const uint8_t* const stream = data + kSplitSeedBytes;
    const std::size_t length = size - kSplitSeedBytes;

    const Outcome walk = WalkByteByByte(stream, length);
    ExpectJustRefusal(stream, length, walk);
    ExpectSame(walk, ScanInOnePiece(stream, length), "one piece");
    ExpectSame(walk, ScanInReads(stream, length, splitSeed), "reads");
    return 0;
}
