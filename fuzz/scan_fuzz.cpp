// libFuzzer target: two bytes that choose the job and the reads, then any
// stream, through the program's conversion loop in reads of random sizes and
// through one walk of the scanner with the plainest search
// (bench/reference_walk.h): the same bytes, mends and all, or the same
// refusal. The walk's stream fills its block exactly and the bytes after each
// read are poisoned, so the address sanitizer stops any read outside a chunk.
// An H.264 stream (by its first bytes) is converted in one read and in reads
// of random sizes instead, with the same outcome.
#include <sanitizer/asan_interface.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "convert/convert.h"
#include "avc/avc_stream.h"
#include "bench/reference_walk.h"

namespace {

// The loop's source and sink: reads of sizes from splitmix64, up to a longest
// that the first byte chooses (one byte cuts every header everywhere).
struct Reads {
    const uint8_t* data;
    std::size_t size, at;
    uint64_t state, longest;
    std::vector<uint8_t> written;
    uint8_t* poisoned;
    int32_t poisonedBytes;
};

int32_t ReadSome(void* context, uint8_t* into, int32_t capacity)
{
    Reads& r = *static_cast<Reads*>(context);
    ASAN_UNPOISON_MEMORY_REGION(r.poisoned, r.poisonedBytes);
    uint64_t z = (r.state += 0x9E3779B97F4A7C15u);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    const auto got = static_cast<int32_t>(
        std::min({1 + (z ^ (z >> 31)) % r.longest, r.size - r.at, static_cast<std::size_t>(capacity)}));
    std::copy_n(r.data + r.at, got, into);
    r.at += static_cast<std::size_t>(got);
    // Wider than any load of the start code search; none after the last read.
    r.poisoned = into + got;
    r.poisonedBytes = got > 0 ? std::min(64, capacity - got) : 0;
    ASAN_POISON_MEMORY_REGION(r.poisoned, r.poisonedBytes);
    return got;
}

// Converts with the reads as source, keeping what is written and mending
// only that.
StreamEnd Convert(Reads& reads, StreamCounters& counters, const Job& job)
{
    const auto keep = [](void* context, const uint8_t* bytes, int32_t count) {
        std::vector<uint8_t>& written = static_cast<Reads*>(context)->written;
        written.insert(written.end(), bytes, bytes + count);
        return true;
    };
    const auto mend = [](void* context, int64_t offset, uint8_t value) {
        std::vector<uint8_t>& written = static_cast<Reads*>(context)->written;
        const bool there = offset >= 0 && offset < static_cast<int64_t>(written.size());
        return there && (written[static_cast<std::size_t>(offset)] = value, true);
    };
    counters.job = job;
    return ConvertStream({ReadSome, keep, mend, [](void*, int64_t) {}, &reads}, counters);
}

void Check(bool holds, const char* what)
{
    if (!holds) {
        std::fprintf(stderr, "scan_fuzz: %s\n", what);
        std::abort();
    }
}

// An H.264 stream: the same bytes written, or the same refusal, whatever
// the reads.
void CheckAvc(Reads& reads, const Job& job)
{
    Reads whole = reads;
    whole.longest = UINT64_MAX;
    StreamCounters once, split;
    const StreamEnd onceEnd = Convert(whole, once, job);
    const StreamEnd splitEnd = Convert(reads, split, job);
    Check(onceEnd == splitEnd && once.refusal == split.refusal && once.refusalValue == split.refusalValue &&
              once.refusalCount == split.refusalCount && once.pictureCount == split.pictureCount &&
              once.shownCount == split.shownCount,
          "H.264: the reads changed how the loop ended, its refusal or the pictures counted");
    Check(onceEnd != StreamEnd::kFinished || whole.written == reads.written, "H.264: the reads changed the output");
    Check(once.refusal < Refusal::kNotSequenceHeader, "H.264: an MPEG-2 rewriter was handed bytes");
    if (onceEnd != StreamEnd::kFinished) {
        return;
    }
    // Described, the stream is written as it is; converted, it reads again
    // as the same pictures.
    if (job.kind == JobKind::kDescribe) {
        Check(whole.written == std::vector<uint8_t>(reads.data, reads.data + reads.size),
              "H.264: described, the stream was written otherwise");
        return;
    }
    Reads output = {whole.written.data(), whole.written.size(), 0, 0, UINT64_MAX, {}, nullptr, 0};
    StreamCounters again;
    Check(Convert(output, again, Job{JobKind::kDescribe}) == StreamEnd::kFinished &&
              again.pictureCount == once.pictureCount,
          "H.264: the output does not read again as the same pictures");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    if (size < 2) {
        return 0;
    }
    static const uint64_t kLongestRead[] = {1, 2, 5, 9, 64, 300, 4096, 70000};
    static const Job kJobs[] = {
        {}, {JobKind::kPulldown, 3}, {JobKind::kPulldown, 7}, {JobKind::kUndo, 0}, {JobKind::kUndo, 0, true}};
    Reads reads = {data + 2, size - 2, 0, data[1], kLongestRead[data[0] % 8], {}, nullptr, 0};
    const Job job = kJobs[data[0] / 8 % 5];
    if (RecognizeInput(reads.data, std::min(reads.size, kRecognizedBytes)) != InputKind::kMpegVideo) {
        CheckAvc(reads, data[0] / 8 % 6 == 5 ? Job{JobKind::kDescribe} : job);
        return 0;
    }

    std::vector<uint8_t> walked(reads.data, reads.data + reads.size);
    walked.shrink_to_fit();
    StreamCounters walk;
    walk.job = job;
    const auto length = static_cast<int32_t>(walked.size());
    const int32_t stop = WalkChunk<FindPrefixByteByByte>(walked.data(), length, walk);
    if (walk.refusal == Refusal::kNone) {
        FinishStream(walk);
    }
    for (const Patch& patch : walk.patches) {
        walked[static_cast<std::size_t>(patch.offset)] = patch.value;
    }

    StreamCounters loop;
    const StreamEnd end = Convert(reads, loop, job);
    const std::vector<uint8_t>& w = reads.written;
    Check(loop.refusal == walk.refusal, "the loop and the walk differ on refusing the stream");
    Check((end == StreamEnd::kRefused) == (walk.refusal != Refusal::kNone), "the loop ended otherwise");
    Check(walk.refusal != Refusal::kNone ? std::equal(w.begin(), w.end(), walked.begin()) : w == walked,
          "the loop wrote other bytes than the walk");
    // Nothing written of the chunk that held the refused header, and never
    // a rewriter's guard: that would mean it got another header's bytes.
    Check(walk.refusal == Refusal::kNone || w.size() <= static_cast<std::size_t>(stop),
          "wrote part of the refused chunk");
    Check(walk.refusal < Refusal::kNotSequenceHeader, "a rewriter was handed another header");
    return 0;
}
