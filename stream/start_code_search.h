// The scanner's hot path: finding the next start code in a chunk that the
// scanner may have to act on. All other bytes of a stream are coded data that
// is only passed over, so this search decides the scanner's speed.
#pragma once

#include <cstdint>

#include "stream/start_codes.h"

// A start code is the prefix 0x00 0x00 0x01 (start_code_prefix, ISO/IEC
// 13818-2, 6.2.1) and one byte naming it. Slice start codes, 0x01 to 0xAF
// (Table 6-1), are nearly all the start codes of a stream and name nothing
// the scanner acts on; every other code may: the picture start code 0x00, and
// from 0xB0 up the sequence header, extensions, the GOP header and the rest.
constexpr uint8_t kFirstSliceStartCode = 0x01;
constexpr uint8_t kLastSliceStartCode = 0xAF;

inline bool IsSliceStartCode(uint8_t code)
{
    return code >= kFirstSliceStartCode && code <= kLastSliceStartCode;
}

// Every search returns the first position j from `from` on (0 <= from <=
// length) at which
//  - a start code other than a slice's begins: 0x00 0x00 0x01, then 0x00 or a
//    byte from 0xB0 up, or
//  - the bytes from j to the end of the chunk (one to three of them) are
//    0x00, 0x00 0x00 or 0x00 0x00 0x01: a start code cut by the end of the
//    chunk before its naming byte,
// and `length` if there is no such position. Only bytes in chunk[from,
// length) are read. The scanner steps over every other position one byte at
// a time, doing nothing, so it makes no difference whether it walks there or
// jumps.

// Word at a time, on every host.
int32_t FindStartCodeScalar(const uint8_t* chunk, int32_t from, int32_t length);

#if defined(__SSE2__)
#define RATEFOLD_HAVE_SSE2_SEARCH 1
// Sixteen bytes at a time with SSE2, the baseline of every x86-64 processor.
int32_t FindStartCodeSse2(const uint8_t* chunk, int32_t from, int32_t length);
#endif

// The fastest of the above that this build has: the one the scanner uses.
inline int32_t FindStartCode(const uint8_t* chunk, int32_t from, int32_t length)
{
    // Headers may follow one another with no byte between (a picture header
    // straight after another, say): a start code right where the search
    // starts is seen without setting up a wide search.
    if (length - from >= kStartCodeLength && chunk[from] == 0x00 && chunk[from + 1] == 0x00 &&
        chunk[from + 2] == 0x01 && !IsSliceStartCode(chunk[from + 3])) {
        return from;
    }
#if defined(RATEFOLD_HAVE_SSE2_SEARCH)
    return FindStartCodeSse2(chunk, from, length);
#else
    return FindStartCodeScalar(chunk, from, length);
#endif
}
