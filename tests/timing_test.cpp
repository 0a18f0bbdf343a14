// Timestamp files, pictures shown at their timestamps (stream/timeline.h), cadence sections and
// the times that taking pulldown off a hybrid keeps.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "stream/cadence.h"
#include "timing/timing.h"

namespace {

const std::string kV2 = "# timestamp format v2\n", kV1 = "# timestamp format v1\n";
constexpr FrameRate kNtsc{30000, 1001};

std::string Joined(const std::vector<int64_t>& times)
{
    std::string text;
    for (const int64_t time : times) {
        text += (text.empty() ? "" : " ") + MillisecondsText(time);
    }
    return text;
}

// The times a timestamp file gives pictures, or its refusal.
std::string Read(const std::string& text, int64_t pictures, std::vector<int64_t>* out = nullptr)
{
    TimestampFile file;
    std::string message = ReadTimestamps(text, "t.txt", file);
    if (message.empty()) {
        message = TimestampCountRefusal(file, "t.txt", pictures);
    }
    std::vector<int64_t> times;
    RateCursor cursor;
    while (message.empty() && static_cast<int64_t>(times.size()) < pictures) {
        times.push_back(file.byRates ? NextRateTime(file, cursor) : file.listed[times.size()]);
    }
    if (out != nullptr) {
        *out = times;
    }
    return message.empty() ? Joined(times) : message;
}

std::string Repeat(const std::string& text, int times)
{
    std::string repeated;
    while (times-- > 0) {
        repeated += text;
    }
    return repeated;
}

TEST(Timestamps, ReadsBothFormatsAndRefusesWhatTheyDoNotSay)
{
    const std::string notNumber = "t.txt line 3 is not a number: ",
                      noHeader = "t.txt does not start with \"# timestamp format v2\" (or v1)\n",
                      notRange = "t.txt line 3 is not a range FIRST,LAST,RATE: ",
                      notAssume = "t.txt line 2 is not \"Assume RATE\": ", overlap = "t.txt has ranges that overlap: ";
    const std::tuple<std::string, int64_t, std::string> cases[] = {
        {kV2 + "0\n41.708333\n\n  # a comment\n83.416667\n", 3, "0 41.708333 83.416667"},
        // A byte order mark, the older spelling in any case, CR LF, spaces.
        {"\xEF\xBB\xBF# TimeCode Format V2\r\n -1.5 \r\n.5\r\n\t7.\r\n", 3, "-1.5 0.5 7"},
        // Nanoseconds; a seventh decimal rounds half up, the rest only count as digits.
        {kV2 + "1.0000004\n1.0000005\n2.12345649999\n", 3, "1 1.000001 2.123456"},
        {kV2 + "999999999999\n999999999999.999999", 2, "999999999999 999999999999.999999"},
        {kV2 + "10\n10\n", 2, "10 10"},
        {kV2 + "0\n1e3\n", 2, notNumber + "\"1e3\"\n"},
        {kV2 + "0\n1.2.3\n", 2, notNumber + "\"1.2.3\"\n"},
        {kV2 + "0\n.\n", 2, notNumber + "\".\"\n"},
        {kV2 + "0\n-\n", 2, notNumber + "\"-\"\n"},
        {kV2 + "0\n4\x01\n", 2, notNumber + "\"4?\"\n"},
        {kV2 + "0\n1000000000000\n", 2, notNumber + "\"1000000000000\"\n"},
        {kV2 + "0\n" + std::string(41, '7') + "\x01\n", 2, notNumber + "\"" + std::string(40, '7') + "...\"\n"},
        {kV2 + "0\n50\n49.999999\n", 3,
         "t.txt goes backwards at picture 2 (in display order, from 0): 49.999999 ms after 50 ms\n"},
        {kV2 + "0\n1\n2\n", 4, "t.txt has 3 timestamps for 4 pictures\n"},
        {kV2 + "0\n1\n2\n", 2, "t.txt has 3 timestamps for 2 pictures\n"},
        {"0\n1\n", 2, noHeader},
        {"", 0, noHeader},
        {"\n" + kV2, 0, noHeader},
        {"# timestamp format v\n", 0, noHeader},
        {"# timestamp format v2x\n", 0, noHeader},
        {"# timestamp format v4\n0\n", 1, "t.txt is in timestamp format v4: ratefold reads v1 and v2\n"},
        {"# timecode format v12\n0\n", 1, "t.txt is in timestamp format v12: ratefold reads v1 and v2\n"},
        {kV1 + "Assume 23.976\n", 4, "0 41.708333 83.416667 125.125"},
        {kV1 + "# rates\nassume\t25\n2,3,50\n", 6, "0 40 80 100 120 160"},
        // Ranges in any order; pictures outside them at the assumed rate.
        {kV1 + "Assume 25\n4,4,50\n1 , 1 , 50\n", 6, "0 40 60 100 140 160"},
        // 1001/30 + 1001/60 + 1001/120 = 7007/120 ms, then 12.5 as written.
        {kV1 + "Assume 29.97\n1,1,59.94\n2,2,119.88\n3,3,12.5\n", 5, "0 33.366667 50.05 58.391667 138.391667"},
        {kV1 + "Assume 23.98\n", 2, "0 41.701418"},
        {kV1 + "Assume 1024\n", 2, "0 0.976563"},  // 10^9 / 1024 ns is 976562.5: half up
        {kV1 + "Assume 25\n0,9,50\n5,12,25\n", 20, overlap + "pictures 0 to 9 and 5 to 12\n"},
        {kV1 + "Assume 25\n5,12,25\n0,5,50\n", 20, overlap + "pictures 0 to 5 and 5 to 12\n"},
        {kV1 + "Assume 25\n9,8,50\n", 20, "t.txt line 3 has a range that ends before it starts: \"9,8,50\"\n"},
        {kV1 + "Assume 25\n9,9,50\n", 12, "0 40 80 120 160 200 240 280 320 360 380 420"},
        {kV1 + "Assume 25\n0,9,50\n", 9, "t.txt has a range up to picture 9 (from 0) for 9 pictures\n"},
        {kV1 + "Assume 25\n0,9,50\n", 10, "0 20 40 60 80 100 120 140 160 180"},
        {kV1 + "0,9,50\n", 9, notAssume + "\"0,9,50\"\n"},
        {kV1 + "Assume 0\n", 1, notAssume + "\"Assume 0\"\n"},
        {kV1 + "Assumed 25\n", 1, notAssume + "\"Assumed 25\"\n"},
        {kV1 + "Assume\n", 1, notAssume + "\"Assume\"\n"},
        {kV1 + "Assume 25 fps\n", 1, notAssume + "\"Assume 25 fps\"\n"},
        {kV1 + "Assume 1000000\n", 1, notAssume + "\"Assume 1000000\"\n"},
        {kV1 + "Assume 25\n0,x,50\n", 1, notRange + "\"0,x,50\"\n"},
        {kV1 + "Assume 25\n0,1.5,50\n", 1, notRange + "\"0,1.5,50\"\n"},
        {kV1 + "Assume 25\n0.5,1,50\n", 1, notRange + "\"0.5,1,50\"\n"},
        {kV1 + "Assume 25\n0,1\n", 1, notRange + "\"0,1\"\n"},
        {kV1 + "Assume 25\n0,1,0\n", 1, notRange + "\"0,1,0\"\n"},
        {kV1 + "Assume 25\n0,1,50,\n", 1, notRange + "\"0,1,50,\"\n"},
        {kV1, 1, "t.txt has no \"Assume RATE\" line\n"},
    };
    for (const auto& [text, pictures, result] : cases) {
        EXPECT_EQ(Read(text, pictures), result) << text;
    }
}

// Exact to the nanosecond however long the stream: ten hours at 23.976 end
// at 36036 s exactly, and the next picture, at 25, 40 ms later. Odd rates
// whose common denominator would not fit are rounded where they change,
// within a nanosecond of the exact sum.
TEST(Timestamps, StayExactOverLongStreamsAndOddRates)
{
    std::vector<int64_t> times;
    const int64_t tenHours = 864000;
    ASSERT_EQ(Read(kV1 + "Assume 25\n0," + std::to_string(tenHours - 1) + ",23.976\n", tenHours + 2, &times)[0], '0');
    EXPECT_EQ(Joined({times[tenHours - 1], times[tenHours], times[tenHours + 1]}), "36035958.291667 36036000 36036040");
    // 10^15/7000001 + 10^15/11000003 + 10^15/13000007 ns = 310689224.068 ns;
    // the third rate's start, 233766188.565 ns, was rounded, both where the
    // denominators' product passes 63 bits and where it passes 2^60 (7000001
    // * 11000003 * 103889): then picture 6 is 4 * 10^12/103889 ns on, at
    // 272268821.7 ns, not 272268821.4.
    EXPECT_EQ(Read(kV1 + "Assume 25\n0,0,7.000001\n1,1,11.000003\n2,2,13.000007\n", 4),
              "0 142.857122 233.766189 310.689225");
    EXPECT_EQ(Read(kV1 + "Assume 25\n0,0,7.000001\n1,1,11.000003\n2,6,103.889\n", 7),
              "0 142.857122 233.766189 243.391847 253.017505 262.643163 272.268822");
    // Written and read back, each time as it was.
    const std::vector<int64_t> some = {0, 1, 41708333, 125125000, 36036000000000, 999999999999999999};
    EXPECT_EQ(WriteTimestampsV2(some), kV2 + "0\n0.000001\n41.708333\n125.125\n36036000\n999999999999.999999\n");
    EXPECT_EQ(Read(WriteTimestampsV2(some), 6, &times), Joined(some));
    EXPECT_EQ(times, some);
}

TEST(MulDivRound, IsExactWhereTheProductPassesSixtyFourBits)
{
    const int64_t cases[][4] = {
        // a, b, c, round(a * b / c), a half up
        {0, 5, 3, 0},
        {3, 5, 2, 8},
        {7, 1, 3, 2},
        {5, 1, 3, 2},
        {INT64_MAX, 2, 4, int64_t{1} << 62},
        {INT64_MAX, INT64_MAX, INT64_MAX, INT64_MAX},
        {123456789012345, 987654321, 1000000007, 121932630271299},
        {int64_t{1} << 40, int64_t{1} << 40, int64_t{1} << 30, int64_t{1} << 50},
        {(int64_t{1} << 32) + 1, (int64_t{1} << 32) + 3, int64_t{1} << 20, (int64_t{1} << 44) + (int64_t{1} << 14)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(MulDivRound(c[0], c[1], c[2]), c[3]) << c[0] << " " << c[1] << " " << c[2];
    }
}

// What a decoder sees for each of the pictures shown at the times of a
// timestamp file ("ms ms ..." in format v2, or a whole file):
// "units:top_field_first repeat_first_field", or the refusal.
std::string Shown(const std::string& times, int targetCode, int64_t pictures = -1)
{
    std::string text = kV2;
    for (const char c : times) {
        text += c == ' ' ? '\n' : c;
    }
    TimestampFile file;
    EXPECT_EQ(ReadTimestamps(times[0] == '#' ? times : text, "t.txt", file), "");
    Timeline timeline = MakeTimeline(file, "t.txt", targetCode);
    pictures = pictures < 0 ? static_cast<int64_t>(file.listed.size()) : pictures;
    if (TimelineRefuses(timeline, pictures) || TimelineRefusesCount(timeline, pictures)) {
        return timeline.refusal;
    }
    std::string result;
    for (int64_t n = 0; n < pictures; ++n) {
        const PulldownFlags flags = TimelineFlags(timeline, n);
        const int units = IsFrameTarget(targetCode) ? (flags.topFieldFirst      ? 3
                                                       : flags.repeatFirstField ? 2
                                                                                : 1)
                                                    : (flags.repeatFirstField ? 3 : 2);
        result +=
            std::to_string(units) + ":" + (flags.topFieldFirst ? "1" : "0") + (flags.repeatFirstField ? "1 " : "0 ");
    }
    return result;
}

TEST(Timeline, StartsEachPictureNearItsTimeAlternatingTies)
{
    // The refusal of a picture that lasts too long or too short.
    const auto lasts = [](int picture, const std::string& ms, const std::string& shownAs) {
        const bool fields = shownAs[0] == '2';
        return "t.txt: picture " + std::to_string(picture) + " (in display order, from 0) lasts " + ms +
               " ms: shown as " + shownAs + " fps, picture " + std::to_string(picture + 1) +
               " would start more than a " + (fields ? "field" : "frame") + " from its timestamp\n";
    };
    const std::tuple<std::string, int, int64_t, std::string> cases[] = {
        // 24 fps at 30: the classic 3:2, a tie with no picture before
        // taking three; the last picture shows two fields.
        {"0 41.666667 83.333333 125", kRate30, -1, "3:11 2:00 3:01 2:10 "},
        // 23.976 to the nanosecond at 29.97, from 1000 ms: 2.4999999 fields
        // are nearer 2; 7.5 exactly (125.125 ms) is a tie, and goes to the
        // length the picture before did not show.
        {"1000 1041.708333 1083.416667 1125.125 1166.833333", kRate2997, -1, "2:10 3:11 2:00 3:01 2:10 "},
        // Format v1: the same times, and the last picture's length too.
        {kV1 + "Assume 23.976\n", kRate2997, 5, "2:10 3:11 2:00 3:01 2:10 "},
        {kV1 + "Assume 23.976\n", kRate2997, 4, "2:10 3:11 2:00 3:01 "},
        // Exactly a field from its time is within one.
        {"0 40 80", kRate25, -1, "2:10 2:10 2:10 "},
        {"0 20 60", kRate25, -1, "2:10 2:10 2:10 "},
        // To the millisecond: 7.4925 fields are nearer 7, but after a
        // picture of two, three; an eighth of a field apart is still a tie.
        {"0 42 83 125 167", kRate2997, -1, "3:11 2:00 3:01 2:10 2:10 "},
        {"0 40 88.75", kRate25, -1, "2:10 3:11 2:00 "},
        {"0 40 88.7", kRate25, -1, "2:10 2:10 2:10 "},
        {"0 41.708333 83.416667 125.125", kRate5994, -1, "2:01 3:11 2:01 1:00 "},
        {"0 33.333333 66.666667", kRate60, -1, "2:01 2:01 1:00 "},
        {"7", kRate30, -1, "2:10 "},
        {"0 60 90", kRate2997, -1, "3:11 2:00 2:00 "},  // 3.6 fields: three leave the next 0.6 field late
        {"0 40 41", kRate2997, -1, lasts(1, "1", "2 or 3 fields at 29.97")},
        {"0 10 50", kRate2997, -1, lasts(0, "10", "2 or 3 fields at 29.97")},
        {"1000 1070", kRate2997, -1, lasts(0, "70", "2 or 3 fields at 29.97")},
        {"0 70", kRate5994, -1, lasts(0, "70", "1 to 3 frames at 59.94")},
        {"0 16.7 20 40", kRate60, -1, "1:00 1:00 1:00 1:00 "},  // a frame late is not more than a frame
        {"0 1 2", kRate60, -1, lasts(1, "1", "1 to 3 frames at 60")},
        {"0 100000000000", kRate2997, -1, lasts(0, "100000000000", "2 or 3 fields at 29.97")},
        // A picture whose next is past the stream's pictures is the count's
        // to refuse; one time more is where the last picture ends, as
        // mkvextract writes it.
        {"0 40 41", kRate2997, 1, "t.txt has 3 timestamps for 1 pictures\n"},
        {"0 41.708333 83.416667 125.125", kRate2997, 3, "2:10 3:11 2:00 "},
        {"0 40 41", kRate2997, 2, "2:10 2:10 "},
        {"0 40", kRate2997, 3, "t.txt has 2 timestamps for 3 pictures\n"},
        {kV1 + "Assume 25\n0,9,50\n", kRate50, 9, "t.txt has a range up to picture 9 (from 0) for 9 pictures\n"},
    };
    for (const auto& [times, target, pictures, result] : cases) {
        EXPECT_EQ(Shown(times, target, pictures), result) << times << " at " << RateName(target);
    }
}

// A display number guessed far past the plan (a misleading temporal_reference)
// is not planned: it shows two fields after the last planned.
TEST(Timeline, PlansNoMoreThanAMillionPicturesAhead)
{
    TimestampFile file;
    ASSERT_EQ(ReadTimestamps(kV1 + "Assume 23.976\n", "t.txt", file), "");
    Timeline timeline = MakeTimeline(file, "t.txt", kRate2997);
    const int64_t farAhead = (int64_t{1} << 20) + 1;
    EXPECT_EQ(TimelineFrame(timeline, farAhead), farAhead);
    const PulldownFlags flags = TimelineFlags(timeline, farAhead);
    EXPECT_TRUE(flags.topFieldFirst && !flags.repeatFirstField);
    EXPECT_EQ(timeline.starts.size(), 1u);
    EXPECT_EQ(TimelineFrame(timeline, 4), 5);  // 3:2 from the start, as planned in order
}

// Pictures from their units, "3232" fields, each starting on the other
// parity than the one before ended on, or on the same after '!'; after
// 'f', frames of a progressive sequence.
std::vector<CadenceRecord> Pictures(const std::string& units)
{
    std::vector<CadenceRecord> pictures;
    bool top = true, progressive = false;
    for (const char c : units) {
        if (c == 'f') {
            progressive = true;
        } else if (c == '!') {
            top = !top;
        } else {
            pictures.push_back(MakeCadenceRecord(c - '0', top, progressive));
            top = top != ((c - '0') % 2 == 1);
        }
    }
    return pictures;
}

// "first-last cadence breaks start+seconds | ...".
std::string Described(const Sections& sections)
{
    std::string text;
    for (const Section& s : sections.list) {
        char line[128];
        std::snprintf(line, sizeof line, "%s%lld-%lld %s %lld %.3f+%.3f", text.empty() ? "" : " | ",
                      static_cast<long long>(s.first), static_cast<long long>(s.last), SectionCadenceName(s.cadence),
                      static_cast<long long>(s.breaks), s.start, s.seconds);
        text += line;
    }
    return text;
}

TEST(FindSections, DividesTheStreamIntoRunsOfOneCadence)
{
    const std::string film = Repeat("32", 20), video = Repeat("2", 30), twelve = "3" + Repeat("2", 11);
    const std::tuple<std::string, FrameRate, std::string, double> cases[] = {
        // and the share of film
        {Repeat("32", 24), kNtsc, "0-47 3:2 0 0.000+2.002", 1},
        {"!" + Repeat("23", 24), kNtsc, "0-47 3:2 0 0.000+2.002", 1},
        // Breaks: two pictures of two fields, a parity break, odd at the start.
        {Repeat("32", 12) + Repeat("23", 12), kNtsc, "0-47 3:2 1 0.000+2.002", 1},
        {Repeat("32", 12) + "!" + Repeat("32", 12), kNtsc, "0-47 3:2 1 0.000+2.002", 1},
        {"33" + film, kNtsc, "0-41 3:2 2 0.000+1.768", 1},
        // A hybrid: its joins break the parity, or do not (then 3:2 takes
        // the video's last picture, whose two fields alternate with the
        // film's first three).
        {film + "!" + video + "!" + Repeat("23", 20), kNtsc,
         "0-39 3:2 0 0.000+1.668 | 40-69 two fields 0 1.668+1.001 | 70-109 3:2 0 2.669+1.668", 80.0 / 110},
        {film + video + film, kNtsc,
         "0-39 3:2 0 0.000+1.668 | 40-68 two fields 0 1.668+0.968 | 69-109 3:2 0 2.636+1.702", 81.0 / 110},
        // One odd picture among video is a break; short runs long enough are
        // irregular; odd pictures between two cadences go half to each.
        {Repeat("2", 20) + "3" + Repeat("2", 20), kNtsc, "0-40 two fields 1 0.000+1.385", 0},
        {Repeat("2", 20) + "!" + Repeat("2", 20), kNtsc, "0-39 two fields 1 0.000+1.335", 0},
        {Repeat("2", 20) + Repeat("2233", 4) + Repeat("2", 20), kNtsc,
         "0-21 two fields 0 0.000+0.734 | 22-35 irregular 0 0.734+0.601 | 36-55 two fields 0 1.335+0.667", 0},
        {Repeat("2", 20) + "33" + Repeat("23", 12), kNtsc, "0-19 two fields 0 0.000+0.667 | 20-45 3:2 1 0.667+1.101",
         26.0 / 46},
        {Repeat("3", 24), kNtsc, "0-23 irregular 0 0.000+1.201", 0},
        // One field in twelve, alone and after video.
        {Repeat(twelve, 4), {25, 1}, "0-47 2:2:2:2:2:2:2:2:2:2:2:3 0 0.000+2.000", 0},
        {Repeat("2", 24) + Repeat(twelve, 3) + "3" + Repeat("2", 5),
         {25, 1},
         "0-23 two fields 0 0.000+0.960 | 24-65 2:2:2:2:2:2:2:2:2:2:2:3 0 0.960+1.760",
         0},
        {Repeat(twelve, 2) + "3" + Repeat("2", 9) + Repeat(twelve, 2),
         {25, 1},
         "0-57 2:2:2:2:2:2:2:2:2:2:2:3 1 0.000+2.420",
         0},
        // Frames: one each, 3:2, repeated (30 to 60, 50 to 60).
        {"f" + Repeat("1", 24), {60, 1}, "0-23 none 0 0.000+0.400", 0},
        {"f" + Repeat("32", 12), {60000, 1001}, "0-23 frame repetition 3:2 0 0.000+1.001", 1},
        {"f" + Repeat("2", 24), {60, 1}, "0-23 frame repetition 0 0.000+0.800", 0},
        {"f" + Repeat("11112", 6), {60, 1}, "0-29 frame repetition 0 0.000+0.600", 0},
        {"f" + Repeat("1", 20) + Repeat("32", 10),
         {60, 1},
         "0-19 none 0 0.000+0.333 | 20-39 frame repetition 3:2 0 0.333+0.833",
         0.5},
        {"f" + Repeat("1", 20) + "2" + Repeat("1", 20), {60, 1}, "0-40 none 1 0.000+0.700", 0},
        {"f" + Repeat("1", 20) + "3" + Repeat("32", 10),
         {60, 1},
         "0-19 none 0 0.000+0.333 | 20-40 frame repetition 3:2 1 0.333+0.883",
         21.0 / 41},
        // Shorter than a section.
        {"32323", kNtsc, "0-4 3:2 0 0.000+0.217", 1},
        {"3", kNtsc, "0-0 irregular 0 0.000+0.050", 0},
        {"2", kNtsc, "0-0 two fields 0 0.000+0.033", 0},
        {"", kNtsc, "", 0},
    };
    for (const auto& [units, rate, described, filmShare] : cases) {
        const Sections sections = FindSections(Pictures(units), rate);
        EXPECT_EQ(Described(sections), described) << units;
        EXPECT_DOUBLE_EQ(sections.filmShare, filmShare) << units;
    }
}

// Film evenly at 1001/24 ms, restarting where it was shown after a break
// of its cadence, and after a picture that would be more than half a unit
// away (the one after a single frame); video where it was shown.
TEST(UndoTimes, SpacesFilmEvenlyAndKeepsVideoWhereItWasShown)
{
    const std::tuple<std::string, FrameRate, std::string> cases[] = {
        {"32323", kNtsc, "0 41.708333 83.416667 125.125 166.833333"},
        {"23232", {30, 1}, "0 41.666667 83.333333 125 166.666667"},
        {"f" + Repeat("32", 8) + "1" + Repeat("23", 8),
         {60000, 1001},
         "0 41.708333 83.416667 125.125 166.833333 208.541667 250.25 291.958333 333.666667 375.375 417.083333 "
         "458.791667 500.5 542.208333 583.916667 625.625 667.333333 684.016667 725.725 767.433333 809.141667 "
         "850.85 892.558333 934.266667 975.975 1017.683333 1059.391667 1101.1 1142.808333 1184.516667 1226.225 "
         "1267.933333 1309.641667"},
        {Repeat("32", 6) + "!" + "2222", kNtsc,
         "0 41.708333 83.416667 125.125 166.833333 208.541667 250.25 291.958333 333.666667 375.375 417.083333 "
         "458.791667 500.5 533.866667 567.233333 600.6"},
    };
    for (const auto& [units, rate, times] : cases) {
        const std::vector<CadenceRecord> pictures = Pictures(units);
        EXPECT_EQ(Joined(UndoTimes(pictures, FindSections(pictures, rate), rate)), times) << units;
    }
    // Two breaks: evenly from where each run was shown, 40 and 80 fields in.
    const std::vector<CadenceRecord> broken = Pictures(Repeat("32", 8) + Repeat("23", 8) + Repeat("32", 8));
    const std::vector<int64_t> restarted = UndoTimes(broken, FindSections(broken, kNtsc), kNtsc);
    ASSERT_EQ(restarted.size(), 48u);
    for (int64_t k = 0; k < 48; ++k) {
        const int64_t quarters = 80 * (k / 16) + 5 * (k % 16);  // a field is 2
        EXPECT_EQ(restarted[k], (quarters * 1001000000000 + 60000) / 120000) << k;
    }
    // Ten hours of film at 29.97, each picture to the nanosecond.
    const std::vector<CadenceRecord> film = Pictures(Repeat("23", 432000));
    const Sections sections = FindSections(film, kNtsc);
    ASSERT_EQ(Described(sections), "0-863999 3:2 0 0.000+36036.000");
    const std::vector<int64_t> times = UndoTimes(film, sections, kNtsc);
    for (int64_t k = 0; k < 864000; ++k) {
        ASSERT_EQ(times[k], (k * 1001000000 + 12) / 24) << k;
    }
}

// Random hybrids: film by 3:2 at any phase, sometimes with a cadence break
// inside, and video of two fields a picture, their joins breaking the
// parity or not. Sections come out as the truth, their edges within two
// pictures; taking the pulldown off keeps each picture within half a field
// of where it was shown, and film evenly spaced but where it restarts.
TEST(FindSections, FindsRandomHybridsAndTheirTimesStayWithinHalfAField)
{
    std::mt19937 random(18);
    const auto between = [&random](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); };
    for (int trial = 0; trial < 300; ++trial) {
        std::string units;
        std::vector<std::pair<int64_t, bool>> truth;  // each run's first picture, and whether it is film
        int64_t count = 0;
        bool film = between(0, 1) == 1;
        for (int run = between(2, 5); run > 0; --run, film = !film) {
            truth.push_back({count, film});
            units += between(0, 1) == 1 ? "!" : "";
            const int length = film ? between(24, 150) : between(30, 100);
            const int breakAt = film && length >= 72 && between(0, 1) == 1 ? between(24, length - 24) : -1;
            for (int k = 0, phase = between(0, 1); k < length; ++k, ++phase) {
                phase += k == breakAt;  // two pictures of the same count
                units += film ? (phase % 2 == 0 ? "3" : "2") : "2";
            }
            count += length;
        }
        const std::vector<CadenceRecord> pictures = Pictures(units);
        const Sections sections = FindSections(pictures, kNtsc);
        ASSERT_EQ(sections.list.size(), truth.size()) << units << "\n" << Described(sections);
        for (std::size_t s = 0; s < truth.size(); ++s) {
            ASSERT_LE(std::abs(sections.list[s].first - truth[s].first), 2) << units << "\n" << Described(sections);
            ASSERT_EQ(sections.list[s].cadence,
                      truth[s].second ? SectionCadence::kThreeTwo : SectionCadence::kTwoFields);
        }
        const std::vector<int64_t> times = UndoTimes(pictures, sections, kNtsc);
        int64_t field = 0;  // where each picture was shown
        for (std::size_t n = 0; n < pictures.size(); ++n) {
            // Nanoseconds times 60000: a field is 1001 * 10^6 of these.
            const int64_t offset = times[n] * 60 - field * 1001000000;
            ASSERT_LE(std::abs(offset) * 2, 1001000000 + 120) << n << " " << units;
            const auto in = std::find_if(sections.list.begin(), sections.list.end(),
                                         [n](const Section& s) { return s.last >= static_cast<int64_t>(n); });
            const int64_t step = n > 0 ? times[n] - times[n - 1] : 0;
            const bool whereShown = times[n] == (field * 1001000000000 + 30000) / 60000;
            if (in->cadence == SectionCadence::kThreeTwo && in->first < static_cast<int64_t>(n) && !whereShown) {
                ASSERT_TRUE(step == 41708333 || step == 41708334) << n << " " << units;
            }
            field += pictures[n].units;
        }
    }
}

}  // namespace
