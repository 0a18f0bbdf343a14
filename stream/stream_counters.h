// Per-file state of one conversion: what the scanner has counted and noted
// so far, and why it stopped if it refused the stream.
#pragma once

#include <cstdint>
#include <string>

// chroma_format (Table 6-5): 1 is 4:2:0, 2 is 4:2:2, 3 is 4:4:4.
constexpr int kChroma420 = 1;

// Why a stream is not converted. The scanner and the rewriters hand a
// refusal back in the counters; the driver reports it.
enum class Refusal : uint8_t {
    kNone,
    // The input does not begin with a sequence header, or holds a systems
    // layer start code: a container, another codec, or not video at all.
    kNotElementaryStream,
    kFrameRate,         // a rate other than 24 or 23.976 frames per second
    kFieldPicture,      // picture_structure other than frame
    kProgressiveLines,  // refusalValue: the sequence's height in lines
    kMpeg1,
    // A rewriter handed bytes that are not its header: a fault of the
    // program itself, never of the stream.
    kNotSequenceHeader,
    kNotSequenceExtension,
    kNotPictureCodingExtension,
    kNotGopHeader,
};

struct StreamCounters {
    // Picture start codes handled so far in this file.
    uint64_t pictureCount = 0;
    // temporal_reference (10 bits, 0..1023) of the most recent picture header.
    int64_t temporalReference = 0;
    // pictureCount as it stood when the most recent GOP header was handled.
    uint64_t gopPictureBase = 0;
    // chroma_format of the most recent sequence extension; 4:2:0 before any.
    int chromaFormat = kChroma420;
    // vertical_size_value (12 bits) of the most recent sequence header, 0
    // before any.
    int32_t verticalSizeValue = 0;
    // A sequence header has been handled: the stream began as an elementary
    // stream does.
    bool sequenceSeen = false;
    // A sequence header has been handled and its sequence extension has not
    // followed yet. In MPEG-2 one always does (6.2.2); in MPEG-1 (ISO/IEC
    // 11172-2) there is none, and a GOP or picture header comes next.
    bool sequenceExtensionDue = false;

    // The first GOP header's time_code, where the output's time codes count
    // from: its hours, minutes and seconds in seconds, its pictures, and
    // pictureCount as it stood then.
    bool timeCodeOriginSet = false;
    int64_t originSeconds = 0;
    int64_t originPictures = 0;
    uint64_t originPictureBase = 0;

    Refusal refusal = Refusal::kNone;
    int64_t refusalValue = 0;
};

// The message line (ending in a line feed) that reports the counters'
// refusal.
std::string DescribeRefusal(const StreamCounters& counters);
