#include "stream/scanner.h"

#include "stream/fatal.h"
#include "stream/rewriters.h"
#include "stream/start_code_search.h"
#include "stream/start_codes.h"

namespace {

// An MPEG-1 stream (ISO/IEC 11172-2) has no sequence extension and no picture
// coding extension: there is nothing to set the pulldown flags in.
void RefuseMpeg1(const StreamCounters& counters)
{
    if (counters.sequenceExtensionDue) {
        Fatal("can't treat MPEG-1 stream\n");
    }
}

}  // namespace

int32_t ScanChunk(uint8_t* chunk, int32_t length, StreamCounters& counters)
{
    if (length <= 0) {
        return 0;
    }
    int32_t i = 0;
    for (;;) {
        // Every position before the next start code other than a slice's
        // is coded data or a slice start code, which would only be stepped
        // over one byte at a time below.
        i = FindStartCode(chunk, i, length);
        if (i >= length) {
            return length;
        }
        const int32_t left = length - i;
        uint8_t* p = chunk + i;
        if (left < kStartCodeLength) {
            // A start code may be split here by the end of the read: hold it
            // back so that the next chunk sees it whole.
            return i;
        }
        switch (p[3]) {
        case kSequenceHeaderCode:
            if (left < kSequenceHeaderBytes) {
                return i;
            }
            // Offsets 5 and 6: the low nibble and the low byte of
            // vertical_size_value (6.2.2.1).
            counters.verticalSizeValue = (p[5] & 0x0F) << 8 | p[6];
            counters.sequenceExtensionDue = true;
            RewriteSequenceHeader(p);
            i += kSequenceHeaderBytes;
            break;
        case kExtensionStartCode: {
            // The identifier decides which extension this is; without it
            // nothing can be decided yet.
            if (left == kStartCodeLength) {
                return i;
            }
            const uint8_t identifier = ExtensionIdentifier(p[4]);
            if (identifier == kSequenceExtensionId) {
                if (left < kSequenceExtensionBytes) {
                    return i;
                }
                // Offset 5, bits 2-1: chroma_format (6.2.2.3).
                counters.chromaFormat = (p[5] >> 1) & 0x03;
                counters.sequenceExtensionDue = false;
                RewriteSequenceExtension(p, counters);
                i += kSequenceExtensionBytes;
            } else if (identifier == kPictureCodingExtensionId) {
                if (left < kPictureCodingExtensionBytes) {
                    return i;
                }
                RewritePictureCodingExtension(p, counters);
                i += kPictureCodingExtensionBytes;
            } else {
                ++i;  // display, quant matrix and the other extensions pass
            }
            break;
        }
        case kPictureStartCode: {
            if (left < kPictureHeaderBytes) {
                return i;
            }
            RefuseMpeg1(counters);
            // temporal_reference: 10 bits, offset 4 then the top two bits of
            // offset 5 (6.2.3).
            const int64_t temporal_reference = (int64_t{p[4]} << 2) | (p[5] >> 6);
            ++counters.pictureCount;
            counters.temporalReference = temporal_reference;
            i += kPictureHeaderBytes;
            break;
        }
        case kGroupStartCode:
            if (left < kGroupHeaderBytes) {
                return i;
            }
            RefuseMpeg1(counters);
            counters.gopPictureBase = counters.pictureCount;
            RewriteGopHeader(p, counters);
            i += kGroupHeaderBytes;
            break;
        default:
            ++i;  // slices, user data, sequence end: nothing to do
            break;
        }
    }
}

int32_t CountHeldBytesToWrite(const uint8_t* held, int32_t heldLength)
{
    // The scanner holds back only from a position where a start code may
    // begin, so a held run is a recognised header exactly when it holds a
    // whole start code that names one (for an extension, with its identifier).
    if (heldLength < kStartCodeLength) {
        return heldLength;
    }
    if (held[3] == kExtensionStartCode && heldLength == kStartCodeLength) {
        return heldLength;
    }
    return 0;
}
