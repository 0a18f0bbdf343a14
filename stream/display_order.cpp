#include "stream/display_order.h"

#include <algorithm>
#include <climits>
#include <numeric>

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
    const bool parityBreak = n > 0 && !progressiveSequence &&
                             topFieldFirst != (stats.lastTopFieldFirst != (stats.lastUnits % 2 == 1));
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

int64_t MendableFrom(const StreamCounters& counters)
{
    if (counters.job.kind != JobKind::kDescribe && counters.groupHasHeader) {
        for (const PictureRecord& picture : counters.group) {
            if (picture.flagsOffset >= 0) {
                return picture.flagsOffset;
            }
        }
    }
    return INT64_MAX;
}

void FinishGroup(StreamCounters& counters, uint8_t* chunk, int32_t chunkLength)
{
    std::vector<PictureRecord>& group = counters.group;
    // By temporal_reference, and in coded order where two share one (the
    // two fields of a frame).
    std::vector<uint32_t> order(group.size());
    std::iota(order.begin(), order.end(), 0u);
    std::sort(order.begin(), order.end(), [&group](uint32_t a, uint32_t b) {
        return group[a].temporalReference < group[b].temporalReference ||
               (group[a].temporalReference == group[b].temporalReference && a < b);
    });
    const bool mend = counters.job.kind != JobKind::kDescribe && counters.groupHasHeader;
    DisplayStats& stats = counters.display;
    for (std::size_t rank = 0; rank < order.size(); ++rank) {
        const PictureRecord& picture = group[order[rank]];
        if (mend && picture.flagsOffset >= 0) {
            const auto display = static_cast<int64_t>(counters.gopPictureBase + rank);
            const uint8_t value =
                WithPulldownFlags(picture.writtenFlags, FlagsOfPicture(counters.cadence, display));
            const int64_t at = picture.flagsOffset - counters.streamOffset;
            if (value != picture.writtenFlags && chunk != nullptr && at >= 0 && at < chunkLength) {
                chunk[at] = value;
                if (counters.trackEdits) {
                    counters.edits.push_back(EditedBytes{picture.flagsOffset, 1});
                }
            } else if (value != picture.writtenFlags) {
                counters.patches.push_back(Patch{picture.flagsOffset, value});
            }
        }
        if (counters.job.kind == JobKind::kPulldown) {
            continue;  // nobody counts the pictures shown
        }
        if (picture.pictureStructure != kFramePicture) {
            // Two field pictures make one frame: counted when the second
            // comes, starting on the first one's field.
            ++stats.fieldPictures;
            const bool second = rank > 0 && group[order[rank - 1]].pictureStructure != kFramePicture &&
                                group[order[rank - 1]].temporalReference == picture.temporalReference &&
                                stats.fieldPictures % 2 == 0;
            if (second) {
                CountShownPicture(stats, 2, group[order[rank - 1]].pictureStructure == kTopField, false);
            }
            continue;
        }
        ++stats.framePictures;
        if (!picture.progressiveFrame) {
            if (stats.interlacedCoded++ == 0) {
                stats.firstInterlacedCoded = static_cast<int64_t>(stats.pictures);
            }
        }
        CountShownPicture(stats, UnitsOf(picture), picture.topFieldFirst, picture.progressiveSequence);
    }
    group.clear();
    if (counters.job.kind == JobKind::kUndo && stats.interlacedCoded > 0 &&
        counters.refusal == Refusal::kNone) {
        counters.refusal = Refusal::kUndoInterlacedPicture;
        counters.refusalValue = stats.firstInterlacedCoded;
    }
}
