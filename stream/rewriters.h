// The header rewriters. Each takes a pointer to the first 0x00 of its start
// code with its header's bytes behind it (kSequenceHeaderBytes and the like),
// edits the header in place, or leaves it untouched and returns why the
// stream cannot be converted. They read the counters and never change them.
#pragma once

#include <cstdint>

#include "stream/stream_counters.h"

// Sequence header: frame_rate_code 1 (23.976) becomes 4 (29.97), 2 (24)
// becomes 5 (30). Any other rate is refused.
Refusal RewriteSequenceHeader(uint8_t* header);

// Sequence extension: progressive_sequence is cleared, so that the pictures'
// repeat_first_field repeats a field rather than a whole frame. Refused when
// clearing it would change the number of macroblock rows of a picture
// (refusalValue: the lines), and when frame_rate_extension_n or _d makes the
// rate another than the sequence header's.
Refusal RewriteSequenceExtension(uint8_t* header, const StreamCounters& counters,
                                 int64_t& refusalValue);

// Picture coding extension of a frame picture: top_field_first and
// repeat_first_field set to the 3:2 pulldown cadence by the picture's display
// position, progressive_frame set, and chroma_420_type with it in a 4:2:0
// stream. A field picture is refused.
Refusal RewritePictureCodingExtension(uint8_t* header, const StreamCounters& counters);

// GOP header: time_code counted at 30 frames per second, without drop-frame,
// from the first GOP header's time code; closed_gop and broken_link stay.
// The counters' time code origin must be set.
Refusal RewriteGopHeader(uint8_t* header, const StreamCounters& counters);

// The 30 frames per second frame in which the first field of film picture n
// (counted from the stream's first) falls.
int64_t FrameOfPicture(int64_t n);
