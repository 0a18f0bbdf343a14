// libFuzzer target: any bytes through the program's own conversion loop, in
// reads of random sizes, against the plain walk of bench/reference_walk.h
// over the whole stream. Input: two bytes that choose the reads, then the
// stream. Both must write the same bytes or refuse with the same message, and
// a refusal must be one that the refused header calls for (the rewriters'
// guard messages never are). The walk's stream sits in a block of exactly its
// size, and the bytes after each read in the loop's buffer are poisoned, so
// the address sanitizer stops any read outside a chunk.
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
        walked.resize(static_cast<std::size_t>(done + CountHeldBytesToWrite(&walked[done], length - done)));
    } catch (const Refusal& refusal) {
        walkRefusal = refusal.message;
    }
    try {
        const auto write = [](void* context, const uint8_t* bytes, int32_t count) {
            static_cast<Reads*>(context)->written.insert(static_cast<Reads*>(context)->written.end(),
                                                         bytes, bytes + count);
        };
        ConvertStream(ReadSome, write, [](void*, int64_t) {}, &reads);
    } catch (const Refusal& refusal) {
        loopRefusal = refusal.message;
    }
    const std::vector<uint8_t>& w = reads.written;
    Check(loopRefusal == walkRefusal, "the loop and the walk differ on refusing the stream");
    Check(walkRefusal.empty() ? w == walked : std::equal(w.begin(), w.end(), walked.begin()),
          "the loop wrote other bytes than the walk");
    if (!walkRefusal.empty()) {
        // Nothing written of the chunk that held the refused header, and the
        // header's bytes call for the refusal (ISO/IEC 13818-2 6.2.2.1,
        // 6.2.2.3, 6.2.3.1; MPEG-1 has GOP and picture headers).
        const uint8_t* h = reads.data + handled;
        const std::string& m = walkRefusal;
        Check(w.size() <= static_cast<std::size_t>(handled), "wrote part of the refused chunk");
        Check((m == "sequence frame rate is not 24/23.976\n" && h[3] == 0xB3 && (h[7] & 0xF) != 1 &&
               (h[7] & 0xF) != 2) ||
                  (m == "can't treat field structured picture\n" && h[3] == 0xB5 && h[4] >> 4 == 8 &&
                   (h[6] & 3) != 3) ||
                  (m.find("can't treat progressive sequence of ") == 0 && h[4] >> 4 == 1 && (h[5] & 8)) ||
                  (m == "can't treat MPEG-1 stream\n" && (h[3] == 0xB8 || h[3] == 0x00)),
              "a refusal that the refused header does not call for");
    }
    return 0;
}
