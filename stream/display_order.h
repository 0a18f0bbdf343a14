// The pictures in the order a decoder shows them (6.1.1.11): a B-picture as
// soon as it is decoded, an I- or P-picture once the next I- or P-picture
// arrives, or the stream ends. Where nothing was lost this is the order of
// temporal_reference; where an edit lost a reference picture, the
// B-pictures after the gap are shown before the reference that precedes
// them, and temporal_reference says otherwise.
#pragma once

#include <cstdint>

#include "stream/stream_counters.h"

// The chunk being scanned, where a mend of a byte not yet handed out is
// made in place: it holds the stream from counters.streamOffset on (null at
// the end of the input).
struct ChunkAtHand {
    uint8_t* bytes;
    int32_t length;
};

// A picture header has come (6.2.3): the frame read before it is complete
// and goes to the decoder's order, unless this is the second field of its
// frame. `picture` holds what the header says.
void BeginPicture(StreamCounters& counters, const PictureRecord& picture, ChunkAtHand chunk);

// The display number that a picture whose coding extension is being read
// now will most likely get: exact for a B-picture, shown at once; for an I-
// or P-picture the one its temporal_reference gives, mended when it is
// shown if pictures were lost.
int64_t GuessDisplayNumber(const StreamCounters& counters);

// A decoder shows a whole frame now, whose display order is known (H.264:
// by picture order count): counted, listed and refused as any other.
// Returns its display number.
int64_t ShowWholeFrame(StreamCounters& counters, const PictureRecord& picture);

// At the end of the input: the last frames are shown.
void FinishPictures(StreamCounters& counters);

// The stream offset of the first byte that a mend may still change: the
// flags of an I- or P-frame not shown yet, repeating fields or frames;
// INT64_MAX where none can change.
int64_t MendableFrom(const StreamCounters& counters);

// Counts one picture as a decoder shows it: units (fields, or frames in a
// progressive sequence) and the field it starts on.
void CountShownPicture(DisplayStats& stats, int units, bool topFieldFirst, bool progressiveSequence);
