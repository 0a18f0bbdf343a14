// Per-file state of one conversion: what the scanner has counted so far.
#pragma once

#include <cstdint>

struct StreamCounters {
    // Picture start codes handled so far in this file.
    uint64_t pictureCount = 0;
    // temporal_reference (10 bits, 0..1023) of the most recent picture header.
    int64_t temporalReference = 0;
    // pictureCount as it stood when the most recent GOP header was handled.
    uint64_t gopPictureBase = 0;
};
