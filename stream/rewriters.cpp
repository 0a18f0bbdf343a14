// The job's rate plan and the header rewriters (sequence, GOP, picture coding extension).
#include "stream/rewriters.h"

#include "stream/start_codes.h"
#include "stream/timeline.h"

namespace {

bool HasStartCode(const uint8_t* header, uint8_t code)
{
    return header[0] == 0x00 && header[1] == 0x00 && header[2] == 0x01 && header[3] == code;
}

bool IsExtension(const uint8_t* header, uint8_t identifier)
{
    return HasStartCode(header, kExtensionStartCode) && ExtensionIdentifier(header[4]) == identifier;
}

// The classic job raises 23.976 to 29.97 and 24 to 30: both are +3.
constexpr int kClassicRaise = 3;

// Sequence extension, offset 5: progressive_sequence (bit 3); offset 6:
// vertical_size_extension (bits 6-5), the two bits above the sequence
// header's twelve of vertical_size_value; offset 9: frame_rate_extension_n
// (bits 6-5) and frame_rate_extension_d (bits 4-0), 6.2.2.3.
constexpr uint8_t kProgressiveSequence = 0x08;
constexpr uint8_t kFrameRateExtensionBits = 0x7F;

// Macroblocks are 16 lines high. In a frame picture of a sequence that is not
// progressive, the rows are counted in pairs, one per field (6.3.3,
// mb_height).
constexpr int32_t kMacroblockLines = 16;

// picture_structure (Table 6-14).
constexpr uint8_t kFramePicture = 3;

// Picture coding extension, offset 7: top_field_first (bit 7),
// repeat_first_field (bit 1), chroma_420_type (bit 0); offset 8:
// progressive_frame (bit 7), 6.2.3.1.
constexpr uint8_t kTopFieldFirst = 0x80;
constexpr uint8_t kRepeatFirstField = 0x02;
constexpr uint8_t kChroma420Type = 0x01;
constexpr uint8_t kProgressiveFrame = 0x80;

// time_code (Table 6-11): hours 0 to 23; a second holds as many frames as the
// rate rounded up (30 for 29.97), counted without dropping any.
constexpr int64_t kHoursPerDay = 24;
// GOP offset 5 bit 3: marker_bit, always 1.
constexpr uint8_t kTimeCodeMarkerBit = 0x08;
// GOP offset 7 bit 7: lowest bit of time_code_pictures; below it closed_gop,
// broken_link and five bits that stay as they are.
constexpr uint8_t kLowPictureBit = 0x80;

}  // namespace

Refusal PlanRate(StreamCounters& counters)
{
    const int source = counters.frameRateCode;
    int target = 0;
    Cadence cadence;
    switch (counters.job.kind) {
    case JobKind::kDescribe:
        return Refusal::kNone;
    case JobKind::kPulldown:
        if (counters.job.timeline != nullptr) {
            // At its timestamps: any rate (the cadence only converts the
            // first time code's pictures).
            if (!IsKnownRate(source)) {
                counters.refusalValue = source;
                return Refusal::kRatePair;
            }
            target = counters.job.targetCode;
        } else if (counters.job.targetCode == 0) {
            if (source != kRate23976 && source != kRate24) {
                return Refusal::kFrameRate;
            }
            target = source + kClassicRaise;
        } else {
            target = counters.job.targetCode;
            if (!SourceShowsAt(source, target)) {
                counters.refusalValue = source;
                return Refusal::kRatePair;
            }
        }
        cadence = PulldownCadence(source, target);
        break;
    case JobKind::kUndo:
        // Film shown at 29.97 or 30 by repeated fields, or at 59.94 or 60 by
        // repeated frames: one picture, two fields or one frame.
        if (source == kRate2997 || source == kRate5994) {
            target = kRate23976;
        } else if (source == kRate30 || source == kRate60) {
            target = kRate24;
        } else {
            counters.refusalValue = source;
            return Refusal::kUndoRate;
        }
        cadence = source >= kRate50 ? FrameRepetition(target, target) : FieldRepetition(target, target);
        // Two fields a picture at either film rate is the same cadence, but
        // a film of 24 joined to one of 23.976 has no one rate to go back to.
        if (counters.cadenceSet && target != counters.targetCode) {
            return Refusal::kRateChange;
        }
        break;
    }
    const bool sameCadence = cadence.unitsNumerator * counters.cadence.unitsDenominator ==
                                 counters.cadence.unitsNumerator * cadence.unitsDenominator &&
                             cadence.unitsPerFrame == counters.cadence.unitsPerFrame;
    if (counters.cadenceSet && !sameCadence) {
        return Refusal::kRateChange;
    }
    counters.cadenceSet = true;
    counters.cadence = cadence;
    counters.targetCode = target;
    return Refusal::kNone;
}

Refusal RewriteSequenceHeader(uint8_t* header, const StreamCounters& counters)
{
    if (!HasStartCode(header, kSequenceHeaderCode)) {
        return Refusal::kNotSequenceHeader;
    }
    // Offset 7: aspect_ratio_information (bits 7-4), frame_rate_code (3-0),
    // 6.2.2.1.
    header[7] = static_cast<uint8_t>((header[7] & 0xF0) | counters.targetCode);
    return Refusal::kNone;
}

Refusal RewriteSequenceExtension(uint8_t* header, const StreamCounters& counters, int64_t& refusalValue)
{
    if (!IsExtension(header, kSequenceExtensionId)) {
        return Refusal::kNotSequenceExtension;
    }
    // The frame rate is frame_rate_value * (frame_rate_extension_n + 1) /
    // (frame_rate_extension_d + 1) (6.3.3): anything but 0 and 0 is another
    // rate than the sequence header's.
    if ((header[9] & kFrameRateExtensionBits) != 0) {
        const bool classic = counters.job.kind == JobKind::kPulldown && counters.job.targetCode == 0;
        return classic ? Refusal::kFrameRate : Refusal::kRateExtension;
    }
    const bool progressive_sequence = (header[5] & kProgressiveSequence) != 0;
    const bool byFrames = counters.cadence.unitsPerFrame == 1;
    if (counters.job.kind == JobKind::kUndo) {
        // Repeated fields belong to a sequence that is not progressive,
        // repeated frames to a progressive one (6.3.10).
        if (progressive_sequence != byFrames) {
            refusalValue = counters.frameRateCode;
            return Refusal::kUndoRate;
        }
        return Refusal::kNone;
    }
    if (byFrames) {
        return progressive_sequence ? Refusal::kNone : Refusal::kInterlacedFrameRepetition;
    }
    if (!progressive_sequence) {
        return Refusal::kNone;
    }
    const int32_t lines = counters.verticalSize;
    // A progressive sequence has (lines + 15) / 16 macroblock rows, any
    // other 2 * ((lines + 31) / 32): with a height that is not a multiple of
    // 32 the two differ, and the slices would no longer fit the picture.
    const int32_t progressiveRows = (lines + kMacroblockLines - 1) / kMacroblockLines;
    const int32_t interlacedRows = 2 * ((lines + 2 * kMacroblockLines - 1) / (2 * kMacroblockLines));
    if (progressiveRows != interlacedRows) {
        refusalValue = lines;
        return Refusal::kProgressiveLines;
    }
    // In a progressive sequence repeat_first_field repeats whole frames
    // (6.3.10); in any other it repeats one field, as field repetition needs.
    header[5] = static_cast<uint8_t>(header[5] & ~kProgressiveSequence);
    return Refusal::kNone;
}

PulldownFlags OutputFlags(const StreamCounters& counters, int64_t n)
{
    if (counters.job.timeline != nullptr) {
        return TimelineFlags(*counters.job.timeline, n);
    }
    return FlagsOfPicture(counters.cadence, n);
}

int64_t OutputFrame(const StreamCounters& counters, int64_t n)
{
    if (counters.job.timeline != nullptr) {
        return TimelineFrame(*counters.job.timeline, n);
    }
    return FrameOfPicture(counters.cadence, n);
}

uint8_t WithPulldownFlags(uint8_t byte7, PulldownFlags flags)
{
    return static_cast<uint8_t>((byte7 & ~(kTopFieldFirst | kRepeatFirstField)) |
                                (flags.topFieldFirst ? kTopFieldFirst : 0) |
                                (flags.repeatFirstField ? kRepeatFirstField : 0));
}

Refusal RewritePictureCodingExtension(uint8_t* header, const StreamCounters& counters, int64_t displayIndex)
{
    if (!IsExtension(header, kPictureCodingExtensionId)) {
        return Refusal::kNotPictureCodingExtension;
    }
    // Offset 6: f_code[1][1] (bits 7-4), intra_dc_precision (3-2),
    // picture_structure (1-0), 6.2.3.1.
    const uint8_t picture_structure = header[6] & 0x03;
    if (picture_structure != kFramePicture) {
        return Refusal::kFieldPicture;
    }
    // The flags follow the picture's display position, whatever field order
    // it was coded with.
    PulldownFlags shown = OutputFlags(counters, displayIndex);
    // A picture coded interlaced is video: taking pulldown off a hybrid, its
    // field order is its motion, and stays.
    const bool progressive_frame = (header[8] & kProgressiveFrame) != 0;
    if (counters.job.kind == JobKind::kUndo && counters.job.keepTiming && !progressive_frame) {
        shown.topFieldFirst = (header[7] & kTopFieldFirst) != 0;
    }
    uint8_t flags = WithPulldownFlags(header[7], shown);
    if (counters.job.kind == JobKind::kPulldown) {
        // In a 4:2:0 stream chroma_420_type equals progressive_frame (6.3.10);
        // in any other it is 0 and stays so.
        if (counters.chromaFormat == kChroma420) {
            flags |= kChroma420Type;
        }
        // A decoder repeats a field only of a progressive frame (6.3.10). The
        // film frames are whole pictures taken at one instant; each is shown
        // as two or three fields.
        header[8] |= kProgressiveFrame;
    }
    header[7] = flags;
    return Refusal::kNone;
}

Refusal RewriteGopHeader(uint8_t* header, const StreamCounters& counters)
{
    if (!HasStartCode(header, kGroupStartCode)) {
        return Refusal::kNotGopHeader;
    }
    const FrameRate rate = RateOfCode(counters.targetCode);
    const int64_t framesPerSecond = (rate.numerator + rate.denominator - 1) / rate.denominator;
    const int64_t framesPerMinute = 60 * framesPerSecond;
    const int64_t framesPerHour = 60 * framesPerMinute;
    // The first GOP keeps its hours, minutes and seconds; its picture count
    // comes to the output's frames as any other count of pictures does:
    // repeating, the frame in which that picture starts; taking pulldown
    // off, the picture that the frame shows.
    const int64_t originFrames =
        counters.job.kind == JobKind::kUndo
            ? PictureShownInFrame(PulldownCadence(counters.targetCode, counters.frameRateCode), counters.originPictures)
            : FrameOfPicture(counters.cadence, counters.originPictures);
    // The time code names the GOP's first picture in display order: the
    // frame in which its first field falls, counted on from the frame of the
    // first GOP's first picture.
    const int64_t t = counters.originSeconds * framesPerSecond + originFrames +
                      OutputFrame(counters, static_cast<int64_t>(counters.gopPictureBase)) -
                      OutputFrame(counters, static_cast<int64_t>(counters.originPictureBase));
    const int64_t hours = t / framesPerHour % kHoursPerDay;
    const int64_t minutes = t % framesPerHour / framesPerMinute;
    const int64_t seconds = t % framesPerMinute / framesPerSecond;
    const int64_t pictures = t % framesPerSecond;

    // time_code (6.2.2.6, Table 6-11) from offset 4 on: drop_frame_flag (0),
    // hours (5 bits), minutes (6), marker_bit, seconds (6), pictures (6).
    header[4] = static_cast<uint8_t>(hours << 2 | minutes >> 4);
    header[5] = static_cast<uint8_t>((minutes & 0x0F) << 4 | kTimeCodeMarkerBit | seconds >> 3);
    header[6] = static_cast<uint8_t>((seconds & 0x07) << 5 | pictures >> 1);
    header[7] = static_cast<uint8_t>((header[7] & ~kLowPictureBit) | (pictures & 1) << 7);
    return Refusal::kNone;
}
