// The start-code scanner: walks one chunk of an MPEG-2 video elementary
// stream, counts pictures and hands each header that the conversion edits to
// its rewriter, in place.
#pragma once

#include <cstdint>

#include "stream/stream_counters.h"

// Walks chunk[0, length), rewriting headers in place and updating counters.
// An MPEG-1 stream (a GOP or picture header straight after a sequence
// header, with no sequence extension) ends the process with a message, as
// the rewriters' refusals do. Returns how many leading bytes are finished and may be written (0 to
// length). The bytes after that (at most kMaxHeldBackBytes) are either a
// recognised header not yet wholly inside the chunk, or the beginning of a
// start code whose naming bytes have not arrived yet; the caller carries them
// to the front of the next chunk. A length of 0 or less returns 0.
int32_t ScanChunk(uint8_t* chunk, int32_t length, StreamCounters& counters);

// At the end of the input: of the bytes a final ScanChunk held back, returns
// how many are still to be written. The beginning of a start code that never
// got its naming bytes is ordinary stream data and is written whole; a
// recognised header cut off by the end of the input is dropped (0).
int32_t CountHeldBytesToWrite(const uint8_t* held, int32_t heldLength);
