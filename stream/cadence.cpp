// Rates and cadences: the plan of fields each picture shows for a job.
#include "stream/cadence.h"

#include <cstring>

namespace {

struct RateEntry {
    FrameRate rate;
    const char* name;
};

// Table 6-4, frame_rate_code 1 to 8.
constexpr RateEntry kRates[] = {
    {{24000, 1001}, "23.976"}, {{24, 1}, "24"}, {{25, 1}, "25"},          {{30000, 1001}, "29.97"},
    {{30, 1}, "30"},           {{50, 1}, "50"}, {{60000, 1001}, "59.94"}, {{60, 1}, "60"},
};

// ceil(a / b) for a >= 0, b > 0.
int64_t CeilDivide(int64_t a, int64_t b)
{
    return (a + b - 1) / b;
}

Cadence Repetition(int sourceCode, int targetCode, int unitsPerFrame)
{
    // target / source = (tn / td) / (sn / sd) = tn * sd / (td * sn) frames a
    // picture.
    const FrameRate source = RateOfCode(sourceCode);
    const FrameRate target = RateOfCode(targetCode);
    return Cadence{unitsPerFrame * target.numerator * source.denominator, target.denominator * source.numerator,
                   unitsPerFrame};
}

// True if from <= to <= times * from, as exact fractions.
bool WithinRatio(int fromCode, int toCode, int64_t timesNumerator, int64_t timesDenominator)
{
    const FrameRate from = RateOfCode(fromCode);
    const FrameRate to = RateOfCode(toCode);
    const int64_t fromScaled = from.numerator * to.denominator;
    const int64_t toScaled = to.numerator * from.denominator;
    return fromScaled <= toScaled && toScaled * timesDenominator <= fromScaled * timesNumerator;
}

}  // namespace

bool IsKnownRate(int code)
{
    return code >= kFirstFrameRateCode && code <= kLastFrameRateCode;
}

bool IsFieldTarget(int code)
{
    return code == kRate25 || code == kRate2997 || code == kRate30;
}

bool IsFrameTarget(int code)
{
    return code == kRate50 || code == kRate5994 || code == kRate60;
}

bool SourceShowsAt(int sourceCode, int targetCode)
{
    if (!IsKnownRate(sourceCode)) {
        return false;
    }
    if (IsFieldTarget(targetCode)) {
        // Each picture shows two or three fields.
        return sourceCode <= kRate25 && WithinRatio(sourceCode, targetCode, 3, 2);
    }
    // Each picture shows one, two or three frames.
    return IsFrameTarget(targetCode) && WithinRatio(sourceCode, targetCode, 3, 1);
}

FrameRate RateOfCode(int frameRateCode)
{
    return kRates[frameRateCode - kFirstFrameRateCode].rate;
}

const char* RateName(int frameRateCode)
{
    return kRates[frameRateCode - kFirstFrameRateCode].name;
}

int CodeOfRateName(const char* name)
{
    for (int code = kFirstFrameRateCode; code <= kLastFrameRateCode; ++code) {
        if (std::strcmp(name, RateName(code)) == 0) {
            return code;
        }
    }
    return 0;
}

Cadence FieldRepetition(int sourceCode, int targetCode)
{
    return Repetition(sourceCode, targetCode, 2);
}

Cadence FrameRepetition(int sourceCode, int targetCode)
{
    return Repetition(sourceCode, targetCode, 1);
}

int64_t StartUnit(const Cadence& cadence, int64_t n)
{
    return CeilDivide(n * cadence.unitsNumerator, cadence.unitsDenominator);
}

int64_t FrameOfPicture(const Cadence& cadence, int64_t n)
{
    return StartUnit(cadence, n) / cadence.unitsPerFrame;
}

int64_t PictureShownInFrame(const Cadence& cadence, int64_t f)
{
    // Picture n starts at unit ceil(n * N / D), so the estimate below is
    // at most one picture off either way.
    int64_t n = f * cadence.unitsPerFrame * cadence.unitsDenominator / cadence.unitsNumerator;
    while (FrameOfPicture(cadence, n + 1) <= f) {
        ++n;
    }
    while (n > 0 && FrameOfPicture(cadence, n) > f) {
        --n;
    }
    return n;
}

Cadence PulldownCadence(int filmCode, int shownCode)
{
    return IsFrameTarget(shownCode) ? FrameRepetition(filmCode, shownCode) : FieldRepetition(filmCode, shownCode);
}

PulldownFlags FlagsOfPicture(const Cadence& cadence, int64_t n)
{
    const int64_t start = StartUnit(cadence, n);
    return FlagsOfUnits(start, StartUnit(cadence, n + 1) - start, cadence.unitsPerFrame);
}

PulldownFlags FlagsOfUnits(int64_t start, int64_t units, int unitsPerFrame)
{
    if (unitsPerFrame == 1) {
        return PulldownFlags{units >= 3, units >= 2};
    }
    return PulldownFlags{start % 2 == 0, units >= 3};
}
