// The pictures of a GOP in the order a decoder shows them: known once the
// GOP has ended, since temporal_reference may skip pictures that are not
// there (a cut, a lost picture, an encoder that skips frames).
#pragma once

#include <cstdint>

#include "stream/stream_counters.h"

// Ends the GOP being read. Its pictures are numbered by their rank among
// the GOP's temporal_references; where a missing picture moved one from
// where its temporal_reference put it, the pulldown flags already written
// are mended: in the chunk being scanned when the byte is there (chunk
// holds the stream from counters.streamOffset on, chunkLength bytes; null
// at the end of the input), else as a patch for the driver. Then the
// pictures are counted as a decoder shows them (counters.display), and
// taking pulldown off refuses a picture coded as interlaced.
void FinishGroup(StreamCounters& counters, uint8_t* chunk, int32_t chunkLength);

// The stream offset of the first byte that a mend may still change: the
// flags of the first picture of the GOP being read, where a GOP header began
// it; INT64_MAX where none can change.
int64_t MendableFrom(const StreamCounters& counters);

// Counts one picture as a decoder shows it: units (fields, or frames in a
// progressive sequence) and the field it starts on.
void CountShownPicture(DisplayStats& stats, int units, bool topFieldFirst, bool progressiveSequence);
