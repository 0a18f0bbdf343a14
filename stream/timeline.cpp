// The times of a timestamp file, picture by picture, and the plan that
// shows each picture at its time.
#include "stream/timeline.h"

#include <numeric>
#include <utility>

namespace {

// floor(a * b / c) and its remainder, exact however large a * b grows,
// for a >= 0, b >= 0, c > 0 and a quotient below 2^63.
int64_t MulDivFloor(int64_t a, int64_t b, int64_t c, int64_t& remainder)
{
    // a * b in two 64-bit halves, from products of 32-bit halves.
    constexpr uint64_t kLow = 0xFFFFFFFF;
    const auto x = static_cast<uint64_t>(a), y = static_cast<uint64_t>(b);
    const uint64_t lowLow = (x & kLow) * (y & kLow), lowHigh = (x & kLow) * (y >> 32), highLow = (x >> 32) * (y & kLow),
                   highHigh = (x >> 32) * (y >> 32);
    const uint64_t middle = (lowLow >> 32) + (lowHigh & kLow) + (highLow & kLow);
    const uint64_t high = highHigh + (lowHigh >> 32) + (highLow >> 32) + (middle >> 32);
    const uint64_t low = middle << 32 | (lowLow & kLow);
    // Long division, a bit at a time: the remainder stays below c < 2^63.
    const auto divisor = static_cast<uint64_t>(c);
    uint64_t quotient = 0, rest = 0;
    for (int bit = 127; bit >= 0; --bit) {
        rest = rest << 1 | ((bit >= 64 ? high >> (bit - 64) : low >> bit) & 1);
        quotient <<= 1;
        if (rest >= divisor) {
            rest -= divisor;
            quotient |= 1;
        }
    }
    remainder = static_cast<int64_t>(rest);
    return static_cast<int64_t>(quotient);
}

// The largest denominator an ExactTime keeps, so that its sums below stay
// within 63 bits. Rates whose denominators together pass it (several odd
// rates with six decimals) round the time to the nanosecond where the
// next of them starts: half a nanosecond at most.
constexpr int64_t kMostDenominator = int64_t{1} << 60;

// count pictures at rate after t, exactly: whole nanoseconds, and the part
// left over t's denominator, which this puts over one that the pictures'
// length (10^9 * den / num ns) shares.
ExactTime After(ExactTime& t, const FrameRate& rate, int64_t count)
{
    const int64_t factor = rate.numerator / std::gcd(t.denominator, rate.numerator);
    int64_t common = 0;
    if (__builtin_mul_overflow(t.denominator, factor, &common) || common > kMostDenominator) {
        t.whole += t.part >= t.denominator - t.part;
        t.part = 0;
        t.denominator = 1;
        common = rate.numerator;
    } else {
        t.part *= factor;
    }
    t.denominator = common;
    int64_t remainder = 0;
    const int64_t whole = MulDivFloor(count, kNanosecondsPerSecond * rate.denominator, rate.numerator, remainder);
    ExactTime later{t.whole + whole, t.part + remainder * (common / rate.numerator), common};
    if (later.part >= common) {
        ++later.whole;
        later.part -= common;
    }
    return later;
}

int64_t Rounded(const ExactTime& t)
{
    return t.whole + (t.part >= t.denominator - t.part);
}

// The units a picture shows: two or three fields, one to three frames.
constexpr int kFewestFields = 2;
constexpr int kMostUnits = 3;
// Two lengths whose pictures' starts come within an eighth of a unit of
// each other are a tie.
constexpr int64_t kTiePerUnit = 8;
// A picture asked for this far past the plan (a display number guessed
// from a temporal_reference that misleads) is not planned: it gets the
// fewest units from the last one planned, and its own plan, once it is
// shown, mends it. The plan is kept up to the pictures shown, so only a
// run of over a million B-pictures could make such a guess right.
constexpr int64_t kMostPlannedAhead = int64_t{1} << 20;

int UnitsPerFrame(const Timeline& timeline)
{
    return IsFrameTarget(timeline.targetCode) ? 1 : 2;
}

int FewestUnits(const Timeline& timeline)
{
    return UnitsPerFrame(timeline) == 1 ? 1 : kFewestFields;
}

bool HasTime(const Timeline& timeline, int64_t picture)
{
    return timeline.file.byRates || picture < static_cast<int64_t>(timeline.file.listed.size());
}

// Format v1's cursor is asked for each picture once, in order.
int64_t TimeOf(Timeline& timeline, int64_t picture)
{
    return timeline.file.byRates ? NextRateTime(timeline.file, timeline.cursor)
                                 : timeline.file.listed[static_cast<std::size_t>(picture)];
}

// Plans picture starts.size(): where the one before it ends.
void PlanNext(Timeline& timeline)
{
    const auto n = static_cast<int64_t>(timeline.starts.size()) - 1;  // the picture whose length is chosen
    const int64_t start = timeline.starts.back();
    const int fewest = FewestUnits(timeline);
    if (timeline.refusedPicture >= 0 || !HasTime(timeline, n + 1)) {
        timeline.starts.push_back(start + fewest);
        return;
    }
    const int64_t time = TimeOf(timeline, n + 1);
    // The ideal unit, (time - first) * rate * unitsPerFrame / 10^9, as
    // whole + part / perUnit; a candidate's distance from it counts in
    // 1 / perUnit of a unit.
    const FrameRate rate = RateOfCode(timeline.targetCode);
    const int64_t perUnit = kNanosecondsPerSecond * rate.denominator;
    int64_t part = 0;
    const int64_t whole =
        MulDivFloor(time - timeline.firstTime, rate.numerator * UnitsPerFrame(timeline), perUnit, part);
    int64_t distance[kMostUnits + 1] = {};
    int best = 0;
    for (int units = fewest; units <= kMostUnits; ++units) {
        // Beyond a few units off, it is far: more than a unit.
        const int64_t off = start + units - whole;
        distance[units] = off > kMostUnits || off < -kMostUnits ? 2 * perUnit : off * perUnit - part;
        distance[units] = distance[units] < 0 ? -distance[units] : distance[units];
        if (best == 0 || distance[units] <= distance[best]) {
            best = units;
        }
    }
    if (distance[best] > perUnit) {
        const bool fields = UnitsPerFrame(timeline) == 2;
        timeline.refusedPicture = n;
        timeline.refusal = timeline.name + ": picture " + std::to_string(n) + " (in display order, from 0) lasts " +
                           MillisecondsText(time - timeline.lastTime) + " ms: shown as " +
                           (fields ? "2 or 3 fields" : "1 to 3 frames") + " at " + RateName(timeline.targetCode) +
                           " fps, picture " + std::to_string(n + 1) + " would start more than a " +
                           (fields ? "field" : "frame") + " from its timestamp\n";
        timeline.starts.push_back(start + fewest);
        return;
    }
    // A tie goes to the length the picture before did not show.
    for (int units = fewest; units <= kMostUnits; ++units) {
        if (best == timeline.lastUnits && units != best && distance[units] <= perUnit &&
            distance[units] - distance[best] <= perUnit / kTiePerUnit) {
            best = units;
        }
    }
    timeline.lastUnits = best;
    timeline.lastTime = time;
    timeline.starts.push_back(start + best);
}

// Plans up to picture n, if it is not too far ahead; false if it is.
bool PlanUpTo(Timeline& timeline, int64_t n)
{
    const auto planned = static_cast<int64_t>(timeline.starts.size());
    if (n >= planned + kMostPlannedAhead) {
        return false;
    }
    while (static_cast<int64_t>(timeline.starts.size()) <= n) {
        PlanNext(timeline);
    }
    return true;
}

int64_t StartOf(Timeline& timeline, int64_t n)
{
    if (!PlanUpTo(timeline, n)) {
        return timeline.starts.back() + (n + 1 - static_cast<int64_t>(timeline.starts.size())) * FewestUnits(timeline);
    }
    return timeline.starts[static_cast<std::size_t>(n)];
}

}  // namespace

int64_t MulDivRound(int64_t a, int64_t b, int64_t c)
{
    int64_t remainder = 0;
    const int64_t quotient = MulDivFloor(a, b, c, remainder);
    return quotient + (remainder >= c - remainder);
}

std::string MillisecondsText(int64_t nanoseconds)
{
    const int64_t magnitude = nanoseconds < 0 ? -nanoseconds : nanoseconds;
    std::string fraction = std::to_string(magnitude % kNanosecondsPerMillisecond + kNanosecondsPerMillisecond);
    fraction.erase(fraction.find_last_not_of('0') + 1);
    fraction[0] = '.';  // the leading 1 that kept the zeros after the point
    return (nanoseconds < 0 ? "-" : "") + std::to_string(magnitude / kNanosecondsPerMillisecond) +
           (fraction.size() > 1 ? fraction : "");
}

int64_t NextRateTime(const TimestampFile& file, RateCursor& cursor)
{
    if (!cursor.opened || cursor.picture == cursor.runEnd) {
        if (cursor.opened) {
            cursor.runStart = After(cursor.runStart, cursor.rate, cursor.runEnd - cursor.runFirst);
        }
        cursor.opened = true;
        // A run of pictures at one rate: a range, or those up to the next.
        const std::size_t next = cursor.nextRange;
        const bool inRange = next < file.ranges.size() && file.ranges[next].first == cursor.picture;
        cursor.rate = inRange ? file.ranges[next].rate : file.assumed;
        cursor.runEnd = inRange                     ? file.ranges[cursor.nextRange++].last + 1
                        : next < file.ranges.size() ? file.ranges[next].first
                                                    : INT64_MAX;
        cursor.runFirst = cursor.picture;
    }
    return Rounded(After(cursor.runStart, cursor.rate, cursor.picture++ - cursor.runFirst));
}

std::string TimestampCountRefusal(const TimestampFile& file, const std::string& name, int64_t pictures)
{
    if (!file.byRates && static_cast<int64_t>(file.listed.size()) != pictures) {
        return name + " has " + std::to_string(file.listed.size()) + " timestamps for " + std::to_string(pictures) +
               " pictures\n";
    }
    if (file.byRates && !file.ranges.empty() && file.ranges.back().last >= pictures) {
        return name + " has a range up to picture " + std::to_string(file.ranges.back().last) + " (from 0) for " +
               std::to_string(pictures) + " pictures\n";
    }
    return std::string();
}

Timeline MakeTimeline(TimestampFile file, const std::string& name, int targetCode)
{
    Timeline timeline;
    timeline.name = name;
    timeline.file = std::move(file);
    timeline.targetCode = targetCode;
    timeline.starts.push_back(0);  // the stream starts with picture 0, whatever its time
    if (timeline.file.byRates) {
        timeline.firstTime = NextRateTime(timeline.file, timeline.cursor);
    } else if (!timeline.file.listed.empty()) {
        timeline.firstTime = timeline.file.listed[0];
    }
    timeline.lastTime = timeline.firstTime;
    return timeline;
}

PulldownFlags TimelineFlags(Timeline& timeline, int64_t n)
{
    const int64_t start = StartOf(timeline, n);
    return FlagsOfUnits(start, StartOf(timeline, n + 1) - start, UnitsPerFrame(timeline));
}

int64_t TimelineFrame(Timeline& timeline, int64_t n)
{
    return StartOf(timeline, n) / UnitsPerFrame(timeline);
}

bool TimelineRefuses(Timeline& timeline, int64_t count)
{
    PlanUpTo(timeline, count);  // a picture's length is chosen as the next is planned
    return timeline.refusedPicture >= 0 && timeline.refusedPicture + 1 < count;
}

bool TimelineRefusesCount(Timeline& timeline, int64_t pictures)
{
    // mkvextract's format v2 lists one time more: where the last picture ends.
    const bool endListed = !timeline.file.byRates && static_cast<int64_t>(timeline.file.listed.size()) == pictures + 1;
    timeline.refusal = endListed ? std::string() : TimestampCountRefusal(timeline.file, timeline.name, pictures);
    return !timeline.refusal.empty();
}
