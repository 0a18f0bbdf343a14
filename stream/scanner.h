// The start-code scanner: walks one chunk of an MPEG-2 video elementary
// stream, counts pictures and hands each header that the conversion edits to
// its rewriter, in place.
#pragma once

#include <cstdint>

#include "stream/stream_counters.h"

// Finds the next start code the scanner may act on (start_code_search.h).
using StartCodeSearch = int32_t (*)(const uint8_t* chunk, int32_t from, int32_t length);

// Walks chunk[0, length), rewriting headers in place and updating counters.
// Returns how many leading bytes are finished and may be written (0 to
// length). The bytes after that (at most kMaxHeldBackBytes) are either a
// recognised header not yet wholly inside the chunk, or the beginning of a
// start code whose naming bytes have not arrived yet; the caller carries them
// to the front of the next chunk, and writes them as they are if the input
// ends. A length of 0 or less returns 0.
//
// When the stream cannot be converted, counters.refusal says why and the
// walk stops at the header refused: nothing of this chunk may be written
// then. Bytes of earlier chunks that must change once a GOP's display order
// is known are added to counters.patches, for the caller to mend. A stream must begin with a sequence header (zero
// bytes before it are stuffing), must not hold a systems layer start code, and must not be MPEG-1; the rewriters refuse
// the rest.
int32_t ScanChunk(uint8_t* chunk, int32_t length, StreamCounters& counters);

// ScanChunk with another search for the start codes, for the benchmark and
// the fuzz target's plain walk; the search must find what FindStartCode
// finds (it may stop at slice start codes too).
int32_t ScanChunkWith(StartCodeSearch search, uint8_t* chunk, int32_t length, StreamCounters& counters);

// At the end of the input, after the last ScanChunk: refuses a stream that
// never got to its first sequence header (an empty input among them), ends
// the last GOP (its mends come as counters.patches), and, taking pulldown
// off, judges whether the stream was film shown by pulldown at all; at its
// timestamps, whether the timestamps were for as many pictures.
void FinishStream(StreamCounters& counters);
