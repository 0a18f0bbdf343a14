// The plainest way to find start codes, to hold the scanner's search
// against: the benchmark's rows and the fuzz target share it. The scanner
// walked with it (ScanChunkWith) handles every header as ScanChunk does; only
// the search differs.
#pragma once

#include <cstdint>

#include "stream/scanner.h"

// The first j from `from` on where start_code_prefix 0x00 0x00 0x01 (ISO/IEC
// 13818-2, 6.2.1) begins, slices' included, or as much of it as the chunk
// still holds; `length` if there is none.
inline int32_t FindPrefixByteByByte(const uint8_t* chunk, int32_t from, int32_t length)
{
    for (int32_t j = from; j < length; ++j) {
        if (chunk[j] == 0x00 && (j + 1 >= length || chunk[j + 1] == 0x00) &&
            (j + 2 >= length || chunk[j + 2] == 0x01)) {
            return j;
        }
    }
    return length;
}

// The scanner walking with the given search.
template <StartCodeSearch Find>
int32_t WalkChunk(uint8_t* chunk, int32_t length, StreamCounters& counters)
{
    return ScanChunkWith(Find, chunk, length, counters);
}
