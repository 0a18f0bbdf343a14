// Per-file state of one conversion: what the scanner has counted and noted
// so far.
#pragma once

#include <cstdint>

// chroma_format (Table 6-5): 1 is 4:2:0, 2 is 4:2:2, 3 is 4:4:4.
constexpr int kChroma420 = 1;

struct StreamCounters {
    // Picture start codes handled so far in this file.
    uint64_t pictureCount = 0;
    // temporal_reference (10 bits, 0..1023) of the most recent picture header.
    int64_t temporalReference = 0;
    // pictureCount as it stood when the most recent GOP header was handled.
    uint64_t gopPictureBase = 0;
    // chroma_format of the most recent sequence extension; 4:2:0 before any.
    int chromaFormat = kChroma420;
    // vertical_size_value (12 bits) of the most recent sequence header, 0
    // before any.
    int32_t verticalSizeValue = 0;
    // A sequence header has been handled and its sequence extension has not
    // followed yet. In MPEG-2 one always does (6.2.2); in MPEG-1 (ISO/IEC
    // 11172-2) there is none, and a GOP or picture header comes next.
    bool sequenceExtensionDue = false;
};
