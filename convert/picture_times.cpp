// Start times of the pictures shown, and the timestamp file written from them.
#include "convert/picture_times.h"

#include <numeric>

#include "host/file_access.h"

namespace {

// One picture's time on screen added to the running start: units fields
// (frames, in a progressive sequence) at the rate, 1 / (2 * rate) seconds a
// field.
void AddShown(PictureTimes& t, int units, bool progressive, int rateCode)
{
    const FrameRate rate = RateOfCode(IsKnownRate(rateCode) ? rateCode : kRate2997);
    const int64_t fields = progressive ? 2 * units : units;
    const int64_t numerator = t.startNumerator * 2 * rate.numerator + fields * rate.denominator * t.startDenominator;
    const int64_t denominator = t.startDenominator * 2 * rate.numerator;
    const int64_t divisor = std::gcd(numerator, denominator);
    t.startNumerator = numerator / divisor;
    t.startDenominator = denominator / divisor;
}

std::string Failure(const char* path, const std::string& reason)
{
    return "can't write timestamps file\nratefold: " + std::string(path) + ": " + reason + "\n";
}

}  // namespace

void TakeShownPictures(PictureTimes& t, StreamCounters& counters)
{
    for (const ShownPicture& picture : counters.shown) {
        t.times.push_back(MulDivRound(t.startNumerator, kNanosecondsPerSecond, t.startDenominator));
        AddShown(t, picture.outputUnits, picture.outputProgressive, picture.outputRateCode);
        if (t.keepRecords) {
            t.records.push_back(MakeCadenceRecord(picture.units, picture.topFieldFirst, picture.progressiveSequence));
        }
    }
    counters.shown.clear();
}

void KeepTimesOfFilmAndVideo(PictureTimes& t, int inputRateCode)
{
    const FrameRate rate = RateOfCode(IsKnownRate(inputRateCode) ? inputRateCode : kRate2997);
    t.times = UndoTimes(t.records, FindSections(t.records, rate), rate);
    t.undone = true;
}

std::vector<int64_t> TimesWithEnd(const PictureTimes& t)
{
    std::vector<int64_t> times = t.times;
    const std::size_t n = times.size();
    if (t.undone && n >= 2) {
        times.push_back(2 * times[n - 1] - times[n - 2]);  // as long as the one before
    } else if (!t.undone && n >= 1) {
        times.push_back(MulDivRound(t.startNumerator, kNanosecondsPerSecond, t.startDenominator));
    }
    return times;
}

std::string WriteWholeFile(const char* path, const std::string& text, int input)
{
    switch (FileOutputTarget(path, input, false)) {
    case OutputTarget::kFile:
        break;
    case OutputTarget::kInput:
        return Failure(path, "it is the input");
    default:
        return Failure(path, "not a regular file");
    }
    std::string temporary;
    const int file = FileCreateTemporary(path, temporary);
    if (file < 0) {
        return Failure(path, FileErrorText(FileLastError()));
    }
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    int error = 0;
    if (!FileWrite(file, bytes, text.size()) || !FileFlush(file)) {
        error = FileLastError();
    }
    if (!FileClose(file) && error == 0) {
        error = FileLastError();
    }
    if (error == 0) {
        const Commit commit = FileCommitTemporary(temporary, path);
        if (commit == Commit::kDone) {
            return std::string();
        }
        error = FileLastError();
        if (commit == Commit::kNotFlushed) {
            return Failure(path, FileErrorText(error));  // renamed: nothing to remove
        }
    }
    FileDiscardTemporary(temporary);
    return Failure(path, FileErrorText(error));
}
