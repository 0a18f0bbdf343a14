// The scanner's hot path: finding where the next start code prefix
// 0x00 0x00 0x01 (start_code_prefix, ISO/IEC 13818-2, 6.2.1) begins in a
// chunk. All other bytes of a stream are coded data that only has to be
// passed over, so this search decides the scanner's speed.
#pragma once

#include <cstdint>

// Every search returns the first position j from `from` on (0 <= from <=
// length) at which
//  - the three bytes at j are 0x00 0x00 0x01, or
//  - the bytes from j to the end of the chunk (one or two of them) are
//    0x00 or 0x00 0x00, the beginning of a prefix cut by the end of the chunk,
// and `length` if there is no such position. Only bytes in chunk[from,
// length) are read.

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
    // is often directly followed by another start code): a prefix right
    // where the search starts is seen without setting up a wide search.
    if (length - from >= 3 && chunk[from] == 0x00 && chunk[from + 1] == 0x00 &&
        chunk[from + 2] == 0x01) {
        return from;
    }
#if defined(RATEFOLD_HAVE_SSE2_SEARCH)
    return FindStartCodeSse2(chunk, from, length);
#else
    return FindStartCodeScalar(chunk, from, length);
#endif
}
