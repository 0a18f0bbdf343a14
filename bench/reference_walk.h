// The scanner's walk written plainly, to hold ScanChunk against: the
// benchmark's rows and the fuzz target share it. It holds back, counts and
// steps over the five headers as ScanChunk does, but finds each start code
// prefix with the search it is given, by default one position at a time.
#pragma once

#include <cstdint>

#include "stream/fatal.h"
#include "stream/rewriters.h"
#include "stream/start_codes.h"
#include "stream/stream_counters.h"

using FindFunction = int32_t (*)(const uint8_t* chunk, int32_t from, int32_t length);

// The first j from `from` on where start_code_prefix 0x00 0x00 0x01 (ISO/IEC
// 13818-2, 6.2.1) begins, slices' included, or as much of it as the chunk
// still holds; `length` if there is none.
inline int32_t FindPrefixByteByByte(const uint8_t* chunk, int32_t from, int32_t length)
{
    for (int32_t j = from; j < length; ++j) {
        if (chunk[j] == 0x00 && (j + 1 >= length || chunk[j + 1] == 0x00) &&
            (j + 2 >= length || chunk[j + 2] == 0x01)) {
            return j;
        }
    }
    return length;
}

// Walks chunk[0, length) and returns how many leading bytes are finished, as
// ScanChunk does. `handled` is set to each header as it is handled, so after
// a refusal it is the header refused.
template <FindFunction Find = FindPrefixByteByByte>
int32_t WalkChunk(uint8_t* chunk, int32_t length, StreamCounters& counters, int32_t& handled)
{
    for (int32_t i = 0;;) {
        i = Find(chunk, i, length);
        if (i >= length) {
            return length;
        }
        uint8_t* const p = chunk + i;
        const int32_t left = length - i;
        const bool extension = left >= kStartCodeLength && p[3] == kExtensionStartCode;
        if (left < kStartCodeLength || (extension && left == kStartCodeLength)) {
            return i;  // the naming byte, or an extension's identifier, is still to come
        }
        const int identifier = extension ? p[4] >> 4 : 0;
        const bool sequenceExtension = identifier == kSequenceExtensionId;
        const bool pictureExtension = identifier == kPictureCodingExtensionId;
        const int32_t size = p[3] == kSequenceHeaderCode ? kSequenceHeaderBytes
                             : sequenceExtension         ? kSequenceExtensionBytes
                             : pictureExtension          ? kPictureCodingExtensionBytes
                             : p[3] == kPictureStartCode ? kPictureHeaderBytes
                             : p[3] == kGroupStartCode   ? kGroupHeaderBytes
                                                         : 0;  // passed over
        if (size == 0) {
            ++i;
            continue;
        }
        if (left < size) {
            return i;
        }
        handled = i;
        if (p[3] == kSequenceHeaderCode) {  // vertical_size_value: 6.2.2.1
            counters.verticalSizeValue = (p[5] & 0x0F) * 256 + p[6];
            counters.sequenceExtensionDue = true;
            RewriteSequenceHeader(p);
        } else if (sequenceExtension) {  // chroma_format: 6.2.2.3
            counters.chromaFormat = (p[5] >> 1) & 3;
            counters.sequenceExtensionDue = false;
            RewriteSequenceExtension(p, counters);
        } else if (pictureExtension) {
            RewritePictureCodingExtension(p, counters);
        } else if (counters.sequenceExtensionDue) {
            Fatal("can't treat MPEG-1 stream\n");
        } else if (p[3] == kGroupStartCode) {
            counters.gopPictureBase = counters.pictureCount;
            RewriteGopHeader(p, counters);
        } else {  // temporal_reference: offset 4, then bits 7-6 of offset 5 (6.2.3)
            ++counters.pictureCount;
            counters.temporalReference = int64_t{p[4]} * 4 + (p[5] >> 6);
        }
        i += size;
    }
}

template <FindFunction Find = FindPrefixByteByByte>
int32_t WalkChunk(uint8_t* chunk, int32_t length, StreamCounters& counters)
{
    int32_t handled = 0;
    return WalkChunk<Find>(chunk, length, counters, handled);
}
