// The three header rewriters. Each takes a pointer to the first 0x00 of its
// start code with at least 8 writable bytes behind it, edits the header in
// place, and ends the process with a message if the bytes are not what it
// expects. They read the counters and never change them.
#pragma once

#include <cstdint>

#include "stream/stream_counters.h"

// Sequence header: frame_rate_code 1 (23.976) becomes 4 (29.97), 2 (24)
// becomes 5 (30). Any other rate is fatal.
void RewriteSequenceHeader(uint8_t* header);

// Picture coding extension of a frame picture: sets top_field_first and
// repeat_first_field to the 3:2 pulldown cadence by the picture's display
// position. A field picture is fatal.
void RewritePictureCodingExtension(uint8_t* header, const StreamCounters& counters);

// GOP header: time_code recomputed from gopPictureBase at 30 frames per
// second, without drop-frame; closed_gop and broken_link stay.
void RewriteGopHeader(uint8_t* header, const StreamCounters& counters);
