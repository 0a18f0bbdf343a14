#include "stream/scanner.h"

#include "stream/rewriters.h"
#include "stream/start_code_search.h"
#include "stream/start_codes.h"

namespace {

// start_code_prefix is two zero bytes and a one (6.2.1); any more zero bytes
// before it are stuffing.
constexpr int32_t kPrefixZeroBytes = 2;
constexpr uint8_t kPrefixLastByte = 0x01;

// Before the first sequence header: the stream must begin with zero bytes
// and then 00 00 01 B3. Returns where the walk goes on (the first 0x00 of
// that start code), or how much to write while the rest is still to come,
// as a negative count: -(finished bytes) - 1.
int32_t CheckStreamStart(const uint8_t* chunk, int32_t length, StreamCounters& counters)
{
    int32_t j = 0;
    while (j < length && chunk[j] == 0x00) {
        ++j;
    }
    // Up to two zero bytes are held back: they may begin the start code.
    // What came before them was checked by the call that held them.
    const int32_t prefixStart = j > kPrefixZeroBytes ? j - kPrefixZeroBytes : 0;
    if (j == length) {
        return -prefixStart - 1;
    }
    if (j < kPrefixZeroBytes || chunk[j] != kPrefixLastByte) {
        counters.refusal = Refusal::kNotElementaryStream;
        return prefixStart;
    }
    if (j + 1 == length) {
        return -prefixStart - 1;  // the naming byte is still to come
    }
    if (chunk[j + 1] != kSequenceHeaderCode) {
        counters.refusal = Refusal::kNotElementaryStream;
    }
    return prefixStart;
}

// An MPEG-1 stream (ISO/IEC 11172-2) has no sequence extension and no picture
// coding extension: there is nothing to set the pulldown flags in.
bool IsMpeg1(StreamCounters& counters)
{
    if (counters.sequenceExtensionDue) {
        counters.refusal = Refusal::kMpeg1;
        return true;
    }
    return false;
}

// The first GOP header's time_code (6.2.2.6) is where the output counts
// from.
void NoteTimeCodeOrigin(const uint8_t* p, StreamCounters& counters)
{
    const int64_t time_code_hours = (p[4] >> 2) & 0x1F;
    const int64_t time_code_minutes = (p[4] & 0x03) << 4 | p[5] >> 4;
    const int64_t time_code_seconds = (p[5] & 0x07) << 3 | p[6] >> 5;
    const int64_t time_code_pictures = (p[6] & 0x1F) << 1 | p[7] >> 7;
    counters.timeCodeOriginSet = true;
    counters.originSeconds = (time_code_hours * 60 + time_code_minutes) * 60 + time_code_seconds;
    counters.originPictures = time_code_pictures;
    counters.originPictureBase = counters.pictureCount;
}

template <typename Search>
int32_t Walk(Search find, uint8_t* chunk, int32_t length, StreamCounters& counters)
{
    if (length <= 0 || counters.refusal != Refusal::kNone) {
        return 0;
    }
    int32_t i = 0;
    if (!counters.sequenceSeen) {
        i = CheckStreamStart(chunk, length, counters);
        if (i < 0) {
            return -i - 1;
        }
        if (counters.refusal != Refusal::kNone) {
            return i;
        }
    }
    for (;;) {
        // Every position before the next start code other than a slice's
        // is coded data or a slice start code, which would only be stepped
        // over one byte at a time below.
        i = find(chunk, i, length);
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
        Refusal refusal = Refusal::kNone;
        switch (p[3]) {
        case kSequenceHeaderCode:
            if (left < kSequenceHeaderBytes) {
                return i;
            }
            // Offsets 5 and 6: the low nibble and the low byte of
            // vertical_size_value (6.2.2.1).
            counters.verticalSizeValue = (p[5] & 0x0F) << 8 | p[6];
            counters.sequenceSeen = true;
            counters.sequenceExtensionDue = true;
            refusal = RewriteSequenceHeader(p);
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
                refusal = RewriteSequenceExtension(p, counters, counters.refusalValue);
                i += kSequenceExtensionBytes;
            } else if (identifier == kPictureCodingExtensionId) {
                if (left < kPictureCodingExtensionBytes) {
                    return i;
                }
                refusal = RewritePictureCodingExtension(p, counters);
                i += kPictureCodingExtensionBytes;
            } else if (identifier == kPictureDisplayExtensionId) {
                // Its number of frame_centre_offsets follows
                // top_field_first and repeat_first_field (6.3.12), which
                // change, and it cannot grow in place: as user data of the
                // same length decoders skip it (6.2.2.2.2).
                p[3] = kUserDataStartCode;
                i += kPictureDisplayExtensionBytes;
            } else {
                ++i;  // quant matrix, sequence display and the others pass
            }
            break;
        }
        case kPictureStartCode: {
            if (left < kPictureHeaderBytes) {
                return i;
            }
            if (IsMpeg1(counters)) {
                return i;
            }
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
            if (IsMpeg1(counters)) {
                return i;
            }
            if (!counters.timeCodeOriginSet) {
                NoteTimeCodeOrigin(p, counters);
            }
            counters.gopPictureBase = counters.pictureCount;
            refusal = RewriteGopHeader(p, counters);
            i += kGroupHeaderBytes;
            break;
        default:
            if (p[3] >= kFirstSystemStartCode) {
                counters.refusal = Refusal::kNotElementaryStream;
                return i;
            }
            ++i;  // slices, user data, sequence end: nothing to do
            break;
        }
        if (refusal != Refusal::kNone) {
            counters.refusal = refusal;
            return static_cast<int32_t>(p - chunk);
        }
    }
}

}  // namespace

int32_t ScanChunk(uint8_t* chunk, int32_t length, StreamCounters& counters)
{
    // A lambda, not a pointer: the search's first test is inlined here.
    const auto find = [](const uint8_t* c, int32_t from, int32_t n) { return FindStartCode(c, from, n); };
    return Walk(find, chunk, length, counters);
}

int32_t ScanChunkWith(StartCodeSearch search, uint8_t* chunk, int32_t length,
                      StreamCounters& counters)
{
    return Walk(search, chunk, length, counters);
}

void FinishStream(StreamCounters& counters)
{
    if (counters.refusal == Refusal::kNone && !counters.sequenceSeen) {
        counters.refusal = Refusal::kNotElementaryStream;
    }
}
