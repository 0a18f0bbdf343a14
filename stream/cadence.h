// Rates and cadences: how many fields (or, in a progressive sequence,
// frames) each picture of a stream shows so that a decoder displays it at
// another rate, by header flags alone.
#pragma once

#include <cstdint>

// frame_rate_code (ISO/IEC 13818-2, Table 6-4): 1 23.976, 2 24, 3 25,
// 4 29.97, 5 30, 6 50, 7 59.94, 8 60 frames per second.
constexpr int kFirstFrameRateCode = 1;
constexpr int kLastFrameRateCode = 8;
constexpr int kRate23976 = 1;
constexpr int kRate24 = 2;
constexpr int kRate25 = 3;
constexpr int kRate2997 = 4;
constexpr int kRate30 = 5;
constexpr int kRate50 = 6;
constexpr int kRate5994 = 7;
constexpr int kRate60 = 8;

bool IsKnownRate(int code);

// The rates a stream can be shown at by repeating fields (25, 29.97, 30:
// interlaced output) and by repeating whole frames (50, 59.94, 60: a
// progressive sequence).
bool IsFieldTarget(int code);
bool IsFrameTarget(int code);

// True if a stream at the source rate can be shown at the target by header
// flags: repeating fields from 23.976, 24 or 25 fps, at most one field in
// two (the target at most 1.5 times the source); repeating frames from any
// rate, each at most three times.
bool SourceShowsAt(int sourceCode, int targetCode);

// A rate as an exact fraction of frames per second.
struct FrameRate {
    int64_t numerator;
    int64_t denominator;
};

// The rate of a frame_rate_code from 1 to 8.
FrameRate RateOfCode(int frameRateCode);

// The rate as people write it: "23.976", "25", "59.94".
const char* RateName(int frameRateCode);

// The frame_rate_code of a rate as people write it, 0 for none.
int CodeOfRateName(const char* name);

// How a conversion shows each picture. Picture n (in display order, from 0)
// starts at unit ceil(n * unitsNumerator / unitsDenominator) and shows the
// units up to where picture n + 1 starts: fields when a unit is half a
// frame (unitsPerFrame 2), whole frames in a progressive sequence
// (unitsPerFrame 1). With exact fractions the count never drifts.
struct Cadence {
    int64_t unitsNumerator = 5;
    int64_t unitsDenominator = 2;
    int unitsPerFrame = 2;
};

// Field repetition: 2 * target / source fields a picture. Frame repetition:
// target / source frames a picture.
Cadence FieldRepetition(int sourceCode, int targetCode);
Cadence FrameRepetition(int sourceCode, int targetCode);

// The unit at which picture n starts.
int64_t StartUnit(const Cadence& cadence, int64_t n);

// The frame of the output in which picture n's first unit falls.
int64_t FrameOfPicture(const Cadence& cadence, int64_t n);

// The picture that frame f shows: the last one that starts in it or
// before. Undoes FrameOfPicture: PictureShownInFrame(c, FrameOfPicture(c,
// n)) is n.
int64_t PictureShownInFrame(const Cadence& cadence, int64_t f);

// The cadence that shows film at filmCode as a stream at shownCode: by
// repeated fields up to 30 fps, by repeated frames from 50 on.
Cadence PulldownCadence(int filmCode, int shownCode);

// top_field_first and repeat_first_field of picture n (6.3.10): by field
// repetition it starts on the top field when it starts at an even field and
// repeats its first field when it shows three; by frame repetition it shows
// one frame (0, 0), two (0, 1) or three (1, 1).
struct PulldownFlags {
    bool topFieldFirst;
    bool repeatFirstField;
};
PulldownFlags FlagsOfPicture(const Cadence& cadence, int64_t n);

// The same for a picture that starts at unit `start` and shows `units`
// units (fields where unitsPerFrame is 2, frames where it is 1).
PulldownFlags FlagsOfUnits(int64_t start, int64_t units, int unitsPerFrame);
