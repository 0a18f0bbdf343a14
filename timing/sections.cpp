// The cadence sections of a stream, and the times that taking pulldown off
// a hybrid keeps.
#include <algorithm>
#include <cstdlib>

#include "stream/display_order.h"
#include "timing/timing.h"

namespace {

// A section holds this many pictures at least (or the whole stream, if it
// is shorter): one period of one field in twelve, the longest cadence
// named, and half a second of film. An edit's odd pictures are far fewer
// (a break of 3:2 leaves one to three, a lone repeat in video one), and the
// one field in twelve's alternation of 2, 3, 2 is three. Shorter runs
// between two runs of one cadence are breaks inside one section; between
// two cadences they go half to each, so that an edge moves by half of them
// at most; at the stream's start or end they join their neighbour. Short
// runs that together make this many pictures are an irregular section.
constexpr int64_t kShortestSection = 12;

// 3:2 needs both of its counts.
constexpr int64_t kShortestThreeTwo = 2;

// Film shown by 3:2 is a picture every 2.5 units.
constexpr int64_t kFilmUnitsNumerator = 5;
constexpr int64_t kFilmUnitsDenominator = 2;

// A picture's byte of work: its cadence in the low bits (kUnset before
// it has one), and where CountShownPicture saw a cadence break.
constexpr uint8_t kCadenceBits = 0x07;
constexpr uint8_t kUnset = 0x07;
constexpr uint8_t kBreaks32 = 0x08;
constexpr uint8_t kBreaksTwelve = 0x10;
constexpr uint8_t kBreaksParity = 0x20;

SectionCadence CadenceOf(uint8_t work)
{
    return static_cast<SectionCadence>(work & kCadenceBits);
}

void SetCadence(uint8_t& work, SectionCadence cadence)
{
    work = static_cast<uint8_t>((work & ~kCadenceBits) | static_cast<uint8_t>(cadence));
}

// Time is counted in quarters of a frame, so that half of a field (2) and
// of a frame in a progressive sequence (4) is whole.
constexpr int64_t kQuartersPerFrame = 4;

int64_t QuartersPerUnit(const CadenceRecord& picture)
{
    return picture.progressiveSequence ? 4 : 2;
}

double Seconds(int64_t quarters, FrameRate rate)
{
    return static_cast<double>(quarters) * static_cast<double>(rate.denominator) /
           static_cast<double>(kQuartersPerFrame * rate.numerator);
}

// Where CountShownPicture breaks 3:2 and one field in twelve, and where a
// picture starts on the parity the one before ended on.
std::vector<uint8_t> JudgeBreaks(const std::vector<CadenceRecord>& pictures)
{
    std::vector<uint8_t> work(pictures.size(), kUnset);
    DisplayStats stats;
    for (std::size_t n = 0; n < pictures.size(); ++n) {
        const CadenceRecord& p = pictures[n];
        const uint64_t breaks32 = stats.breaks32, breaksTwelve = stats.breaksOneInTwelve;
        const bool parity = n > 0 && !p.progressiveSequence &&
                            p.topFieldFirst != (stats.lastTopFieldFirst != (stats.lastUnits % 2 == 1));
        CountShownPicture(stats, p.units, p.topFieldFirst, p.progressiveSequence);
        work[n] |= (stats.breaks32 != breaks32 ? kBreaks32 : 0) |
                   (stats.breaksOneInTwelve != breaksTwelve ? kBreaksTwelve : 0) | (parity ? kBreaksParity : 0);
    }
    return work;
}

// Each picture's cadence: 3:2 where it runs unbroken long enough; one field
// in twelve from the first three of a stretch without its breaks to the
// stretch's end (at the latest the twelfth two after its last three, where
// CountShownPicture sees it break); then none (long runs of one frame), frame repetition, two fields, or
// irregular.
void Label(const std::vector<CadenceRecord>& pictures, std::vector<uint8_t>& work, int64_t shortest)
{
    const auto count = static_cast<int64_t>(pictures.size());
    const auto odd = [&](int64_t n) { return pictures[n].units < 2; };
    const auto shiftsSequence = [&](int64_t n) {
        return pictures[n].progressiveSequence != pictures[n - 1].progressiveSequence;
    };
    for (int64_t from = 0, n = 1; n <= count; ++n) {
        if (n < count && (work[n] & kBreaks32) == 0 && !odd(n - 1) && !shiftsSequence(n)) {
            continue;
        }
        if (n - from >= std::max(shortest, kShortestThreeTwo)) {
            for (int64_t k = from; k < n; ++k) {
                SetCadence(work[k], pictures[k].progressiveSequence ? SectionCadence::kFrameThreeTwo
                                                                    : SectionCadence::kThreeTwo);
            }
        }
        from = n;
    }
    // One field in twelve, in fields only, between its breaks.
    const auto free = [&](int64_t n) {
        return n < count && !pictures[n].progressiveSequence && CadenceOf(work[n]) == SectionCadence(kUnset);
    };
    for (int64_t n = 0; n < count;) {
        if (!free(n)) {
            ++n;
            continue;
        }
        int64_t threes = 0, end = n;
        do {
            threes += pictures[end].units == 3;
            ++end;
        } while (free(end) && (work[end] & kBreaksTwelve) == 0);
        if (threes >= 2) {
            int64_t firstThree = n;
            while (pictures[firstThree].units != 3) {
                ++firstThree;
            }
            for (int64_t k = firstThree; k < end; ++k) {
                SetCadence(work[k], SectionCadence::kOneInTwelve);
            }
        }
        n = end;
    }
    // The rest, a picture (or a run of single frames) at a time.
    const auto single = [&](int64_t k) {
        return k < count && pictures[k].progressiveSequence && pictures[k].units == 1 &&
               CadenceOf(work[k]) == SectionCadence(kUnset);
    };
    for (int64_t n = 0; n < count; ++n) {
        const CadenceRecord& p = pictures[n];
        if (CadenceOf(work[n]) != SectionCadence(kUnset)) {
            continue;
        }
        if (!p.progressiveSequence) {
            SetCadence(work[n], p.units == 2 ? SectionCadence::kTwoFields : SectionCadence::kIrregular);
            continue;
        }
        int64_t end = n + 1;
        while (single(n) && single(end)) {
            ++end;
        }
        const bool none = single(n) && end - n >= shortest;
        for (int64_t k = n; k < end; ++k) {
            SetCadence(work[k], none ? SectionCadence::kNone : SectionCadence::kFrameRepetition);
        }
    }
}

// Whether picture n, not a section's first, breaks the section's cadence.
bool BreaksCadence(SectionCadence cadence, uint8_t work, const CadenceRecord& picture)
{
    switch (cadence) {
    case SectionCadence::kThreeTwo:
    case SectionCadence::kFrameThreeTwo:
        return (work & kBreaks32) != 0;
    case SectionCadence::kOneInTwelve:
        return (work & kBreaksTwelve) != 0;
    case SectionCadence::kTwoFields:
        return picture.units != 2 || (work & kBreaksParity) != 0;
    case SectionCadence::kNone:
        return picture.units != 1;
    default:
        return false;
    }
}

}  // namespace

CadenceRecord MakeCadenceRecord(int units, bool topFieldFirst, bool progressiveSequence)
{
    CadenceRecord picture{};
    picture.units = static_cast<uint8_t>(units) & 3;
    picture.topFieldFirst = topFieldFirst;
    picture.progressiveSequence = progressiveSequence;
    return picture;
}

const char* SectionCadenceName(SectionCadence cadence)
{
    static const char* const kNames[] = {
        "3:2",      "frame repetition 3:2", "two fields", "2:2:2:2:2:2:2:2:2:2:2:3", "frame repetition", "none",
        "irregular"};
    return kNames[static_cast<int>(cadence)];
}

bool IsFilm(SectionCadence cadence)
{
    return cadence == SectionCadence::kThreeTwo || cadence == SectionCadence::kFrameThreeTwo;
}

Sections FindSections(const std::vector<CadenceRecord>& pictures, FrameRate codedRate)
{
    Sections sections;
    const auto count = static_cast<int64_t>(pictures.size());
    const int64_t shortest = std::min(kShortestSection, count);
    std::vector<uint8_t> work = JudgeBreaks(pictures);
    Label(pictures, work, shortest);

    std::vector<Section>& list = sections.list;
    const auto runEnd = [&](int64_t n) {
        int64_t end = n + 1;
        while (end < count && CadenceOf(work[end]) == CadenceOf(work[n])) {
            ++end;
        }
        return end;
    };
    const auto add = [&](int64_t first, int64_t end, SectionCadence cadence) {
        if (!list.empty() && list.back().cadence == cadence) {
            list.back().last = end - 1;
        } else {
            list.push_back(Section{first, end - 1, cadence, 0, 0, 0});
        }
    };
    int64_t nextFirst = 0;  // where the next section starts: short runs before it join it
    for (int64_t n = 0; n < count;) {
        const int64_t end = runEnd(n);
        if (end - n >= shortest) {
            add(nextFirst, end, CadenceOf(work[n]));
            nextFirst = n = end;
            continue;
        }
        int64_t gapEnd = end;  // the short runs up to the next long one
        for (int64_t next = gapEnd; gapEnd < count && (next = runEnd(gapEnd)) - gapEnd < shortest;) {
            gapEnd = next;
        }
        if (gapEnd - n >= shortest) {
            add(nextFirst, gapEnd, SectionCadence::kIrregular);
            nextFirst = gapEnd;
        } else if (!list.empty()) {
            // Into the section before, all of it if the one after has its
            // cadence (or there is none), else half.
            const bool same = gapEnd == count || CadenceOf(work[gapEnd]) == list.back().cadence;
            nextFirst = same ? gapEnd : n + (gapEnd - n) / 2;
            list.back().last = nextFirst - 1;
        }
        n = gapEnd;
    }

    int64_t quarters = 0, film = 0;
    for (Section& section : list) {
        const int64_t start = quarters;
        for (int64_t n = section.first; n <= section.last; ++n) {
            quarters += pictures[n].units * QuartersPerUnit(pictures[n]);
            section.breaks += n > section.first && BreaksCadence(section.cadence, work[n], pictures[n]);
        }
        section.start = Seconds(start, codedRate);
        section.seconds = Seconds(quarters - start, codedRate);
        film += IsFilm(section.cadence) ? section.last - section.first + 1 : 0;
    }
    sections.filmShare = count == 0 ? 0.0 : static_cast<double>(film) / static_cast<double>(count);
    return sections;
}

std::vector<int64_t> UndoTimes(const std::vector<CadenceRecord>& pictures, const Sections& sections,
                               FrameRate codedRate)
{
    std::vector<int64_t> times;
    times.reserve(pictures.size());
    const std::vector<Section>& list = sections.list;
    DisplayStats stats;
    std::size_t section = 0;
    int64_t shown = 0;  // where the picture was shown, in quarter frames
    int64_t even = 0;   // where film's next picture goes, evenly spaced
    for (std::size_t n = 0; n < pictures.size(); ++n) {
        const CadenceRecord& p = pictures[n];
        const uint64_t breaks32 = stats.breaks32;
        CountShownPicture(stats, p.units, p.topFieldFirst, p.progressiveSequence);
        while (section < list.size() && list[section].last < static_cast<int64_t>(n)) {
            ++section;
        }
        const int64_t unit = QuartersPerUnit(p);
        int64_t at = shown;
        if (section < list.size() && IsFilm(list[section].cadence)) {
            const bool restart = list[section].first == static_cast<int64_t>(n) || stats.breaks32 != breaks32 ||
                                 std::abs(even - shown) * 2 > unit;
            at = restart ? shown : even;
            even = at + unit * kFilmUnitsNumerator / kFilmUnitsDenominator;
        }
        times.push_back(
            MulDivRound(at, kNanosecondsPerSecond * codedRate.denominator, kQuartersPerFrame * codedRate.numerator));
        shown += p.units * unit;
    }
    return times;
}
