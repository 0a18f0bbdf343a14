// The start code search, the scanner's hot path: every implementation this
// build has (the word-at-a-time one always, the SSE2 one on x86) must find
// exactly the positions that a byte-by-byte look finds, wherever the chunk
// lies in memory, wherever the search starts and wherever the chunk ends.
// And the scanner built on it must do exactly what a byte-by-byte walk does,
// which looks at every start code, slices too.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "stream/rewriters.h"
#include "stream/scanner.h"
#include "stream/start_code_search.h"
#include "stream/start_codes.h"
#include "stream_builder.h"

namespace {

using SearchFunction = int32_t (*)(const uint8_t*, int32_t, int32_t);

struct Search {
    const char* name;
    SearchFunction find;
};

const Search kSearches[] = {
    {"scalar", FindStartCodeScalar},
#if defined(RATEFOLD_HAVE_SSE2_SEARCH)
    {"sse2", FindStartCodeSse2},
#endif
    {"selected", FindStartCode},
};

// The definition, one position at a time: 00 00 01 and a naming byte that is
// not a slice's (0x01..0xAF), or as much of 00 00 01 as the chunk still holds.
int32_t ReferenceFind(const uint8_t* chunk, int32_t from, int32_t length)
{
    const uint8_t prefix[] = {0x00, 0x00, 0x01};
    for (int32_t j = from; j < length; ++j) {
        bool matches = true;
        for (int32_t k = 0; k < 3 && j + k < length; ++k) {
            matches = matches && chunk[j + k] == prefix[k];
        }
        const bool slice = j + 3 < length && chunk[j + 3] >= 0x01 && chunk[j + 3] <= 0xAF;
        if (matches && !slice) {
            return j;
        }
    }
    return length;
}

// A chunk that lies `offset` bytes past a fresh allocation and ends exactly
// where the allocation ends, so that the address sanitizer catches a read
// past the chunk.
class PlacedChunk {
public:
    PlacedChunk(const Bytes& bytes, int32_t offset)
        : storage_(new uint8_t[bytes.size() + static_cast<std::size_t>(offset)]),
          chunk_(storage_.get() + offset),
          length_(static_cast<int32_t>(bytes.size()))
    {
        std::memset(storage_.get(), 0x00, static_cast<std::size_t>(offset));
        if (!bytes.empty()) {
            std::memcpy(chunk_, bytes.data(), bytes.size());
        }
    }
    const uint8_t* data() const { return chunk_; }
    int32_t length() const { return length_; }

private:
    std::unique_ptr<uint8_t[]> storage_;
    uint8_t* chunk_;
    int32_t length_;
};

// Bytes rich in what the search must tell apart: zero runs, lone 0x01,
// whole and broken prefixes, among ordinary coded bytes.
Bytes RandomStartCodeSoup(std::mt19937& random, std::size_t length)
{
    Bytes bytes;
    while (bytes.size() < length) {
        switch (random() % 6) {
        case 0:
            bytes.insert(bytes.end(), 1 + random() % 5, 0x00);
            break;
        case 1:
            bytes.push_back(0x01);
            break;
        case 2: {
            // Naming bytes on both sides of each edge of the slice codes.
            const uint8_t codes[] = {0x00, 0x01, 0x02, 0x47, 0xAE, 0xAF, 0xB0, 0xB3,
                                     0xB5, 0xB8, 0xFF, static_cast<uint8_t>(random())};
            bytes.insert(bytes.end(), {0x00, 0x00, 0x01, codes[random() % std::size(codes)]});
            break;
        }
        case 3:
            bytes.insert(bytes.end(), {0x00, 0x01});
            break;
        default:
            bytes.push_back(static_cast<uint8_t>(random()));
            break;
        }
    }
    bytes.resize(length);
    return bytes;
}

void ExpectEverySearchAgrees(const PlacedChunk& chunk, int32_t from)
{
    const int32_t expected = ReferenceFind(chunk.data(), from, chunk.length());
    for (const Search& search : kSearches) {
        ASSERT_EQ(search.find(chunk.data(), from, chunk.length()), expected)
            << search.name << ", from " << from << " of " << chunk.length();
    }
}

TEST(StartCodeSearch, ReferenceFindsWhatTheStreamHolds)
{
    // The reference itself, on hand-made cases; each search must agree.
    struct Case {
        const char* what;
        Bytes bytes;
        int32_t from;
        int32_t expected;
    };
    const Case cases[] = {
        {"empty chunk", {}, 0, 0},
        {"no zero byte", {0x47, 0x01, 0xFF}, 0, 3},
        {"sequence header at the start", {0x00, 0x00, 0x01, 0xB3, 0x47}, 0, 0},
        {"picture start code", {0x47, 0x00, 0x00, 0x01, 0x00, 0x47}, 0, 1},
        {"longer zero run before 0x01", {0x00, 0x00, 0x00, 0x00, 0x01, 0xB3}, 0, 2},
        {"one zero then 0x01", {0x47, 0x00, 0x01, 0xB3, 0x47}, 0, 5},
        {"two zeros then 0x02", {0x00, 0x00, 0x02, 0x47}, 0, 4},
        {"first slice code passed over", {0x00, 0x00, 0x01, 0x01, 0x47, 0x00, 0x00, 0x01, 0xB8}, 0, 5},
        {"last slice code passed over", {0x00, 0x00, 0x01, 0xAF, 0x47, 0x47}, 0, 6},
        {"first code after the slices", {0x00, 0x00, 0x01, 0xB0, 0x47}, 0, 0},
        {"user data", {0x47, 0x00, 0x00, 0x01, 0xB2, 0x47}, 0, 1},
        {"search starts past a start code", {0x00, 0x00, 0x01, 0x00, 0x00, 0x01, 0xB5}, 1, 3},
        {"search starts inside a start code", {0x00, 0x00, 0x01, 0xB3, 0x47}, 1, 5},
        {"slice code as the last byte", {0x47, 0x00, 0x00, 0x01, 0x05}, 0, 5},
        {"whole prefix as the last three bytes", {0x47, 0x00, 0x00, 0x01}, 0, 1},
        {"two zeros at the end", {0x47, 0x47, 0x00, 0x00}, 0, 2},
        {"one zero at the end", {0x47, 0x47, 0x47, 0x00}, 0, 3},
        {"three zeros at the end", {0x47, 0x00, 0x00, 0x00}, 0, 2},
        {"zero then 0x01 at the end", {0x47, 0x00, 0x01}, 0, 3},
        {"search starts at the end", {0x00, 0x00, 0x01}, 3, 3},
    };
    for (const Case& c : cases) {
        const PlacedChunk chunk(c.bytes, 0);
        EXPECT_EQ(ReferenceFind(chunk.data(), c.from, chunk.length()), c.expected) << c.what;
        for (const Search& search : kSearches) {
            EXPECT_EQ(search.find(chunk.data(), c.from, chunk.length()), c.expected)
                << search.name << ": " << c.what;
        }
    }
}

TEST(StartCodeSearch, AgreesOnShortChunksAtEveryAlignmentAndStart)
{
    constexpr int32_t kMaxLength = 100;
    constexpr int32_t kAlignments = 32;
    constexpr int kFillsPerShape = 3;
    std::mt19937 random(20240601);
    for (int32_t length = 0; length <= kMaxLength; ++length) {
        for (int32_t offset = 0; offset < kAlignments; ++offset) {
            for (int fill = 0; fill < kFillsPerShape; ++fill) {
                const PlacedChunk chunk(RandomStartCodeSoup(random, length), offset);
                for (int32_t from = 0; from <= length; ++from) {
                    ExpectEverySearchAgrees(chunk, from);
                }
            }
        }
    }
}

TEST(StartCodeSearch, AgreesOnLongChunksWithSparseStartCodes)
{
    // Long runs of coded bytes carry the search through its widest steps;
    // half the start codes in them are slices'.
    std::mt19937 random(7);
    for (int round = 0; round < 300; ++round) {
        const std::size_t length = 100 + random() % 3000;
        Bytes bytes(length);
        for (uint8_t& byte : bytes) {
            byte = static_cast<uint8_t>(0x02 + random() % 0xFE);
        }
        const int prefixes = static_cast<int>(random() % 4);
        for (int k = 0; k < prefixes; ++k) {
            const std::size_t at = random() % (length - 3);
            bytes[at] = 0x00;
            bytes[at + 1] = 0x00;
            bytes[at + 2] = 0x01;
            bytes[at + 3] = random() % 2 == 0 ? 0x01 + random() % 0xAF : 0xB0 + random() % 0x50;
        }
        if (random() % 2 == 0) {
            bytes[length - 1] = 0x00;  // a cut-off beginning at the very end
        }
        const PlacedChunk chunk(bytes, static_cast<int32_t>(random() % 16));
        for (int32_t from = 0; from <= chunk.length();
             from += 1 + static_cast<int32_t>(random() % 23)) {
            ExpectEverySearchAgrees(chunk, from);
        }
    }
}

TEST(StartCodeSearch, FindsALoneStartCodeAtEveryPosition)
{
    // Lengths around one, two and four vectors of 16 bytes, so that the
    // start code sits on every side of every 16- and 32-byte boundary, runs
    // into the last bytes of the chunk and, at the end, is cut by it.
    const int32_t lengths[] = {4, 15, 16, 17, 18, 19, 20, 31, 32, 33, 34, 35, 36,
                               63, 64, 65, 66, 67, 68, 80, 130};
    struct Code {
        uint8_t code;
        bool found;
    };
    const Code codes[] = {{0x00, true}, {0xB3, true}, {0xB5, true}, {0xB8, true}, {0xB0, true},
                          {0xFF, true}, {0x01, false}, {0x2A, false}, {0xAF, false}};
    for (const Code& code : codes) {
        for (int32_t length : lengths) {
            for (int32_t at = 0; at < length; ++at) {
                Bytes bytes(static_cast<std::size_t>(length), 0xFF);
                const uint8_t startCode[] = {0x00, 0x00, 0x01, code.code};
                for (int32_t k = 0; k < 4 && at + k < length; ++k) {
                    bytes[at + k] = startCode[k];
                }
                // Cut before its naming byte, it is found whatever it names.
                const int32_t expected = code.found || at + 3 >= length ? at : length;
                // Past it nothing is left but a zero as the very last byte:
                // the second zero of one cut after its two zeros, or a
                // picture start code's naming byte.
                const bool zeroLast =
                    at == length - 2 || (code.code == 0x00 && at + 3 == length - 1);
                const int32_t next = zeroLast ? length - 1 : length;
                for (int32_t offset : {0, 1, 8, 15}) {
                    const PlacedChunk chunk(bytes, offset);
                    for (const Search& search : kSearches) {
                        SCOPED_TRACE(testing::Message() << search.name << ", code " << int{code.code}
                                                        << ", length " << length << ", at " << at);
                        EXPECT_EQ(search.find(chunk.data(), 0, length), expected);
                        EXPECT_EQ(search.find(chunk.data(), at, length), expected);
                        EXPECT_EQ(search.find(chunk.data(), at + 1, length), next);
                    }
                }
            }
        }
    }
}

TEST(StartCodeSearch, AllZeroChunkHasOnlyItsCutOffBeginning)
{
    for (int32_t length = 0; length <= 200; ++length) {
        const PlacedChunk chunk(Bytes(static_cast<std::size_t>(length), 0x00), length % 16);
        const int32_t expected = length < 2 ? 0 : length - 2;
        for (const Search& search : kSearches) {
            EXPECT_EQ(search.find(chunk.data(), 0, length), expected)
                << search.name << ", length " << length;
        }
    }
}

// The scanner's walk as it was written first, one byte at a time, with the
// same header handling: the fast scanner must match it byte for byte.
int32_t ByteByByteScanChunk(uint8_t* chunk, int32_t length, StreamCounters& counters)
{
    int32_t i = 0;
    while (i < length) {
        const int32_t left = length - i;
        uint8_t* p = chunk + i;
        if (p[0] != 0x00) {
            ++i;
            continue;
        }
        if (left < kStartCodeLength) {
            const bool beginning = (left < 2 || p[1] == 0x00) && (left < 3 || p[2] == 0x01);
            if (beginning) {
                return i;
            }
            ++i;
            continue;
        }
        if (p[1] != 0x00 || p[2] != 0x01) {
            ++i;
            continue;
        }
        if (p[3] == kSequenceHeaderCode) {
            if (left < kSequenceHeaderBytes) {
                return i;
            }
            RewriteSequenceHeader(p);
            i += kSequenceHeaderBytes;
        } else if (p[3] == kExtensionStartCode && left == kStartCodeLength) {
            return i;
        } else if (p[3] == kExtensionStartCode && (p[4] & kPictureExtensionIdentifierBit) != 0) {
            if (left < kExtensionBytes) {
                return i;
            }
            RewritePictureCodingExtension(p, counters);
            i += kExtensionBytes;
        } else if (p[3] == kPictureStartCode) {
            if (left < kPictureHeaderBytes) {
                return i;
            }
            ++counters.pictureCount;
            counters.temporalReference = (int64_t{p[4]} << 2) | (p[5] >> 6);
            i += kPictureHeaderBytes;
        } else if (p[3] == kGroupStartCode) {
            if (left < kGroupHeaderBytes) {
                return i;
            }
            counters.gopPictureBase = counters.pictureCount;
            RewriteGopHeader(p, counters);
            i += kGroupHeaderBytes;
        } else {
            ++i;
        }
    }
    return length;
}

// A stream of valid headers (nothing in it stops the run) packed among zero
// runs, stray 0x01 bytes, other start codes and coded bytes. Coded bytes
// are 0x02 to 0xB1, never 0x00, 0xB3, 0xB5 or 0xB8, so no header that would be fatal can
// arise from pieces that meet.
Bytes RandomValidStream(std::mt19937& random, std::size_t length)
{
    Bytes s;
    while (s.size() < length) {
        switch (random() % 10) {
        case 0:
            AppendSequenceHeader(s, static_cast<uint8_t>(1 + random() % 2));
            break;
        case 1:
            AppendGopHeader(s, random() % 2 == 0, random() % 2 == 0);
            break;
        case 2:
            AppendPictureHeader(s, static_cast<int>(random() % 1024), 1 + static_cast<int>(random() % 3));
            break;
        case 3:
            AppendPictureCodingExtension(s, 3, random() % 2 == 0, random() % 2 == 0);
            break;
        case 4:
            AppendSequenceExtension(s);
            break;
        case 5:
            AppendStartCode(s, static_cast<uint8_t>(0x01 + random() % 0xAF));  // slice
            break;
        case 6:
            s.insert(s.end(), 1 + random() % 4, 0x00);
            break;
        case 7:
            s.push_back(0x01);
            break;
        default:
            for (int n = static_cast<int>(random() % 40); n > 0; --n) {
                s.push_back(static_cast<uint8_t>(0x02 + random() % 0xB0));  // 0x02..0xB1
            }
            break;
        }
    }
    return s;
}

TEST(ScanChunkSearch, MatchesTheByteByByteWalkChunkByChunk)
{
    // Scanned in place in chunks of random length, the held bytes of each
    // chunk at the front of the next, as the driver does.
    std::mt19937 random(4242);
    for (int round = 0; round < 200; ++round) {
        const Bytes input = RandomValidStream(random, 200 + random() % 4000);
        Bytes fast = input;
        Bytes slow = input;
        StreamCounters fastCounters;
        StreamCounters slowCounters;
        int32_t position = 0;
        const int32_t total = static_cast<int32_t>(input.size());
        while (position < total) {
            const int32_t end = std::min<int32_t>(total, position + 1 + static_cast<int32_t>(random() % 300));
            const int32_t fastDone = ScanChunk(fast.data() + position, end - position, fastCounters);
            const int32_t slowDone =
                ByteByByteScanChunk(slow.data() + position, end - position, slowCounters);
            ASSERT_EQ(fastDone, slowDone) << "round " << round << ", chunk at " << position;
            if (end == total) {
                break;
            }
            position += fastDone;
        }
        EXPECT_EQ(fast, slow) << "round " << round;
        EXPECT_EQ(fastCounters.pictureCount, slowCounters.pictureCount);
        EXPECT_EQ(fastCounters.temporalReference, slowCounters.temporalReference);
        EXPECT_EQ(fastCounters.gopPictureBase, slowCounters.gopPictureBase);
    }
}

}  // namespace
