// libFuzzer target for the start-code scanner and the driver's conversion
// loop, on any bytes at all.
//
// Input: two bytes that choose how reads split the stream, then the stream.
// Every input is converted three ways:
//   - by the plain walk of tests/reference_walk.h, one position at a time,
//     that calls the real rewriters: the yardstick for the scanner's fast
//     candidate search;
//   - by ScanChunk on the whole stream in one chunk, then
//     CountHeldBytesToWrite on what it held back;
//   - by the driver's own loop, ConvertStream, in reads of random sizes.
// All three must write the same bytes; the first two must end with the same
// counters. The one-piece chunk sits in a heap block of exactly its size, and
// the part of the loop's buffer that a read did not fill is poisoned, so the
// address sanitizer stops any read outside a chunk.
//
// Fatal() is this file's own: it throws the formatted message, so that a
// refused stream can be compared too. All three must refuse it with the same
// message; the message must be the one the refused header's content calls
// for; and the loop must have written exactly what lies before the chunk
// that holds that header. Any disagreement aborts, which libFuzzer reports as
// a crash.
#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/convert.h"
#include "stream/fatal.h"
#include "stream/scanner.h"
#include "stream/start_codes.h"
#include "tests/reference_walk.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#include <sanitizer/asan_interface.h>
#define RATEFOLD_POISON(p, n) __asan_poison_memory_region((p), (n))
#define RATEFOLD_UNPOISON(p, n) __asan_unpoison_memory_region((p), (n))
#endif
#endif
#if !defined(RATEFOLD_POISON)
#define RATEFOLD_POISON(p, n) ((void)(p), (void)(n))
#define RATEFOLD_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace {

// What Fatal() throws instead of ending the process.
struct Refusal {
    std::string message;
};

using Bytes = std::vector<uint8_t>;

[[noreturn]] void Fail(const char* run, const char* what)
{
    std::fprintf(stderr, "scan_fuzz: %s: %s\n", run, what);
    std::abort();
}

bool HasStartCode(const uint8_t* p, uint8_t code)
{
    return p[0] == 0x00 && p[1] == 0x00 && p[2] == 0x01 && p[3] == code;
}

struct Outcome {
    // Converted: the bytes written. Refused: the whole stream as it stood
    // when the refusal came, edits so far included.
    Bytes stream;
    StreamCounters counters;
    std::string refusal;     // empty when the stream was converted
    int64_t refusedAt = -1;  // walk only: stream offset of the refused header
};

// The plain walk over the whole stream in a block of exactly its size.
Outcome WalkByteByByte(const uint8_t* data, std::size_t size)
{
    Outcome out;
    out.stream.assign(data, data + size);
    Bytes block(out.stream);
    block.shrink_to_fit();
    const int32_t length = static_cast<int32_t>(size);
    int32_t handled = 0;
    try {
        const int32_t done = WalkChunk(block.data(), length, out.counters, handled);
        const int32_t written = CountHeldBytesToWrite(block.data() + done, length - done);
        block.resize(static_cast<std::size_t>(done + written));
    } catch (const Refusal& refusal) {
        out.refusal = refusal.message;
        out.refusedAt = handled;
    }
    out.stream = block;
    return out;
}

Outcome ScanInOnePiece(const uint8_t* data, std::size_t size)
{
    Outcome out;
    const int32_t length = static_cast<int32_t>(size);
    std::unique_ptr<uint8_t[]> chunk(new uint8_t[size]);
    if (size > 0) {
        std::memcpy(chunk.get(), data, size);
    }
    int32_t end = length;
    try {
        const int32_t done = ScanChunk(chunk.get(), length, out.counters);
        if (done < 0 || done > length || length - done > kMaxHeldBackBytes) {
            Fail("one piece", "ScanChunk returned a count outside the chunk's last header");
        }
        end = done + CountHeldBytesToWrite(chunk.get() + done, length - done);
    } catch (const Refusal& refusal) {
        out.refusal = refusal.message;
    }
    out.stream.assign(chunk.get(), chunk.get() + end);
    return out;
}

// The source and sink of ConvertStream: reads of sizes from a small generator
// (splitmix64), so that one input always splits the same way. The seed's low
// three bits choose the longest read: from a byte at a time, where every
// start code and header is cut, to reads longer than any input.
struct Reads {
    const uint8_t* data;
    std::size_t size;
    std::size_t readTotal;
    uint64_t state;
    uint64_t longest;
    Bytes written;
};

int32_t ReadSome(void* context, uint8_t* into, int32_t capacity)
{
    Reads& reads = *static_cast<Reads*>(context);
    RATEFOLD_UNPOISON(into, static_cast<std::size_t>(capacity));
    reads.state += 0x9E3779B97F4A7C15u;
    uint64_t z = reads.state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    z ^= z >> 31;
    std::size_t got = static_cast<std::size_t>(1 + z % reads.longest);
    got = std::min({got, reads.size - reads.readTotal, static_cast<std::size_t>(capacity)});
    std::memcpy(into, reads.data + reads.readTotal, got);
    reads.readTotal += got;
    if (got > 0) {  // the loop frees its buffer after the last read
        RATEFOLD_POISON(into + got, static_cast<std::size_t>(capacity) - got);
    }
    return static_cast<int32_t>(got);
}

void WriteAll(void* context, const uint8_t* bytes, int32_t count)
{
    Bytes& written = static_cast<Reads*>(context)->written;
    written.insert(written.end(), bytes, bytes + count);
}

void NoProgress(void*, int64_t) {}

// How many bytes the header at p occupies once handled: the walk tells where
// a refused header begins, and the loop must have read all of it.
int32_t HandledHeaderBytes(const uint8_t* p)
{
    switch (p[3]) {
    case kSequenceHeaderCode: return kSequenceHeaderBytes;
    case kPictureStartCode: return kPictureHeaderBytes;
    case kGroupStartCode: return kGroupHeaderBytes;
    default:
        return ExtensionIdentifier(p[4]) == kSequenceExtensionId ? kSequenceExtensionBytes
                                                                 : kPictureCodingExtensionBytes;
    }
}

void ExpectSameThroughTheLoop(const uint8_t* data, std::size_t size, uint16_t seed,
                              const Outcome& walk)
{
    static const char kRun[] = "loop";
    static const uint64_t kLongestRead[] = {1, 2, 5, 9, 64, 300, 4096, 70000};
    Reads reads = {data, size, 0, seed, kLongestRead[seed % 8], {}};
    std::string refusal;
    try {
        ConvertStream(ReadSome, WriteAll, NoProgress, &reads);
    } catch (const Refusal& r) {
        refusal = r.message;
    }
    if (refusal != walk.refusal) {
        Fail(kRun, walk.refusal.empty() ? "refused a stream the walk converts"
                                        : "the refusal differs from the walk's");
    }
    const Bytes& written = reads.written;
    if (written.size() > walk.stream.size() ||
        !std::equal(written.begin(), written.end(), walk.stream.begin())) {
        Fail(kRun, "the bytes written differ from the walk's");
    }
    if (refusal.empty()) {
        if (written.size() != walk.stream.size()) {
            Fail(kRun, "wrote fewer bytes than the walk");
        }
        return;
    }
    // Refused: the chunk being scanned, [written, readTotal), holds the
    // refused header whole, and nothing of that chunk was written.
    const auto at = static_cast<std::size_t>(walk.refusedAt);
    if (at < written.size() || at + HandledHeaderBytes(data + at) > reads.readTotal) {
        Fail(kRun, "refused in a chunk that does not hold the refused header");
    }
}

void ExpectSame(const Outcome& expected, const Outcome& got, const char* run)
{
    if (got.refusal != expected.refusal) {
        Fail(run, expected.refusal.empty() ? "refused a stream the walk converts"
                                           : "the refusal differs from the walk's");
    }
    if (got.stream != expected.stream) {
        Fail(run, "the bytes differ from the walk's");
    }
    const StreamCounters& a = got.counters;
    const StreamCounters& b = expected.counters;
    if (a.pictureCount != b.pictureCount || a.temporalReference != b.temporalReference ||
        a.gopPictureBase != b.gopPictureBase || a.chromaFormat != b.chromaFormat ||
        a.verticalSizeValue != b.verticalSizeValue ||
        a.sequenceExtensionDue != b.sequenceExtensionDue) {
        Fail(run, "the counters differ from the walk's");
    }
}

// A refusal must name what is wrong with the header it stopped at: a
// frame_rate_code other than film's 1 (23.976) or 2 (24), bits 3-0 of a
// sequence header's offset 7 (6.2.2.1); a picture_structure other than frame
// (3), bits 1-0 of a picture coding extension's offset 6 (6.2.3.1); a GOP or
// picture header of MPEG-1; progressive_sequence, bit 3 of a sequence
// extension's offset 5 (6.2.2.3). The rewriters' other messages mean that
// the walk handed a rewriter bytes that are not its header.
void ExpectJustRefusal(const uint8_t* data, std::size_t size, const Outcome& walk)
{
    static const char kRun[] = "walk";
    if (walk.refusal.empty()) {
        return;
    }
    const uint8_t* const h = data + walk.refusedAt;
    if (walk.refusedAt < 0 ||
        static_cast<std::size_t>(walk.refusedAt) + kStartCodeLength + 1 > size ||
        static_cast<std::size_t>(walk.refusedAt + HandledHeaderBytes(h)) > size) {
        Fail(kRun, "the refused header does not lie inside the stream");
    }
    const bool extension = HasStartCode(h, kExtensionStartCode);
    bool just = false;
    if (walk.refusal == "sequence frame rate is not 24/23.976\n") {
        just = HasStartCode(h, kSequenceHeaderCode) && (h[7] & 0x0F) != 1 && (h[7] & 0x0F) != 2;
    } else if (walk.refusal == "can't treat field structured picture\n") {
        just = extension && ExtensionIdentifier(h[4]) == kPictureCodingExtensionId &&
               (h[6] & 0x03) != 3;
    } else if (walk.refusal == "can't treat MPEG-1 stream\n") {
        just = HasStartCode(h, kGroupStartCode) || HasStartCode(h, kPictureStartCode);
    } else if (walk.refusal.rfind("can't treat progressive sequence of ", 0) == 0) {
        just = extension && ExtensionIdentifier(h[4]) == kSequenceExtensionId &&
               (h[5] & 0x08) != 0;
    }
    if (!just) {
        Fail(kRun, "refused with a message that the refused header does not call for");
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
    ExpectSameThroughTheLoop(stream, length, splitSeed, walk);
    return 0;
}
