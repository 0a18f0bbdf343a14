#include "stream/rewriters.h"

#include "stream/start_codes.h"

namespace {

bool HasStartCode(const uint8_t* header, uint8_t code)
{
    return header[0] == 0x00 && header[1] == 0x00 && header[2] == 0x01 && header[3] == code;
}

bool IsExtension(const uint8_t* header, uint8_t identifier)
{
    return HasStartCode(header, kExtensionStartCode) &&
           ExtensionIdentifier(header[4]) == identifier;
}

// frame_rate_code values (Table 6-4).
constexpr uint8_t kFrameRate23976 = 1;  // 24000/1001
constexpr uint8_t kFrameRate24 = 2;
// 23.976 -> 29.97 (code 4) and 24 -> 30 (code 5): both are +3.
constexpr uint8_t kFrameRateRaise = 3;

// Sequence extension, offset 5: progressive_sequence (bit 3); offset 6:
// vertical_size_extension (bits 6-5), the two bits above the sequence
// header's twelve of vertical_size_value; offset 9: frame_rate_extension_n
// (bits 6-5) and frame_rate_extension_d (bits 4-0), 6.2.2.3.
constexpr uint8_t kProgressiveSequence = 0x08;
constexpr int kVerticalSizeExtensionShift = 5;
constexpr int kVerticalSizeValueBits = 12;
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

// time_code (Table 6-11) counts 30 frames per second here, for 29.97 too,
// without dropping any; time_code_hours runs from 0 to 23.
constexpr int64_t kFramesPerSecond = 30;
constexpr int64_t kFramesPerMinute = 60 * kFramesPerSecond;
constexpr int64_t kFramesPerHour = 60 * kFramesPerMinute;
constexpr int64_t kHoursPerDay = 24;
// GOP offset 5 bit 3: marker_bit, always 1.
constexpr uint8_t kTimeCodeMarkerBit = 0x08;
// GOP offset 7 bit 7: lowest bit of time_code_pictures; below it closed_gop,
// broken_link and five bits that stay as they are.
constexpr uint8_t kLowPictureBit = 0x80;

}  // namespace

int64_t FrameOfPicture(int64_t n)
{
    // By 3:2 pulldown film picture n starts at field ceil(5n / 2), which
    // lies in frame floor(ceil(5n / 2) / 2) = floor((5n + 1) / 4).
    return (5 * n + 1) / 4;
}

Refusal RewriteSequenceHeader(uint8_t* header)
{
    if (!HasStartCode(header, kSequenceHeaderCode)) {
        return Refusal::kNotSequenceHeader;
    }
    // Offset 7: aspect_ratio_information (bits 7-4), frame_rate_code (3-0),
    // 6.2.2.1.
    const uint8_t frame_rate_code = header[7] & 0x0F;
    if (frame_rate_code != kFrameRate23976 && frame_rate_code != kFrameRate24) {
        return Refusal::kFrameRate;
    }
    // No carry out of the low nibble: the aspect ratio stays.
    header[7] = static_cast<uint8_t>(header[7] + kFrameRateRaise);
    return Refusal::kNone;
}

Refusal RewriteSequenceExtension(uint8_t* header, const StreamCounters& counters,
                                 int64_t& refusalValue)
{
    if (!IsExtension(header, kSequenceExtensionId)) {
        return Refusal::kNotSequenceExtension;
    }
    // The frame rate is frame_rate_value * (frame_rate_extension_n + 1) /
    // (frame_rate_extension_d + 1) (6.3.3): anything but 0 and 0 is another
    // rate than 24 or 23.976.
    if ((header[9] & kFrameRateExtensionBits) != 0) {
        return Refusal::kFrameRate;
    }
    if ((header[5] & kProgressiveSequence) == 0) {
        return Refusal::kNone;
    }
    const int32_t vertical_size_extension = (header[6] >> kVerticalSizeExtensionShift) & 0x03;
    const int32_t lines =
        counters.verticalSizeValue | vertical_size_extension << kVerticalSizeValueBits;
    // A progressive sequence has (lines + 15) / 16 macroblock rows, any
    // other 2 * ((lines + 31) / 32): with a height that is not a multiple of
    // 32 the two differ, and the slices would no longer fit the picture.
    const int32_t progressiveRows = (lines + kMacroblockLines - 1) / kMacroblockLines;
    const int32_t interlacedRows =
        2 * ((lines + 2 * kMacroblockLines - 1) / (2 * kMacroblockLines));
    if (progressiveRows != interlacedRows) {
        refusalValue = lines;
        return Refusal::kProgressiveLines;
    }
    // In a progressive sequence repeat_first_field repeats whole frames
    // (6.3.10); in any other it repeats one field, as pulldown needs.
    header[5] = static_cast<uint8_t>(header[5] & ~kProgressiveSequence);
    return Refusal::kNone;
}

Refusal RewritePictureCodingExtension(uint8_t* header, const StreamCounters& counters)
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
    // temporal_reference numbers a GOP's pictures in display order (6.3.9),
    // so this is the picture's display position in the stream, modulo 4:
    // the four pictures of one 3:2 cycle show top-bottom-top, bottom-top,
    // bottom-top-bottom and top-bottom, whatever field order they were coded
    // with.
    static const uint8_t kCadence[4] = {
        kTopFieldFirst | kRepeatFirstField,
        0,
        kRepeatFirstField,
        kTopFieldFirst,
    };
    const uint64_t phase =
        (counters.gopPictureBase + static_cast<uint64_t>(counters.temporalReference)) % 4;
    uint8_t flags = header[7] & static_cast<uint8_t>(~(kTopFieldFirst | kRepeatFirstField));
    flags |= kCadence[phase];
    // In a 4:2:0 stream chroma_420_type equals progressive_frame (6.3.10);
    // in any other it is 0 and stays so.
    if (counters.chromaFormat == kChroma420) {
        flags |= kChroma420Type;
    }
    header[7] = flags;
    // A decoder repeats a field only of a progressive frame (6.3.10). The
    // film frames are whole pictures taken at one instant; each is shown as
    // two or three fields.
    header[8] |= kProgressiveFrame;
    return Refusal::kNone;
}

Refusal RewriteGopHeader(uint8_t* header, const StreamCounters& counters)
{
    if (!HasStartCode(header, kGroupStartCode)) {
        return Refusal::kNotGopHeader;
    }
    // The time code names the GOP's first picture in display order: the
    // frame in which its first field falls, counted on from the frame of the
    // first GOP's first picture, which keeps that GOP's own label.
    const int64_t t = counters.originSeconds * kFramesPerSecond +
                      FrameOfPicture(counters.originPictures) +
                      FrameOfPicture(static_cast<int64_t>(counters.gopPictureBase)) -
                      FrameOfPicture(static_cast<int64_t>(counters.originPictureBase));
    const int64_t hours = t / kFramesPerHour % kHoursPerDay;
    const int64_t minutes = t % kFramesPerHour / kFramesPerMinute;
    const int64_t seconds = t % kFramesPerMinute / kFramesPerSecond;
    const int64_t pictures = t % kFramesPerSecond;

    // time_code (6.2.2.6, Table 6-11) from offset 4 on: drop_frame_flag (0),
    // hours (5 bits), minutes (6), marker_bit, seconds (6), pictures (6).
    header[4] = static_cast<uint8_t>(hours << 2 | minutes >> 4);
    header[5] = static_cast<uint8_t>((minutes & 0x0F) << 4 | kTimeCodeMarkerBit | seconds >> 3);
    header[6] = static_cast<uint8_t>((seconds & 0x07) << 5 | pictures >> 1);
    header[7] = static_cast<uint8_t>((header[7] & ~kLowPictureBit) | (pictures & 1) << 7);
    return Refusal::kNone;
}
