// The start code search, the scanner's hot path: every implementation this
// build has (the word-at-a-time one always, the SSE2 one on x86) must find
// exactly the positions that a byte-by-byte look finds, wherever the chunk
// lies in memory, wherever the search starts and wherever the chunk ends.
// And the scanner built on it must do exactly what the plain walk does.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <memory>
#include <random>
#include <vector>

#include "reference_walk.h"
#include "stream/scanner.h"
#include "stream/start_code_search.h"
#include "stream_builder.h"

namespace {

// The definition, one position at a time: 00 00 01 and a naming byte that is
// not a slice's (0x01..0xAF), or as much of 00 00 01 as the chunk still holds.
int32_t ReferenceFind(const uint8_t* chunk, int32_t from, int32_t length)
{
    int32_t j = FindPrefixByteByByte(chunk, from, length);
    while (j + 3 < length && chunk[j + 3] >= 0x01 && chunk[j + 3] <= 0xAF) {
        j = FindPrefixByteByByte(chunk, j + 1, length);
    }
    return j;
}

struct Search {
    const char* name;
    FindFunction find;
};

const Search kSearches[] = {
    {"scalar", FindStartCodeScalar},
#if defined(RATEFOLD_HAVE_SSE2_SEARCH)
    {"sse2", FindStartCodeSse2},
#endif
    {"selected", FindStartCode},
};

// A chunk `offset` bytes past the start of a fresh allocation that ends where
// the chunk ends, so that the address sanitizer catches a read past it.
struct PlacedChunk {
    PlacedChunk(const Bytes& bytes, std::size_t offset)
        : storage(new uint8_t[offset + bytes.size()]()),
          data(storage.get() + offset),
          length(static_cast<int32_t>(bytes.size()))
    {
        std::copy(bytes.begin(), bytes.end(), data);
    }
    std::unique_ptr<uint8_t[]> storage;
    uint8_t* data;
    int32_t length;
};

testing::AssertionResult EverySearchAgrees(const PlacedChunk& chunk, int32_t from)
{
    const int32_t expected = ReferenceFind(chunk.data, from, chunk.length);
    for (const Search& search : kSearches) {
        const int32_t found = search.find(chunk.data, from, chunk.length);
        if (found != expected) {
            return testing::AssertionFailure() << search.name << " finds " << found << ", not "
                                               << expected << ", from " << from << " of "
                                               << chunk.length;
        }
    }
    return testing::AssertionSuccess();
}

// Bytes rich in what the search must tell apart (zero runs, lone 0x01, whole
// and broken prefixes, naming bytes on both sides of each edge of the slice
// codes) among coded bytes: one piece in `odds` is such a piece.
Bytes RandomChunk(std::mt19937& random, std::size_t length, unsigned odds)
{
    const uint8_t codes[] = {0x00, 0x01, 0x02, 0x47, 0xAE, 0xAF, 0xB0, 0xB3, 0xB5, 0xB8, 0xFF};
    Bytes bytes;
    while (bytes.size() < length) {
        switch (random() % odds == 0 ? random() % 4 : 4) {
        case 0: bytes.insert(bytes.end(), 1 + random() % 5, 0x00); break;
        case 1: bytes.push_back(0x01); break;
        case 2: AppendStartCode(bytes, codes[random() % std::size(codes)]); break;
        case 3: bytes.insert(bytes.end(), {0x00, 0x01}); break;
        default: bytes.push_back(static_cast<uint8_t>(random())); break;
        }
    }
    bytes.resize(length);
    return bytes;
}

TEST(StartCodeSearch, AgreesWithTheDefinition)
{
    std::mt19937 random(20240601);
    // Short chunks dense in start codes: every length, alignment and start.
    for (int32_t length = 0; length <= 100; ++length) {
        for (std::size_t offset = 0; offset < 32; ++offset) {
            for (int fill = 0; fill < 3; ++fill) {
                const PlacedChunk chunk(RandomChunk(random, length, 2), offset);
                for (int32_t from = 0; from <= length; ++from) {
                    ASSERT_TRUE(EverySearchAgrees(chunk, from));
                }
            }
        }
    }
    // Long chunks with sparse start codes carry the searches through their
    // widest steps; half of them end in a zero byte.
    for (int round = 0; round < 300; ++round) {
        Bytes bytes = RandomChunk(random, 100 + random() % 3000, 500);
        bytes.back() = random() % 2 == 0 ? 0x00 : bytes.back();
        const PlacedChunk chunk(bytes, random() % 16);
        for (int32_t from = 0; from <= chunk.length; from += 1 + random() % 23) {
            ASSERT_TRUE(EverySearchAgrees(chunk, from));
        }
    }
    // One start code at every position of chunks around one, two and four
    // vectors of 16 bytes: on every side of every 16- and 32-byte boundary,
    // running into the last bytes of the chunk and, at the end, cut by it.
    for (const uint8_t code : {0x00, 0xB3, 0xB5, 0xB8, 0xB0, 0xFF, 0x01, 0x2A, 0xAF}) {
        for (const int32_t length : {4, 15, 16, 17, 18, 19, 20, 31, 32, 33, 34, 35, 36, 63, 64, 65,
                                     66, 67, 68, 80, 130}) {
            for (int32_t at = 0; at < length; ++at) {
                Bytes bytes(static_cast<std::size_t>(length), 0xFF);
                const uint8_t startCode[] = {0x00, 0x00, 0x01, code};
                std::copy_n(startCode, std::min(4, length - at), bytes.begin() + at);
                for (const std::size_t offset : {0, 1, 8, 15}) {
                    const PlacedChunk chunk(bytes, offset);
                    for (const int32_t from : {0, at, at + 1}) {
                        ASSERT_TRUE(EverySearchAgrees(chunk, from)) << "code " << int{code};
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
        for (const Search& search : kSearches) {
            EXPECT_EQ(search.find(chunk.data, 0, length), length < 2 ? 0 : length - 2)
                << search.name << ", length " << length;
        }
    }
}

// A stream of valid headers (nothing in it stops the run) among zero runs,
// stray 0x01 bytes, slice start codes and coded bytes 0x02 to 0xB1, so that
// no header that would be fatal can arise where pieces meet.
Bytes RandomValidStream(std::mt19937& random, std::size_t length)
{
    Bytes s;
    while (s.size() < length) {
        const bool yes = random() % 2 == 0;
        switch (random() % 10) {
        case 0:  // 480 lines: progressive_sequence may be cleared
            AppendSequenceHeader(s, yes ? 1 : 2);
            AppendSequenceExtension(s, random() % 2 == 0, 1 + static_cast<int>(random() % 3));
            break;
        case 1: AppendGopHeader(s, yes, random() % 2 == 0); break;
        case 2: AppendPictureHeader(s, static_cast<int>(random() % 1024), yes ? 1 : 3); break;
        case 3: AppendPictureCodingExtension(s, 3, yes, random() % 2 == 0); break;
        case 4:  // any extension but the two rewritten, cut anywhere
            AppendStartCode(s, 0xB5);
            s.push_back(static_cast<uint8_t>((2 + random() % 6) << 4 | random() % 16));
            break;
        case 5: AppendStartCode(s, static_cast<uint8_t>(0x01 + random() % 0xAF)); break;  // slice
        case 6: s.insert(s.end(), 1 + random() % 4, 0x00); break;
        case 7: s.push_back(0x01); break;
        default:
            for (int n = static_cast<int>(random() % 40); n > 0; --n) {
                s.push_back(static_cast<uint8_t>(0x02 + random() % 0xB0));
            }
        }
    }
    return s;
}

TEST(ScanChunkSearch, MatchesThePlainWalkInReadsOfRandomSize)
{
    std::mt19937 random(4242);
    for (int round = 0; round < 200; ++round) {
        const Bytes input = RandomValidStream(random, 200 + random() % 4000);
        std::vector<std::size_t> cuts;
        for (std::size_t at = 1 + random() % 300; at < input.size(); at += 1 + random() % 300) {
            cuts.push_back(at);
        }
        Bytes walked = input;
        StreamCounters walkCounters;
        const int32_t length = static_cast<int32_t>(input.size());
        const int32_t done = WalkChunk(walked.data(), length, walkCounters);
        walked.resize(static_cast<std::size_t>(
            done + CountHeldBytesToWrite(walked.data() + done, length - done)));
        ASSERT_EQ(ScanInPieces(input, cuts), walked) << "round " << round;
    }
}

}  // namespace
