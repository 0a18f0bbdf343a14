// Per-file state of one conversion: what the job is, what the scanner has
// counted and noted so far, and why it stopped if it refused the stream.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "stream/cadence.h"

struct Timeline;

// chroma_format (Table 6-5): 1 is 4:2:0, 2 is 4:2:2, 3 is 4:4:4.
constexpr int kChroma420 = 1;

// What is done to the stream.
enum class JobKind : uint8_t {
    // Repeat fields or frames so that the stream shows at targetCode's
    // rate; targetCode 0 is the classic job: 24 fps to 30 and 23.976 to
    // 29.97 by 3:2 pulldown.
    kPulldown,
    // Take pulldown off: 29.97 or 30 fps shown by repeated fields, or 59.94
    // or 60 by repeated frames, back to 23.976 or 24 fps film.
    kUndo,
    // Edit nothing, refuse nothing but what is no elementary stream: only
    // count, for a description of the stream.
    kDescribe,
};

struct Job {
    JobKind kind = JobKind::kPulldown;
    int targetCode = 0;  // frame_rate_code to show the stream at; 0: the classic job
    // Taking pulldown off with the pictures' times written beside the
    // stream: film and video alike are taken (a hybrid), since the times,
    // not the frame rate, keep their timing.
    bool keepTiming = false;
    // Repeating (--timestamps-in): each picture shown at its timestamp, by
    // the timeline's plan, from a stream at any rate; null: by the cadence.
    // The plan is worked out as the stream asks for it.
    Timeline* timeline = nullptr;
};

// Why a stream is not converted. The scanner and the rewriters hand a
// refusal back in the counters; the driver reports it.
enum class Refusal : uint8_t {
    kNone,
    // The input does not begin with a sequence header, or holds a systems
    // layer start code: a container, another codec, or not video at all.
    kNotElementaryStream,
    kFrameRate,         // the classic job: a rate other than 24 or 23.976
    kFieldPicture,      // picture_structure other than frame
    kProgressiveLines,  // refusalValue: the sequence's height in lines
    kMpeg1,
    kRatePair,                   // --to: the source rate (refusalValue) cannot be shown at the target
    kInterlacedFrameRepetition,  // --to 50, 59.94 or 60 of an interlaced sequence
    kRateChange,                 // a later sequence header changes the cadence
    kRateExtension,              // --to, --undo: frame_rate_extension_n or _d not 0
    kUndoRate,                   // --undo of a sequence it does not take (refusalValue: its rate)
    kUndoInterlacedPicture,      // refusalValue: the picture's number in display order
    kUndoNoRepeats,              // nothing repeated: not pulled-down film
    kUndoNotFilm,                // refusalValue fields (or frames) over refusalCount pictures
    // Repeating fields or frames of a stream that repeats some already
    // (refusalValue: the first such picture in display order).
    kAlreadyRepeated,
    // --timestamps-in: a picture that cannot be shown at its timestamp, or
    // timestamps for another count of pictures (the timeline's refusal).
    kTimestamps,
    // H.264 and H.265 (ISO/IEC 14496-10 and 23008-2).
    kHevc,             // an H.265 stream
    kAvcNoTiming,      // an SPS without timing_info (refusalValue 1) or without VUI (0)
    kAvcSyntax,        // a NAL unit that cannot be read (refusalValue: its offset, refusalCount: its type)
    kAvcNoPicTiming,   // HRD parameters, but access unit refusalValue has no pic_timing
    kAvcDisplayOrder,  // access unit refusalValue is not shown after a thousand more
    // The NAL unit at byte refusalValue, with what is held before it, would
    // take more than refusalCount bytes.
    kAvcTooLarge,
    // A delay of the HRD that its field cannot hold (refusalValue: the
    // picture in display order, refusalCount: the delay in ticks).
    kCpbRemovalDelay,
    kDpbOutputDelay,
    // A rewriter handed bytes that are not its header: a fault of the
    // program itself, never of the stream.
    kNotSequenceHeader,
    kNotSequenceExtension,
    kNotPictureCodingExtension,
    kNotGopHeader,
};

// picture_coding_type (6.3.9, Table 6-12).
enum class PictureType : uint8_t {
    kIntra = 1,
    kPredictive = 2,
    kBidirectional = 3,
    kDcIntra = 4,  // MPEG-1 only
};

// One coded frame (a frame picture, or the two field pictures of one
// frame), from its picture header until a decoder has shown it.
struct PictureRecord {
    uint64_t coded = 0;             // its number in coded order, from 0
    int64_t flagsOffset = -1;       // stream offset of the byte holding top_field_first, -1: none
    int64_t guessedDisplay = 0;     // the display number its flags were written for
    int32_t temporalReference = 0;  // as coded, 10 bits
    PictureType type = PictureType::kIntra;
    uint8_t writtenFlags = 0;  // that byte as it was handed out
    bool hasCodingExtension = false;
    bool topFieldFirst = true;  // as coded in the input
    bool repeatFirstField = false;
    bool progressiveFrame = true;
    bool progressiveSequence = false;
    uint8_t pictureStructure = 3;
    bool secondField = false;  // a field picture whose other field has come
    int frameRateCode = 0;     // of its sequence
};

// A picture as a decoder shows it, for a listing of the stream's pictures.
struct ShownPicture {
    uint64_t display = 0;  // in display order, from 0
    uint64_t coded = 0;    // in coded order, from 0
    PictureType type = PictureType::kIntra;
    int32_t temporalReference = 0;
    bool hasCodingExtension = false;  // MPEG-1 has none: no flags to show
    bool topFieldFirst = false;
    bool repeatFirstField = false;
    bool progressiveFrame = true;
    bool progressiveSequence = false;
    int units = 2;  // fields, or frames in a progressive sequence
    int frameRateCode = 0;
    // As the output shows it: converting, by the job's flags and rate;
    // describing, as the input.
    int outputUnits = 2;
    int outputRateCode = 0;
    bool outputProgressive = false;
};

// A byte already handed out that must change: the display order of a GOP
// that lacks pictures is known only once the GOP has ended.
struct Patch {
    int64_t offset;
    uint8_t value;
};

// Bytes of the chunk that an edit changed, by their stream offset.
struct EditedBytes {
    int64_t offset;
    int32_t length;
};

// The input as a decoder shows it, picture by picture in display order.
struct DisplayStats {
    uint64_t pictures = 0;  // frames shown: frame pictures and pairs of fields
    uint64_t framePictures = 0;
    uint64_t fieldPictures = 0;
    uint64_t interlacedCoded = 0;  // frame pictures with progressive_frame 0
    int64_t firstInterlacedCoded = -1;
    uint64_t units = 0;  // fields, or frames in a progressive sequence
    // Fields shown (two a frame in a progressive sequence), by the
    // frame_rate_code of the picture's sequence: a stream may join sequences
    // of either kind, and of other rates.
    uint64_t fieldsAtRate[16] = {};
    bool everyPictureProgressive = true;  // every picture of a progressive sequence
    uint64_t repeated = 0;                // pictures that show a field or frame more
    // Breaks of the 3:2 cadence and of the one repeat in twelve, with the
    // first of each (display number, -1 for none); parity breaks count in both.
    uint64_t breaks32 = 0;
    int64_t firstBreak32 = -1;
    uint64_t breaksOneInTwelve = 0;
    int64_t firstBreakOneInTwelve = -1;
    // The picture before: how many units it showed, its first field, and
    // the pictures since the last that showed three.
    int lastUnits = 0;
    bool lastTopFieldFirst = true;
    int64_t sinceThree = -1;
};

struct StreamCounters {
    Job job;

    // Picture start codes handled so far in this file.
    uint64_t pictureCount = 0;
    // temporal_reference (10 bits, 0..1023) of the most recent picture header.
    int64_t temporalReference = 0;
    // pictureCount as it stood when the most recent GOP header was handled.
    uint64_t gopPictureBase = 0;
    // temporal_reference counted on over its wraps at 1024 from the first
    // picture after the most recent GOP header (from the stream's first
    // picture before any): a GOP of more than 1024 pictures wraps it.
    int64_t unwrappedReference = 0;
    bool firstPictureOfGroup = true;
    // chroma_format of the most recent sequence extension; 4:2:0 before any.
    int chromaFormat = kChroma420;
    // horizontal_size_value and vertical_size_value (12 bits each) of the
    // most recent sequence header, 0 before any, with the extensions' two
    // bits above them once a sequence extension has come.
    int32_t horizontalSize = 0;
    int32_t verticalSizeValue = 0;
    int32_t verticalSize = 0;
    // frame_rate_code of the input's most recent sequence header (0 before
    // any), and the sequence extension's frame_rate_extension_n and _d.
    int frameRateCode = 0;
    int frameRateExtensionN = 0;
    int frameRateExtensionD = 0;
    // progressive_sequence of the input's most recent sequence extension.
    bool progressiveSequence = false;
    // frame_mbs_only_flag of an H.264 stream's most recent SPS.
    bool frameMbsOnly = true;
    // A sequence header has been handled: the stream began as an elementary
    // stream does.
    bool sequenceSeen = false;
    // A sequence header has been handled and its sequence extension has not
    // followed yet. In MPEG-2 one always does (6.2.2); in MPEG-1 (ISO/IEC
    // 11172-2) there is none, and a GOP or picture header comes next.
    bool sequenceExtensionDue = false;
    bool mpeg1 = false;  // describing: the stream is MPEG-1
    // The stream is H.264: sizes, chroma format and rate come from its
    // sequence parameter sets; temporal_reference of a picture is its
    // picture order count.
    bool avc = false;

    // How the output shows each picture, set by the first sequence header.
    bool cadenceSet = false;
    Cadence cadence;
    // The rate the output shows (frame_rate_code).
    int targetCode = 0;

    // The first GOP header's time_code, where the output's time codes count
    // from: its hours, minutes and seconds in seconds, its pictures, and
    // pictureCount as it stood then.
    bool timeCodeOriginSet = false;
    int64_t originSeconds = 0;
    int64_t originPictures = 0;
    uint64_t originPictureBase = 0;

    // Stream offset of the first byte of the chunk being scanned.
    int64_t streamOffset = 0;
    // The frame being read (its picture header has come), and the I- or
    // P-frame that a decoder shows once the next one arrives (6.1.1.11);
    // the frames shown so far.
    bool hasCurrent = false;
    PictureRecord current;
    bool hasHeld = false;
    PictureRecord held;
    uint64_t shownCount = 0;
    bool groupHasHeader = false;  // a GOP header has come
    // Bytes handed out in earlier chunks that must be mended.
    std::vector<Patch> patches;
    // Where the output already holds the input's bytes and only what
    // changes is written: the bytes each chunk's edits changed, for the
    // driver to take and clear.
    bool trackEdits = false;
    std::vector<EditedBytes> edits;

    DisplayStats display;
    // Describing with a listing of the pictures: each one shown, for the
    // driver to take and clear after every chunk.
    bool listPictures = false;
    std::vector<ShownPicture> shown;

    Refusal refusal = Refusal::kNone;
    int64_t refusalValue = 0;
    int64_t refusalCount = 0;
};

// The message line (ending in a line feed) that reports the counters'
// refusal.
std::string DescribeRefusal(const StreamCounters& counters);
