// mkvmerge's timestamp files read and written.
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

}  // namespace

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
                   std::to_string(file.ranges[k - 1].last) + " and " + std::to_string(file.ranges[k].first) + " to " +
                   std::to_string(file.ranges[k].last) + "\n";
        }
    }
    return "";
}

std::string WriteTimestampsV2(const std::vector<int64_t>& times)
{
    std::string text = "# timestamp format v2\n";
    for (const int64_t time : times) {
        text += MillisecondsText(time) + "\n";
    }
    return text;
}
