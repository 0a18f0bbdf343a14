// mkvmerge's timestamp files read and written, and the fields (frames) each
// picture shows to start at its timestamp.
#include <algorithm>
#include <cctype>
#include <numeric>

#include "timing/timing.h"

namespace {

// The decimals a time in milliseconds has to the nanosecond.
constexpr int kMillisecondDecimals = 6;
// The most digits before the point: below 10^12 ms (about 31 years), so
// that nanoseconds fit in 63 bits with room to spare.
constexpr int kMostWholeDigits = 12;
// A v1 rate: at most six decimals, below 10^6 frames a second.
constexpr int kRateDecimals = 6;
constexpr int kMostRateDigits = 6;
// The most of a line a message quotes.
constexpr std::size_t kQuoted = 40;
// The units a picture shows: two or three fields, one to three frames.
constexpr int kFewestFields = 2;
constexpr int kMostUnits = 3;

std::string Quote(const std::string& line)
{
    std::string quoted = "\"";
    for (std::size_t i = 0; i < line.size() && i < kQuoted; ++i) {
        quoted += std::isprint(static_cast<unsigned char>(line[i])) ? line[i] : '?';
    }
    return quoted + (line.size() > kQuoted ? "...\"" : "\"");
}

std::string Trim(const std::string& text)
{
    const std::size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) {
        return "";
    }
    return text.substr(first, text.find_last_not_of(" \t\r") + 1 - first);
}

int64_t Power10(int exponent)
{
    int64_t power = 1;
    while (exponent-- > 0) {
        power *= 10;
    }
    return power;
}

// A decimal "123.456" as whole digits and the digits after the point, each
// at most its count and one at least; the value is digits / 10^decimals.
// keepDecimals digits after the point are kept; one more rounds (half up)
// and the rest must still be digits. False if the text is no such number.
bool ParseDecimal(const std::string& text, int mostWhole, int keepDecimals, int64_t& digits, int& decimals)
{
    const std::size_t point = text.find('.');
    const std::string whole = text.substr(0, point);
    const std::string fraction = point == std::string::npos ? "" : text.substr(point + 1);
    const auto allDigits = [](const std::string& s) {
        return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    if (whole.size() + fraction.size() == 0 || static_cast<int>(whole.size()) > mostWhole || !allDigits(whole) ||
        !allDigits(fraction)) {
        return false;
    }
    digits = 0;
    for (const char c : whole) {
        digits = digits * 10 + (c - '0');
    }
    decimals = std::min(static_cast<int>(fraction.size()), keepDecimals);
    for (int i = 0; i < decimals; ++i) {
        digits = digits * 10 + (fraction[i] - '0');
    }
    if (static_cast<int>(fraction.size()) > keepDecimals && fraction[keepDecimals] >= '5') {
        ++digits;
    }
    return true;
}

// Milliseconds as written, to the nanosecond.
bool ParseMilliseconds(const std::string& text, int64_t& nanoseconds)
{
    const bool negative = !text.empty() && text[0] == '-';
    int64_t digits = 0;
    int decimals = 0;
    if (!ParseDecimal(text.substr(negative ? 1 : 0), kMostWholeDigits, kMillisecondDecimals, digits, decimals)) {
        return false;
    }
    nanoseconds = digits * Power10(kMillisecondDecimals - decimals) * (negative ? -1 : 1);
    return true;
}

// A frame rate as written, above 0; the four rates people write short
// stand for their exact NTSC values.
bool ParseRate(const std::string& text, FrameRate& rate)
{
    int64_t digits = 0;
    int decimals = 0;
    if (!ParseDecimal(text, kMostRateDigits, kRateDecimals, digits, decimals) || digits == 0) {
        return false;
    }
    const int64_t scale = Power10(decimals);
    const int64_t divisor = std::gcd(digits, scale);
    rate = FrameRate{digits / divisor, scale / divisor};
    // 23.976, 29.97, 59.94, 119.88 as fractions in lowest terms.
    constexpr FrameRate kShort[] = {{2997, 125}, {2997, 100}, {2997, 50}, {2997, 25}};
    constexpr int64_t kNtsc[] = {24000, 30000, 60000, 120000};
    for (int k = 0; k < 4; ++k) {
        if (rate.numerator == kShort[k].numerator && rate.denominator == kShort[k].denominator) {
            rate = FrameRate{kNtsc[k], 1001};
        }
    }
    return true;
}

std::string Lower(const std::string& text)
{
    std::string lower;
    for (const char c : text) {
        lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return lower;
}

// "# timestamp format v2" and its older spelling "# timecode format v2",
// in any case: the version's digits, empty if the line is no such header.
std::string HeaderVersion(const std::string& line)
{
    const std::string lower = Lower(line);
    for (const std::string prefix : {"# timestamp format v", "# timecode format v"}) {
        if (lower.compare(0, prefix.size(), prefix) == 0 && lower.size() > prefix.size() &&
            lower.find_first_not_of("0123456789", prefix.size()) == std::string::npos) {
            return lower.substr(prefix.size(), kQuoted);
        }
    }
    return "";
}

std::string LineMessage(const std::string& name, int64_t line, const std::string& what, const std::string& text)
{
    return name + " line " + std::to_string(line) + " " + what + ": " + Quote(text) + "\n";
}

// A v1 range line: "first,last,rate".
bool ParseRange(const std::string& line, RateRange& range)
{
    const std::size_t comma1 = line.find(','), comma2 = line.find(',', comma1 + 1);
    if (comma2 == std::string::npos) {
        return false;
    }
    const std::string values[] = {Trim(line.substr(0, comma1)), Trim(line.substr(comma1 + 1, comma2 - comma1 - 1))};
    int64_t numbers[2] = {};
    for (int k = 0; k < 2; ++k) {
        int decimals = 0;
        if (values[k].find('.') != std::string::npos ||
            !ParseDecimal(values[k], kMostWholeDigits, 0, numbers[k], decimals)) {
            return false;
        }
    }
    range.first = numbers[0];
    range.last = numbers[1];
    return ParseRate(Trim(line.substr(comma2 + 1)), range.rate);
}

// floor(a * b / c) and its remainder, exact however large a * b grows,
// for a >= 0, b >= 0, c > 0 and a quotient below 2^63.
int64_t MulDivFloor(int64_t a, int64_t b, int64_t c, int64_t& remainder)
{
    // a * b in two 64-bit halves, from products of 32-bit halves.
    constexpr uint64_t kLow = 0xFFFFFFFF;
    const auto x = static_cast<uint64_t>(a), y = static_cast<uint64_t>(b);
    const uint64_t lowLow = (x & kLow) * (y & kLow), lowHigh = (x & kLow) * (y >> 32),
                   highLow = (x >> 32) * (y & kLow), highHigh = (x >> 32) * (y >> 32);
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

// A time as an exact sum, whole + part / denominator nanoseconds, with
// 0 <= part < denominator.
struct ExactTime {
    int64_t whole = 0;
    int64_t part = 0;
    int64_t denominator = 1;
};

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

}  // namespace

int64_t MulDivRound(int64_t a, int64_t b, int64_t c)
{
    int64_t remainder = 0;
    const int64_t quotient = MulDivFloor(a, b, c, remainder);
    return quotient + (remainder >= c - remainder);
}

std::string ReadTimestamps(const std::string& text, const std::string& name, TimestampFile& file)
{
    file = TimestampFile{};
    const std::string byteOrderMark = "\xEF\xBB\xBF";
    std::size_t at = text.compare(0, byteOrderMark.size(), byteOrderMark) == 0 ? byteOrderMark.size() : 0;
    std::string version;
    bool assumed = false;
    for (int64_t lineNumber = 1; at < text.size() || version.empty(); ++lineNumber) {
        const std::size_t end = std::min(text.find('\n', at), text.size());
        const std::string line = Trim(text.substr(at, end - at));
        at = end + 1;
        if (version.empty()) {
            version = HeaderVersion(line);
            if (version.empty()) {
                return name + " does not start with \"# timestamp format v2\" (or v1)\n";
            }
            if (version != "1" && version != "2") {
                return name + " is in timestamp format v" + version + ": ratefold reads v1 and v2\n";
            }
            file.byRates = version == "1";
        } else if (line.empty() || line[0] == '#') {
            continue;
        } else if (!file.byRates) {
            int64_t time = 0;
            if (!ParseMilliseconds(line, time)) {
                return LineMessage(name, lineNumber, "is not a number", line);
            }
            if (!file.listed.empty() && time < file.listed.back()) {
                return name + " goes backwards at picture " + std::to_string(file.listed.size()) +
                       " (in display order, from 0): " + MillisecondsText(time) + " ms after " +
                       MillisecondsText(file.listed.back()) + " ms\n";
            }
            file.listed.push_back(time);
        } else if (!assumed) {
            // The keyword, then a space or tab (or the line's end, '\0').
            const std::string keyword = "assume";
            if (Lower(line).compare(0, keyword.size(), keyword) != 0 ||
                (line[keyword.size()] != ' ' && line[keyword.size()] != '\t') ||
                !ParseRate(Trim(line.substr(keyword.size())), file.assumed)) {
                return LineMessage(name, lineNumber, "is not \"Assume RATE\"", line);
            }
            assumed = true;
        } else {
            RateRange range{};
            if (!ParseRange(line, range)) {
                return LineMessage(name, lineNumber, "is not a range FIRST,LAST,RATE", line);
            }
            if (range.last < range.first) {
                return LineMessage(name, lineNumber, "has a range that ends before it starts", line);
            }
            file.ranges.push_back(range);
        }
    }
    if (file.byRates && !assumed) {
        return name + " has no \"Assume RATE\" line\n";
    }
    std::sort(file.ranges.begin(), file.ranges.end(),
              [](const RateRange& a, const RateRange& b) { return a.first < b.first; });
    for (std::size_t k = 1; k < file.ranges.size(); ++k) {
        if (file.ranges[k].first <= file.ranges[k - 1].last) {
            return name + " has ranges that overlap: pictures " + std::to_string(file.ranges[k - 1].first) + " to " +
                   std::to_string(file.ranges[k - 1].last) + " and " + std::to_string(file.ranges[k].first) +
                   " to " + std::to_string(file.ranges[k].last) + "\n";
        }
    }
    return "";
}

std::string TimesOfPictures(const TimestampFile& file, const std::string& name, int64_t pictures,
                            std::vector<int64_t>& times)
{
    times.clear();
    if (!file.byRates) {
        if (static_cast<int64_t>(file.listed.size()) != pictures) {
            return name + " has " + std::to_string(file.listed.size()) + " timestamps for " +
                   std::to_string(pictures) + " pictures\n";
        }
        times = file.listed;
        return "";
    }
    if (!file.ranges.empty() && file.ranges.back().last >= pictures) {
        return name + " has a range up to picture " + std::to_string(file.ranges.back().last) + " (from 0) for " +
               std::to_string(pictures) + " pictures\n";
    }
    times.reserve(static_cast<std::size_t>(pictures));
    ExactTime start;
    std::size_t next = 0;
    for (int64_t picture = 0; picture < pictures;) {
        // A run of pictures at one rate: a range, or those up to the next.
        const bool inRange = next < file.ranges.size() && file.ranges[next].first == picture;
        const FrameRate rate = inRange ? file.ranges[next].rate : file.assumed;
        const int64_t end = inRange                          ? file.ranges[next++].last + 1
                            : next < file.ranges.size() ? file.ranges[next].first
                                                        : pictures;
        for (int64_t k = 0; picture + k < end; ++k) {
            times.push_back(Rounded(After(start, rate, k)));
        }
        start = After(start, rate, end - picture);
        picture = end;
    }
    return "";
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

std::string WriteTimestampsV2(const std::vector<int64_t>& times)
{
    std::string text = "# timestamp format v2\n";
    for (const int64_t time : times) {
        text += MillisecondsText(time) + "\n";
    }
    return text;
}

std::string ShowAtTimes(const std::vector<int64_t>& times, int targetCode, const std::string& name,
                        std::vector<ShownAt>& shown)
{
    shown.clear();
    const int unitsPerFrame = IsFrameTarget(targetCode) ? 1 : 2;
    const int fewest = unitsPerFrame == 1 ? 1 : kFewestFields;
    const FrameRate rate = RateOfCode(targetCode);
    // A unit lasts 10^9 * den / (num * unitsPerFrame) ns. The first picture
    // starts at unit 0 whatever its time: the stream starts with it.
    const auto unitAt = [&](int64_t time) {
        return MulDivRound(time - times[0], rate.numerator * unitsPerFrame, kNanosecondsPerSecond * rate.denominator);
    };
    int64_t start = 0;
    for (std::size_t i = 0; i < times.size(); ++i) {
        const bool last = i + 1 == times.size();
        const int64_t next = last ? start + fewest : unitAt(times[i + 1]);
        const int64_t units = next - start;
        if (units < fewest || units > kMostUnits) {
            return name + ": picture " + std::to_string(i) + " (in display order, from 0) lasts " +
                   MillisecondsText(times[i + 1] - times[i]) + " ms: " + std::to_string(units) +
                   (unitsPerFrame == 2 ? " field" : " frame") + (units == 1 ? "" : "s") + " at " +
                   RateName(targetCode) + " fps, not " + (unitsPerFrame == 2 ? "2 or 3" : "1 to 3") + "\n";
        }
        shown.push_back(ShownAt{start, static_cast<int>(units), FlagsOfUnits(start, units, unitsPerFrame)});
        start = next;
    }
    return "";
}
