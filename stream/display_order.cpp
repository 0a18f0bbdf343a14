// Pictures put in the order a decoder shows them.
#include "stream/display_order.h"

#include <algorithm>
#include <climits>

#include "stream/rewriters.h"

namespace {

// picture_structure (Table 6-14): 1 top field, 2 bottom field, 3 frame.
constexpr uint8_t kTopField = 1;
constexpr uint8_t kFramePicture = 3;

// 3:2 shows two and three units in turn; one repeat in twelve shows ten or
// eleven pictures of two units between those of three (eleven from 24 fps
// to 25, ten now and then from 23.976).
constexpr int kFewestTwosBetweenThrees = 10;
constexpr int kMostTwosBetweenThrees = 11;

void NoteBreak(uint64_t& breaks, int64_t& first, int64_t picture)
{
    if (breaks++ == 0) {
        first = picture;
    }
}

// How a decoder shows a frame picture (6.3.10): in a progressive sequence
// repeat_first_field and top_field_first make one, two or three frames; in
// any other a progressive frame with repeat_first_field shows three fields,
// every other frame two.
int UnitsOf(const PictureRecord& picture)
{
    if (picture.progressiveSequence) {
        return picture.repeatFirstField ? (picture.topFieldFirst ? 3 : 2) : 1;
    }
    return picture.progressiveFrame && picture.repeatFirstField ? 3 : 2;
}

}  // namespace

void CountShownPicture(DisplayStats& stats, int units, bool topFieldFirst, bool progressiveSequence)
{
    const auto n = static_cast<int64_t>(stats.pictures);
    const int base = progressiveSequence ? 1 : 2;
    // Each picture starts on the other parity than the one before ended on.
    const bool parityBreak =
        n > 0 && !progressiveSequence && topFieldFirst != (stats.lastTopFieldFirst != (stats.lastUnits % 2 == 1));
    const bool oddCount = units < 2 || units > 3;
    if (parityBreak || (n > 0 && (oddCount || units == stats.lastUnits))) {
        NoteBreak(stats.breaks32, stats.firstBreak32, n);
    }
    bool twelveBreak = parityBreak || oddCount;
    if (units == 3) {
        twelveBreak |= stats.sinceThree >= 0 && stats.sinceThree < kFewestTwosBetweenThrees;
        stats.sinceThree = 0;
    } else if (units == 2 && stats.sinceThree >= 0 && ++stats.sinceThree > kMostTwosBetweenThrees) {
        twelveBreak = true;
        stats.sinceThree = -1;  // found again at the next three
    }
    if (twelveBreak) {
        NoteBreak(stats.breaksOneInTwelve, stats.firstBreakOneInTwelve, n);
    }
    stats.units += static_cast<uint64_t>(units);
    stats.repeated += units > base;
    stats.lastUnits = units;
    stats.lastTopFieldFirst = topFieldFirst;
    ++stats.pictures;
}

namespace {

bool IsReference(const PictureRecord& picture)
{
    return picture.type == PictureType::kIntra || picture.type == PictureType::kPredictive;
}

// Notes the picture shown, as the input shows it and as the output will.
void ListShown(StreamCounters& counters, const PictureRecord& picture, int64_t display, int units, bool progressive)
{
    const bool frame = picture.pictureStructure == kFramePicture;
    ShownPicture shown{static_cast<uint64_t>(display),
                       picture.coded,
                       picture.type,
                       picture.temporalReference,
                       picture.hasCodingExtension,
                       frame ? picture.topFieldFirst : picture.pictureStructure == kTopField,
                       picture.repeatFirstField,
                       picture.progressiveFrame,
                       progressive,
                       units,
                       picture.frameRateCode,
                       units,
                       picture.frameRateCode,
                       progressive};
    if (counters.job.kind != JobKind::kDescribe) {
        // The output shows the picture by the job's flags, at its rate: by
        // frames where the cadence counts frames.
        const PulldownFlags flags = OutputFlags(counters, display);
        shown.outputProgressive = counters.cadence.unitsPerFrame == 1;
        shown.outputUnits = shown.outputProgressive ? (flags.repeatFirstField ? (flags.topFieldFirst ? 3 : 2) : 1)
                                                    : (flags.repeatFirstField ? 3 : 2);
        shown.outputRateCode = counters.targetCode;
    }
    counters.shown.push_back(shown);
}

// A decoder shows the frame now: it takes the next display number. Its
// flags, written for the number guessed, are mended if that was another;
// then it is counted as shown, and the jobs refuse what they cannot take.
void Show(StreamCounters& counters, const PictureRecord& picture, ChunkAtHand chunk)
{
    const bool frame = picture.pictureStructure == kFramePicture;
    if (!frame && !picture.secondField) {
        ++counters.display.fieldPictures;  // a field without its other is not shown
        return;
    }
    const auto display = static_cast<int64_t>(counters.shownCount++);
    // Taking pulldown off, every picture shows two fields (one frame)
    // wherever it stands: nothing to mend.
    const bool repeating = counters.job.kind == JobKind::kPulldown;
    if (repeating && picture.flagsOffset >= 0 && display != picture.guessedDisplay) {
        const uint8_t value = WithPulldownFlags(picture.writtenFlags, OutputFlags(counters, display));
        const int64_t at = picture.flagsOffset - counters.streamOffset;
        if (value == picture.writtenFlags) {
            // The guess was off, but the flags come out the same.
        } else if (chunk.bytes != nullptr && at >= 0 && at < chunk.length) {
            chunk.bytes[at] = value;
            if (counters.trackEdits) {
                counters.edits.push_back(EditedBytes{picture.flagsOffset, 1});
            }
        } else {
            counters.patches.push_back(Patch{picture.flagsOffset, value});
        }
    }
    if (counters.refusal != Refusal::kNone) {
        return;
    }
    if (counters.job.kind == JobKind::kPulldown) {
        // Repeating what is repeated already would show the film at another
        // speed than the one asked for.
        if (picture.repeatFirstField) {
            counters.refusal = Refusal::kAlreadyRepeated;
            counters.refusalValue = display;
        }
        if (counters.listPictures) {
            ListShown(counters, picture, display, UnitsOf(picture), picture.progressiveSequence);
        }
        return;  // nobody counts the pictures shown
    }
    DisplayStats& stats = counters.display;
    if (!frame) {
        stats.fieldPictures += 2;  // one frame of two fields, starting on the first one's
    } else {
        ++stats.framePictures;
        if (!picture.progressiveFrame && stats.interlacedCoded++ == 0) {
            stats.firstInterlacedCoded = display;
        }
    }
    const int units = frame ? UnitsOf(picture) : 2;
    const bool progressive = frame && picture.progressiveSequence;
    CountShownPicture(stats, units, frame ? picture.topFieldFirst : picture.pictureStructure == kTopField, progressive);
    stats.fieldsAtRate[picture.frameRateCode & 0x0F] += static_cast<uint64_t>(progressive ? 2 * units : units);
    stats.everyPictureProgressive &= progressive;
    if (counters.listPictures) {
        ListShown(counters, picture, display, units, progressive);
    }
    if (counters.job.kind == JobKind::kUndo && !counters.job.keepTiming && frame && !picture.progressiveFrame) {
        counters.refusal = Refusal::kUndoInterlacedPicture;
        counters.refusalValue = display;
    }
}

// A complete frame goes to the decoder, in coded order.
void Decode(StreamCounters& counters, const PictureRecord& picture, ChunkAtHand chunk)
{
    if (!IsReference(picture)) {
        Show(counters, picture, chunk);
        return;
    }
    if (counters.hasHeld) {
        Show(counters, counters.held, chunk);
    }
    counters.held = picture;
    counters.hasHeld = true;
}

}  // namespace

void BeginPicture(StreamCounters& counters, const PictureRecord& picture, ChunkAtHand chunk)
{
    if (counters.hasCurrent) {
        PictureRecord& current = counters.current;
        // The second field of a frame follows the first at once (6.1.1.4.1).
        if (current.pictureStructure != kFramePicture && !current.secondField && current.hasCodingExtension) {
            current.secondField = true;
            return;
        }
        Decode(counters, current, chunk);
    }
    counters.current = picture;
    counters.hasCurrent = true;
}

int64_t GuessDisplayNumber(const StreamCounters& counters)
{
    if (counters.hasCurrent && !IsReference(counters.current)) {
        return static_cast<int64_t>(counters.shownCount);
    }
    return counters.groupHasHeader ? static_cast<int64_t>(counters.gopPictureBase) + counters.unwrappedReference
                                   : counters.unwrappedReference;
}

int64_t ShowWholeFrame(StreamCounters& counters, const PictureRecord& picture)
{
    const auto display = static_cast<int64_t>(counters.shownCount);
    Show(counters, picture, ChunkAtHand{nullptr, 0});
    return display;
}

void FinishPictures(StreamCounters& counters)
{
    const ChunkAtHand none = {nullptr, 0};
    if (counters.hasCurrent) {
        counters.hasCurrent = false;
        Decode(counters, counters.current, none);
    }
    if (counters.hasHeld && counters.refusal == Refusal::kNone) {
        counters.hasHeld = false;
        Show(counters, counters.held, none);
    }
}

int64_t MendableFrom(const StreamCounters& counters)
{
    int64_t from = INT64_MAX;
    if (counters.job.kind != JobKind::kPulldown) {
        return from;  // describing edits nothing; taking pulldown off mends nothing
    }
    if (counters.hasHeld && counters.held.flagsOffset >= 0) {
        from = counters.held.flagsOffset;
    }
    if (counters.hasCurrent && IsReference(counters.current) && counters.current.flagsOffset >= 0) {
        from = std::min(from, counters.current.flagsOffset);
    }
    return from;
}
