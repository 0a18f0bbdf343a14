// The header rewriters. Each takes a pointer to the first 0x00 of its start
// code with its header's bytes behind it (kSequenceHeaderBytes and the like),
// edits the header in place, and ends the process with a message if the
// bytes are not what it expects. They read the counters and never change
// them.
#pragma once

#include <cstdint>

#include "stream/stream_counters.h"

// Sequence header: frame_rate_code 1 (23.976) becomes 4 (29.97), 2 (24)
// becomes 5 (30). Any other rate is fatal.
void RewriteSequenceHeader(uint8_t* header);

// Sequence extension: progressive_sequence is cleared, so that the pictures'
// repeat_first_field repeats a field rather than a whole frame. Fatal when
// clearing it would change the number of macroblock rows of a picture.
void RewriteSequenceExtension(uint8_t* header, const StreamCounters& counters);

// Picture coding extension of a frame picture: top_field_first and
// repeat_first_field set to the 3:2 pulldown cadence by the picture's display
// position, progressive_frame set, and chroma_420_type with it in a 4:2:0
// stream. A field picture is fatal.
void RewritePictureCodingExtension(uint8_t* header, const StreamCounters& counters);

// GOP header: time_code recomputed from gopPictureBase at 30 frames per
// second, without drop-frame; closed_gop and broken_link stay.
void RewriteGopHeader(uint8_t* header, const StreamCounters& counters);
