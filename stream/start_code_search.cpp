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

// True if the bytes from j begin a start code prefix: all three of them, or
// as many as the chunk still holds.
bool PrefixBeginsAt(const uint8_t* chunk, int32_t j, int32_t length)
{
    const int32_t left = length - j;
    if (chunk[j] != kPrefixZeroByte) {
        return false;
    }
    if (left < 2) {
        return true;
    }
    if (chunk[j + 1] != kPrefixZeroByte) {
        return false;
    }
    return left < kPrefixLength || chunk[j + 2] == kPrefixLastByte;
}

int32_t FindByteByByte(const uint8_t* chunk, int32_t from, int32_t length)
{
    for (int32_t j = from; j < length; ++j) {
        if (PrefixBeginsAt(chunk, j, length)) {
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

// Lane k is all ones if a whole prefix begins at p + k; reads p[0, 18).
__m128i PrefixLanes(const uint8_t* p)
{
    const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i second = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 1));
    const __m128i third = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 2));
    const __m128i bothZero =
        _mm_cmpeq_epi8(_mm_or_si128(first, second), _mm_set1_epi8(kPrefixZeroByte));
    const __m128i thenOne = _mm_cmpeq_epi8(third, _mm_set1_epi8(kPrefixLastByte));
    return _mm_and_si128(bothZero, thenOne);
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
    // there. A word reaches two bytes past its eight positions.
    constexpr int32_t kWordReach = kWordBytes + kPrefixLength - 1;
    int32_t i = from;
    while (length - i >= kWordReach) {
        const Word misses = LoadWord(chunk + i) | LoadWord(chunk + i + 1) |
                            (LoadWord(chunk + i + 2) ^ (kEveryLowBit * kPrefixLastByte));
        if (HasZeroByte(misses)) {
            return FindByteByByte(chunk, i, length);  // within these 8 positions
        }
        i += kWordBytes;
    }
    return FindByteByByte(chunk, i, length);
}

#if defined(RATEFOLD_HAVE_SSE2_SEARCH)

int32_t FindStartCodeSse2(const uint8_t* chunk, int32_t from, int32_t length)
{
    // A vector of positions reads the two bytes after it too: only whole
    // prefixes are found here, and the last positions, where a prefix may be
    // cut by the end of the chunk, are left to the scalar search.
    constexpr int32_t kVectorReach = kVectorBytes + kPrefixLength - 1;
    constexpr int32_t kBlockReach = kBlockBytes + kPrefixLength - 1;
    int32_t i = from;
    while (length - i >= kBlockReach) {
        const uint8_t* p = chunk + i;
        const __m128i lanes0 = PrefixLanes(p);
        const __m128i lanes1 = PrefixLanes(p + kVectorBytes);
        const __m128i lanes2 = PrefixLanes(p + 2 * kVectorBytes);
        const __m128i lanes3 = PrefixLanes(p + 3 * kVectorBytes);
        const __m128i any =
            _mm_or_si128(_mm_or_si128(lanes0, lanes1), _mm_or_si128(lanes2, lanes3));
        if (LaneBits(any) != 0) {
            const __m128i lanes[kBlockVectors] = {lanes0, lanes1, lanes2, lanes3};
            for (int32_t v = 0;; ++v) {
                const int bits = LaneBits(lanes[v]);
                if (bits != 0) {
                    return i + v * kVectorBytes + LowestBit(bits);
                }
            }
        }
        i += kBlockBytes;
    }
    while (length - i >= kVectorReach) {
        const int bits = LaneBits(PrefixLanes(chunk + i));
        if (bits != 0) {
            return i + LowestBit(bits);
        }
        i += kVectorBytes;
    }
    return FindStartCodeScalar(chunk, i, length);
}

#endif
