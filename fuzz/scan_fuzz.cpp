// libFuzzer target: any bytes through the program's own conversion loop, in
// reads of random sizes, against the plain walk of bench/reference_walk.h
// over the whole stream. Input: two bytes that choose the reads, then the
// stream. Both must write the same bytes or refuse with the same message.
// The walk's stream sits in a block of exactly its size, and the bytes after
// each read in the loop's buffer are poisoned, so the address sanitizer stops
// any read outside a chunk.
#include <sanitizer/asan_interface.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/convert.h"
#include "bench/reference_walk.h"
#include "stream/scanner.h"

namespace {

struct Refusal {
    std::string message;
};

// The loop's source and sink. Reads of sizes from splitmix64, up to a longest
// that the first byte chooses: from one byte, which cuts every header
// everywhere, to more than any input.
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
    // Wider than any load of the start code search; nothing once the loop is
    // done with its buffer.
    r.poisoned = into + got;
    r.poisonedBytes = got > 0 ? std::min(64, capacity - got) : 0;
    ASAN_POISON_MEMORY_REGION(r.poisoned, r.poisonedBytes);
    return got;
}

void Check(bool holds, const char* what)
{
    if (!holds) {
        std::fprintf(stderr, "scan_fuzz: %s\n", what);
        std::abort();
    }
}

}  // namespace

void Fatal(const char* format, ...)
{
    char message[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    throw Refusal{message};
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    if (size < 2) {
        return 0;
    }
    static const uint64_t kLongestRead[] = {1, 2, 5, 9, 64, 300, 4096, 70000};
    Reads reads = {data + 2, size - 2, 0, data[1], kLongestRead[data[0] % 8], {}, nullptr, 0};
    std::vector<uint8_t> walked(reads.data, reads.data + reads.size);
    walked.shrink_to_fit();
    std::string walkRefusal, loopRefusal;
    int32_t handled = 0;
    try {
        StreamCounters counters;
        const auto length = static_cast<int32_t>(walked.size());
        const int32_t done = WalkChunk(walked.data(), length, counters, handled);
        walked.resize(static_cast<std::size_t>(done + CountHeldBytesToWrite(walked.data() + done, length - done)));
    } catch (const Refusal& refusal) {
        walkRefusal = refusal.message;
    }
    try {
        const auto write = [](void* context, const uint8_t* bytes, int32_t count) {
            std::vector<uint8_t>& written = static_cast<Reads*>(context)->written;
            written.insert(written.end(), bytes, bytes + count);
        };
        ConvertStream(ReadSome, write, [](void*, int64_t) {}, &reads);
    } catch (const Refusal& refusal) {
        loopRefusal = refusal.message;
    }
    const std::vector<uint8_t>& w = reads.written;
    Check(loopRefusal == walkRefusal, "the loop and the walk differ on refusing the stream");
    Check(walkRefusal.empty() ? w == walked : std::equal(w.begin(), w.end(), walked.begin()),
          "the loop wrote other bytes than the walk");
    // Nothing written of the chunk that held the refused header, and never
    // a rewriter's guard message: those mean it got another header's bytes.
    Check(walkRefusal.empty() || w.size() <= static_cast<std::size_t>(handled), "wrote part of the refused chunk");
    Check(walkRefusal.find(" incomming") == std::string::npos && walkRefusal.find("non gop") == std::string::npos,
          "a rewriter was handed another header");
    return 0;
}
