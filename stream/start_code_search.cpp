// Finding the next start code that matters, word by word or with SSE2.
#include "stream/start_code_search.h"

#include <cstring>

#if defined(RATEFOLD_HAVE_SSE2_SEARCH)
#include <emmintrin.h>
#endif

namespace {

// start_code_prefix: 23 zero bits and a one bit, byte-aligned (6.2.1).
constexpr uint8_t kPrefixZeroByte = 0x00;
constexpr uint8_t kPrefixLastByte = 0x01;
constexpr int32_t kPrefixLength = 3;

// True if a start code the scanner may act on begins at j, or the beginning
// of one that the end of the chunk cuts before its naming byte.
bool BeginsAt(const uint8_t* chunk, int32_t j, int32_t length)
{
    const int32_t left = length - j;
    if (chunk[j] != kPrefixZeroByte) {
        return false;
    }
    if (left == 1) {
        return true;
    }
    if (chunk[j + 1] != kPrefixZeroByte) {
        return false;
    }
    if (left == 2) {
        return true;
    }
    if (chunk[j + 2] != kPrefixLastByte) {
        return false;
    }
    return left == kPrefixLength || !IsSliceStartCode(chunk[j + kPrefixLength]);
}

int32_t FindByteByByte(const uint8_t* chunk, int32_t from, int32_t length)
{
    for (int32_t j = from; j < length; ++j) {
        if (BeginsAt(chunk, j, length)) {
            return j;
        }
    }
    return length;
}

// Eight positions tested at once, in whatever byte order the host has.
using Word = uint64_t;
constexpr int32_t kWordBytes = sizeof(Word);
constexpr Word kEveryLowBit = 0x0101010101010101u;
constexpr Word kEveryHighBit = 0x8080808080808080u;

Word LoadWord(const uint8_t* p)
{
    Word word;
    std::memcpy(&word, p, sizeof word);
    return word;
}

// True if some byte of the word is zero: subtracting 1 from every byte
// borrows into the top bit of a zero byte, and a byte whose own top bit was
// set is masked out by ~word. Bytes above a zero byte may show up falsely,
// but only when there is a true zero byte below them, so the answer is exact.
bool HasZeroByte(Word word)
{
    return ((word - kEveryLowBit) & ~word & kEveryHighBit) != 0;
}

#if defined(RATEFOLD_HAVE_SSE2_SEARCH)

constexpr int32_t kVectorBytes = 16;
// Four vectors are tested before one branch: start codes are rare in coded
// data, so almost every block of 64 positions is passed over whole.
constexpr int32_t kBlockVectors = 4;
constexpr int32_t kBlockBytes = kBlockVectors * kVectorBytes;

__m128i LoadVector(const uint8_t* p)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// Lane k is all ones if a prefix begins at p + k; reads p[0, 18).
__m128i PrefixLanes(const uint8_t* p)
{
    const __m128i bothZero =
        _mm_cmpeq_epi8(_mm_or_si128(LoadVector(p), LoadVector(p + 1)), _mm_set1_epi8(kPrefixZeroByte));
    const __m128i thenOne = _mm_cmpeq_epi8(LoadVector(p + 2), _mm_set1_epi8(kPrefixLastByte));
    return _mm_and_si128(bothZero, thenOne);
}

// Lane k is all ones if the byte at code + k names no slice. Taking 0x01
// from each byte turns the slice codes 0x01..0xAF into 0x00..0xAE and every
// other byte into 0xAF..0xFF (0x00 wraps round to 0xFF); the number of slice
// codes, 0xAF, minus that, stopping at 0, is 0 exactly for the latter.
__m128i NonSliceCodeLanes(const uint8_t* code)
{
    constexpr int kSliceCodes = kLastSliceStartCode - kFirstSliceStartCode + 1;
    const __m128i lessFirst = _mm_sub_epi8(LoadVector(code), _mm_set1_epi8(static_cast<char>(kFirstSliceStartCode)));
    const __m128i sliceLeft = _mm_subs_epu8(_mm_set1_epi8(static_cast<char>(kSliceCodes)), lessFirst);
    return _mm_cmpeq_epi8(sliceLeft, _mm_setzero_si128());
}

// Lane k is all ones if a start code the scanner may act on begins at p + k;
// reads p[0, 19).
__m128i StartCodeLanes(const uint8_t* p)
{
    return _mm_and_si128(PrefixLanes(p), NonSliceCodeLanes(p + kPrefixLength));
}

// One bit per lane, bit k for lane k.
int LaneBits(__m128i lanes)
{
    return _mm_movemask_epi8(lanes);
}

int LowestBit(int bits)
{
    return __builtin_ctz(static_cast<unsigned>(bits));
}

#endif

}  // namespace

int32_t FindStartCodeScalar(const uint8_t* chunk, int32_t from, int32_t length)
{
    // The words at i, i + 1 and i + 2 put the three bytes of the prefix that
    // would begin at i + k into byte k of each; OR-ing the first two with the
    // third XOR 0x01 leaves byte k zero exactly when a whole prefix begins
    // there. A word's eight positions reach four bytes on, to the naming byte
    // of a prefix in its last position.
    constexpr int32_t kWordReach = kWordBytes + kStartCodeLength - 1;
    int32_t i = from;
    while (length - i >= kWordReach) {
        const Word misses = LoadWord(chunk + i) | LoadWord(chunk + i + 1) |
                            (LoadWord(chunk + i + 2) ^ (kEveryLowBit * kPrefixLastByte));
        if (HasZeroByte(misses)) {
            for (int32_t j = i; j < i + kWordBytes; ++j) {
                if (BeginsAt(chunk, j, length)) {
                    return j;
                }
            }
        }
        i += kWordBytes;
    }
    return FindByteByByte(chunk, i, length);
}

#if defined(RATEFOLD_HAVE_SSE2_SEARCH)

int32_t FindStartCodeSse2(const uint8_t* chunk, int32_t from, int32_t length)
{
    // A vector of positions reads up to the naming byte of a start code in
    // its last lane: only whole start codes are found here, and the last
    // positions, where the end of the chunk may cut one, are left to the
    // scalar search.
    constexpr int32_t kVectorReach = kVectorBytes + kStartCodeLength - 1;
    constexpr int32_t kBlockReach = kBlockBytes + kStartCodeLength - 1;
    int32_t i = from;
    while (length - i >= kBlockReach) {
        const uint8_t* p = chunk + i;
        const __m128i prefixes0 = PrefixLanes(p);
        const __m128i prefixes1 = PrefixLanes(p + kVectorBytes);
        const __m128i prefixes2 = PrefixLanes(p + 2 * kVectorBytes);
        const __m128i prefixes3 = PrefixLanes(p + 3 * kVectorBytes);
        const __m128i any = _mm_or_si128(_mm_or_si128(prefixes0, prefixes1), _mm_or_si128(prefixes2, prefixes3));
        if (LaneBits(any) != 0) {
            // Only now the naming bytes: most prefixes open a slice, which
            // is passed over here without returning to the scanner.
            const __m128i found[kBlockVectors] = {
                _mm_and_si128(prefixes0, NonSliceCodeLanes(p + kPrefixLength)),
                _mm_and_si128(prefixes1, NonSliceCodeLanes(p + kPrefixLength + kVectorBytes)),
                _mm_and_si128(prefixes2, NonSliceCodeLanes(p + kPrefixLength + 2 * kVectorBytes)),
                _mm_and_si128(prefixes3, NonSliceCodeLanes(p + kPrefixLength + 3 * kVectorBytes)),
            };
            for (int32_t v = 0; v < kBlockVectors; ++v) {
                const int bits = LaneBits(found[v]);
                if (bits != 0) {
                    return i + v * kVectorBytes + LowestBit(bits);
                }
            }
        }
        i += kBlockBytes;
    }
    while (length - i >= kVectorReach) {
        const int bits = LaneBits(StartCodeLanes(chunk + i));
        if (bits != 0) {
            return i + LowestBit(bits);
        }
        i += kVectorBytes;
    }
    return FindStartCodeScalar(chunk, i, length);
}

#endif
