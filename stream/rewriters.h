// The header rewriters. Each takes a pointer to the first 0x00 of its start
// code with its header's bytes behind it (kSequenceHeaderBytes and the like),
// edits the header in place for the counters' job, or leaves it untouched
// and returns why the stream cannot be converted. They read the counters
// and never change them.
#pragma once

#include <cstdint>

#include "stream/stream_counters.h"

// Decides, from the input's frame_rate_code (counters.frameRateCode) and the
// job, the rate the output shows and its cadence, and sets them in the
// counters; refuses a rate the job cannot take, and a later sequence header
// that would change the cadence. Describing plans nothing.
Refusal PlanRate(StreamCounters& counters);

// Sequence header: frame_rate_code becomes the planned one (the classic job:
// 1, 23.976, becomes 4, 29.97; 2, 24, becomes 5, 30).
Refusal RewriteSequenceHeader(uint8_t* header, const StreamCounters& counters);

// Sequence extension: by field repetition progressive_sequence is cleared,
// so that repeat_first_field repeats a field rather than a whole frame;
// refused when that would change the number of macroblock rows of a
// picture (refusalValue: the lines). Frame repetition needs a progressive
// sequence, taking pulldown off the kind of sequence that carries it. Any
// frame_rate_extension_n or _d makes the rate another than the sequence
// header's: refused.
Refusal RewriteSequenceExtension(uint8_t* header, const StreamCounters& counters, int64_t& refusalValue);

// Picture coding extension of a frame picture: top_field_first and
// repeat_first_field set by the cadence for the picture's display position
// (displayIndex, from 0). Repeating, progressive_frame is set, and
// chroma_420_type with it in a 4:2:0 stream. A field picture is refused.
Refusal RewritePictureCodingExtension(uint8_t* header, const StreamCounters& counters, int64_t displayIndex);

// GOP header: time_code counted at the output's rate, without drop-frame,
// from the first GOP header's time code; closed_gop and broken_link stay.
// The counters' time code origin must be set.
Refusal RewriteGopHeader(uint8_t* header, const StreamCounters& counters);

// How the output shows picture n (in display order, from 0): the flags it
// gets, and the frame of the output in which it starts. Both follow the
// job's timeline where it has one, its cadence otherwise.
PulldownFlags OutputFlags(const StreamCounters& counters, int64_t n);
int64_t OutputFrame(const StreamCounters& counters, int64_t n);

// Picture coding extension, offset 7: top_field_first (bit 7) and
// repeat_first_field (bit 1) set as given, the other bits kept.
uint8_t WithPulldownFlags(uint8_t byte7, PulldownFlags flags);
