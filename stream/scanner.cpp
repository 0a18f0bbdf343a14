// The start-code scanner: one chunk of an MPEG-2 stream walked, its headers counted and rewritten.
#include "stream/scanner.h"

#include <cstring>

#include "stream/display_order.h"
#include "stream/rewriters.h"
#include "stream/start_code_search.h"
#include "stream/start_codes.h"
#include "stream/timeline.h"

namespace {

// start_code_prefix is two zero bytes and a one (6.2.1); any more zero bytes
// before it are stuffing.
constexpr int32_t kPrefixZeroBytes = 2;
constexpr uint8_t kPrefixLastByte = 0x01;

// temporal_reference counts modulo 1024 (6.3.9), a power of two: two
// pictures in a row are never half of that apart.
constexpr int64_t kReferenceModulus = 1024;

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

bool Converting(const StreamCounters& counters)
{
    return counters.job.kind != JobKind::kDescribe;
}

// An MPEG-1 stream (ISO/IEC 11172-2) has no sequence extension and no picture
// coding extension: there is nothing to set the pulldown flags in. It is
// refused, or noted when only described.
bool RefuseMpeg1(StreamCounters& counters)
{
    if (!counters.sequenceExtensionDue) {
        return false;
    }
    if (!Converting(counters)) {
        counters.mpeg1 = true;
        counters.sequenceExtensionDue = false;
        return false;
    }
    counters.refusal = Refusal::kMpeg1;
    return true;
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

// Sequence header (6.2.2.1): horizontal_size_value (12 bits from offset 4),
// vertical_size_value (12 bits from the middle of offset 5),
// frame_rate_code (offset 7, bits 3-0).
Refusal HandleSequenceHeader(uint8_t* p, StreamCounters& counters)
{
    counters.horizontalSize = p[4] << 4 | p[5] >> 4;
    counters.verticalSizeValue = (p[5] & 0x0F) << 8 | p[6];
    counters.verticalSize = counters.verticalSizeValue;
    counters.frameRateCode = p[7] & 0x0F;
    counters.sequenceSeen = true;
    counters.sequenceExtensionDue = true;
    if (!Converting(counters)) {
        return Refusal::kNone;
    }
    const Refusal refusal = PlanRate(counters);
    return refusal != Refusal::kNone ? refusal : RewriteSequenceHeader(p, counters);
}

// Sequence extension (6.2.2.3): offset 5 progressive_sequence (bit 3),
// chroma_format (bits 2-1), the high bit of horizontal_size_extension
// (bit 0); offset 6 its low bit (bit 7) and vertical_size_extension (bits
// 6-5); offset 9 frame_rate_extension_n (bits 6-5) and _d (bits 4-0).
Refusal HandleSequenceExtension(uint8_t* p, StreamCounters& counters)
{
    constexpr int kSizeValueBits = 12;
    counters.progressiveSequence = (p[5] & 0x08) != 0;
    counters.chromaFormat = (p[5] >> 1) & 0x03;
    const int horizontal_size_extension = (p[5] & 0x01) << 1 | p[6] >> 7;
    const int vertical_size_extension = (p[6] >> 5) & 0x03;
    counters.horizontalSize = (counters.horizontalSize & 0x0FFF) | horizontal_size_extension << kSizeValueBits;
    counters.verticalSize = counters.verticalSizeValue | vertical_size_extension << kSizeValueBits;
    counters.frameRateExtensionN = (p[9] >> 5) & 0x03;
    counters.frameRateExtensionD = p[9] & 0x1F;
    counters.sequenceExtensionDue = false;
    return Converting(counters) ? RewriteSequenceExtension(p, counters, counters.refusalValue) : Refusal::kNone;
}

// Picture coding extension (6.2.3.1): offset 6 picture_structure (bits
// 1-0); offset 7 top_field_first (bit 7), repeat_first_field (bit 1);
// offset 8 progressive_frame (bit 7). Noted for the picture whose header
// came last, then rewritten for its display position as far as it is known
// yet: in a GOP, the pictures before it plus temporal_reference.
Refusal HandlePictureCodingExtension(uint8_t* p, int64_t offset, StreamCounters& counters)
{
    PictureRecord scratch;
    PictureRecord& picture = counters.hasCurrent && !counters.current.secondField ? counters.current : scratch;
    picture.hasCodingExtension = true;
    picture.pictureStructure = p[6] & 0x03;
    picture.topFieldFirst = (p[7] & 0x80) != 0;
    picture.repeatFirstField = (p[7] & 0x02) != 0;
    picture.progressiveFrame = (p[8] & 0x80) != 0;
    if (!Converting(counters)) {
        return Refusal::kNone;
    }
    const int64_t display = GuessDisplayNumber(counters);
    const Refusal refusal = RewritePictureCodingExtension(p, counters, display);
    picture.flagsOffset = offset + 7;
    picture.writtenFlags = p[7];
    picture.guessedDisplay = display;
    return refusal;
}

// At its timestamps: a picture that leaves the next too far from its time
// is refused once that next one is shown (a display number guessed, or the
// last picture's next, may lie past the stream's end).
void RefuseUntimelyPictures(StreamCounters& counters)
{
    Timeline* timeline = counters.job.timeline;
    if (timeline != nullptr && counters.refusal == Refusal::kNone &&
        TimelineRefuses(*timeline, static_cast<int64_t>(counters.shownCount))) {
        counters.refusal = Refusal::kTimestamps;
    }
}

// Picture header (6.2.3): temporal_reference, 10 bits from offset 4;
// picture_coding_type, 3 bits after it.
void HandlePictureHeader(const uint8_t* p, StreamCounters& counters, uint8_t* chunk, int32_t length)
{
    const int64_t temporal_reference = (int64_t{p[4]} << 2) | (p[5] >> 6);
    const int picture_coding_type = (p[5] >> 3) & 0x07;
    // Counted on over the wraps: a step back of up to half the modulus is a
    // picture shown before the last one, anything more a wrap. The count
    // starts again at each GOP, where temporal_reference does.
    const int64_t step =
        ((temporal_reference - counters.temporalReference + kReferenceModulus / 2) & (kReferenceModulus - 1)) -
        kReferenceModulus / 2;
    counters.unwrappedReference =
        counters.firstPictureOfGroup ? temporal_reference : counters.unwrappedReference + step;
    counters.firstPictureOfGroup = false;
    counters.temporalReference = temporal_reference;
    PictureRecord picture;
    picture.coded = counters.pictureCount;
    picture.temporalReference = static_cast<int32_t>(temporal_reference);
    // Forbidden and reserved types (0, 5 to 7) are taken as I: shown in
    // order, never as a B-picture out of it.
    picture.type = picture_coding_type >= 2 && picture_coding_type <= 4 ? static_cast<PictureType>(picture_coding_type)
                                                                        : PictureType::kIntra;
    picture.progressiveSequence = counters.progressiveSequence;
    picture.frameRateCode = counters.frameRateCode;
    ++counters.pictureCount;
    BeginPicture(counters, picture, ChunkAtHand{chunk, length});
    RefuseUntimelyPictures(counters);
}

// Runs a header's edit and, where the driver writes only the bytes that
// change, notes whether these did.
template <typename Edit>
Refusal Edited(StreamCounters& counters, uint8_t* p, int64_t offset, int32_t size, Edit edit)
{
    if (!counters.trackEdits) {
        return edit();
    }
    uint8_t before[kSequenceExtensionBytes];
    std::memcpy(before, p, static_cast<std::size_t>(size));
    const Refusal refusal = edit();
    if (std::memcmp(before, p, static_cast<std::size_t>(size)) != 0) {
        counters.edits.push_back(EditedBytes{offset, size});
    }
    return refusal;
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
            refusal = Edited(counters, p, counters.streamOffset + i, kSequenceHeaderBytes,
                             [&] { return HandleSequenceHeader(p, counters); });
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
                refusal = Edited(counters, p, counters.streamOffset + i, kSequenceExtensionBytes,
                                 [&] { return HandleSequenceExtension(p, counters); });
                i += kSequenceExtensionBytes;
            } else if (identifier == kPictureCodingExtensionId) {
                if (left < kPictureCodingExtensionBytes) {
                    return i;
                }
                const int64_t offset = counters.streamOffset + i;
                refusal = Edited(counters, p, offset, kPictureCodingExtensionBytes,
                                 [&] { return HandlePictureCodingExtension(p, offset, counters); });
                i += kPictureCodingExtensionBytes;
            } else if (identifier == kPictureDisplayExtensionId && Converting(counters)) {
                // Its number of frame_centre_offsets follows
                // top_field_first and repeat_first_field (6.3.12), which
                // change, and it cannot grow in place: as user data of the
                // same length decoders skip it (6.2.2.2.2).
                Edited(counters, p, counters.streamOffset + i, kStartCodeLength, [p] {
                    p[3] = kUserDataStartCode;
                    return Refusal::kNone;
                });
                i += kPictureDisplayExtensionBytes;
            } else {
                ++i;  // quant matrix, sequence display and the others pass
            }
            break;
        }
        case kPictureStartCode:
            if (left < kPictureHeaderBytes) {
                return i;
            }
            if (RefuseMpeg1(counters)) {
                return i;
            }
            HandlePictureHeader(p, counters, chunk, length);
            if (counters.refusal != Refusal::kNone) {
                return i;  // the frame shown before this one was refused
            }
            i += kPictureHeaderBytes;
            break;
        case kGroupStartCode:
            if (left < kGroupHeaderBytes) {
                return i;
            }
            if (RefuseMpeg1(counters)) {
                return i;
            }
            if (!counters.timeCodeOriginSet) {
                NoteTimeCodeOrigin(p, counters);
            }
            counters.gopPictureBase = counters.pictureCount;
            counters.groupHasHeader = true;
            counters.firstPictureOfGroup = true;
            if (Converting(counters)) {
                refusal = Edited(counters, p, counters.streamOffset + i, kGroupHeaderBytes,
                                 [&] { return RewriteGopHeader(p, counters); });
            }
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

template <typename Search>
int32_t WalkAndCount(Search find, uint8_t* chunk, int32_t length, StreamCounters& counters)
{
    const int32_t done = Walk(find, chunk, length, counters);
    counters.streamOffset += done;
    return done;
}

// Film shown by pulldown shows 5 units (fields, or frames) for every 2
// pictures; a few units off over the whole stream are the breaks at edits.
constexpr int64_t kFilmUnitsPerTwoPictures = 5;
constexpr int64_t kUnitsOffAllowed = 4;
constexpr int64_t kPicturesPerUnitMore = 1000;

void JudgeUndo(StreamCounters& counters)
{
    const DisplayStats& stats = counters.display;
    const auto pictures = static_cast<int64_t>(stats.pictures);
    const auto units = static_cast<int64_t>(stats.units);
    const int64_t off = 2 * units - kFilmUnitsPerTwoPictures * pictures;  // in half units
    const int64_t allowed = 2 * (kUnitsOffAllowed + pictures / kPicturesPerUnitMore);
    if (stats.repeated == 0) {
        counters.refusal = Refusal::kUndoNoRepeats;
    } else if (!counters.job.keepTiming && (off > allowed || -off > allowed)) {
        counters.refusal = Refusal::kUndoNotFilm;
        counters.refusalValue = units;
        counters.refusalCount = pictures;
    }
}

}  // namespace

int32_t ScanChunk(uint8_t* chunk, int32_t length, StreamCounters& counters)
{
    // A lambda, not a pointer: the search's first test is inlined here.
    const auto find = [](const uint8_t* c, int32_t from, int32_t n) { return FindStartCode(c, from, n); };
    return WalkAndCount(find, chunk, length, counters);
}

int32_t ScanChunkWith(StartCodeSearch search, uint8_t* chunk, int32_t length, StreamCounters& counters)
{
    return WalkAndCount(search, chunk, length, counters);
}

void FinishStream(StreamCounters& counters)
{
    if (counters.refusal != Refusal::kNone) {
        return;
    }
    if (!counters.sequenceSeen) {
        counters.refusal = Refusal::kNotElementaryStream;
        return;
    }
    FinishPictures(counters);
    if (counters.refusal == Refusal::kNone && counters.job.kind == JobKind::kUndo) {
        JudgeUndo(counters);
    }
    RefuseUntimelyPictures(counters);
    if (counters.refusal == Refusal::kNone && counters.job.timeline != nullptr &&
        TimelineRefusesCount(*counters.job.timeline, static_cast<int64_t>(counters.shownCount))) {
        counters.refusal = Refusal::kTimestamps;
    }
}
