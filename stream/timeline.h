// Pictures shown at their timestamps (--timestamps-in): the times a
// timestamp file gives, and the plan that starts each picture on the field
// (or frame) of the target rate nearest its time, worked out picture by
// picture as the stream asks for it. A stream's picture count is known only
// at its end (a pipe), so format v1's rates are turned into times one
// picture at a time, and nothing is planned before it is needed.
//
// Times are whole nanoseconds (int64_t), exact: rates are exact fractions,
// and a time is rounded to the nanosecond once, where it is given out.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "stream/cadence.h"

constexpr int64_t kNanosecondsPerSecond = 1000000000;
constexpr int64_t kNanosecondsPerMillisecond = 1000000;

// a * b / c rounded to the nearest whole (a half up), exact however large
// a * b grows, for a >= 0, b >= 0, c > 0 and a result below 2^63.
int64_t MulDivRound(int64_t a, int64_t b, int64_t c);

// "41.708333": a time in milliseconds, exact, with as few decimals as it
// needs (up to six: nanoseconds).
std::string MillisecondsText(int64_t nanoseconds);

// Format v1: pictures first to last (display order, from 0) at a rate.
struct RateRange {
    int64_t first;
    int64_t last;
    FrameRate rate;
};

// A timestamp file as read (ReadTimestamps, in timing/). Format v2 lists
// each picture's time; format v1 gives rates, so the times of any number of
// pictures follow from it.
struct TimestampFile {
    bool byRates = false;           // format v1
    std::vector<int64_t> listed;    // format v2: each picture's time as written
    FrameRate assumed{0, 1};        // format v1: the rate outside every range
    std::vector<RateRange> ranges;  // format v1: by first picture, none overlapping
};

// A time as an exact sum, whole + part / denominator nanoseconds, with
// 0 <= part < denominator.
struct ExactTime {
    int64_t whole = 0;
    int64_t part = 0;
    int64_t denominator = 1;
};

// Format v1's times, one picture after another: each the exact sum of the
// lengths of the pictures before it, rounded to the nanosecond.
struct RateCursor {
    int64_t picture = 0;  // the next picture whose time is given
    bool opened = false;  // a run has begun
    ExactTime runStart;   // when the run of pictures at one rate starts
    int64_t runFirst = 0;
    int64_t runEnd = 0;  // the picture after the run
    FrameRate rate{1, 1};
    std::size_t nextRange = 0;
};

// The time of cursor.picture, which then moves on to the next.
int64_t NextRateTime(const TimestampFile& file, RateCursor& cursor);

// The refusal (a line naming the file) of a file whose times are for
// another count of pictures than the stream's: format v2 lists another
// count, format v1 has a range past the last picture. Empty if none.
std::string TimestampCountRefusal(const TimestampFile& file, const std::string& name, int64_t pictures);

// The pictures of a stream at their timestamps, shown at a target rate,
// frame_rate_code 3 to 8: by fields at 25, 29.97 and 30, by whole frames at
// 50, 59.94 and 60. Picture 0 starts at unit 0, and picture n + 1 at
// start(n) + L, L two or three fields (one to three frames), the L that
// brings it nearest its ideal unit, (t(n + 1) - t(0)) / unit; where two
// come within an eighth of a unit of each other, the one other than the
// picture before showed, so that film whose times are rounded to the
// millisecond keeps its 3:2 (the first picture, with none before, takes the
// nearer, and of two as near the longer). Where even the nearest leaves
// picture n + 1 more than a unit from its time, picture n is refused. A
// picture with no time after it (format v2's last, unless the file lists
// where it ends) shows the fewest units; a picture planned past the file's
// times likewise, for the end of the stream to refuse the count.
struct Timeline {
    std::string name;  // the timestamp file's, for the messages
    TimestampFile file;
    int targetCode = 0;
    // The plan so far: the unit each picture starts at, from picture 0 on.
    std::vector<int64_t> starts;
    int lastUnits = 0;      // the units of the last picture whose length is chosen
    int64_t firstTime = 0;  // picture 0's time
    int64_t lastTime = 0;   // the time of the last picture planned
    RateCursor cursor;      // format v1: at the picture after the last planned
    // The first picture that cannot be shown at its time (-1: none so far),
    // and why: a line naming the file.
    int64_t refusedPicture = -1;
    std::string refusal;
};

Timeline MakeTimeline(TimestampFile file, const std::string& name, int targetCode);

// Where the timeline shows picture n (display order, from 0): the flags it
// gets, and the frame of the output in which it starts. Planned on demand,
// up to n; from the first refused picture on, the pictures show the fewest
// units each.
PulldownFlags TimelineFlags(Timeline& timeline, int64_t n);
int64_t TimelineFrame(Timeline& timeline, int64_t n);

// True if one of the first `count` pictures cannot be shown at its time
// (the one after a picture refused among them): timeline.refusal says why.
bool TimelineRefuses(Timeline& timeline, int64_t count);

// At the end of a stream of `pictures` pictures: true if the file's times
// are for another count, setting timeline.refusal. Format v2 may list one
// time more, where the last picture ends (as mkvextract writes it): the
// last picture then lasts until it, if it can (the fewest units if not).
bool TimelineRefusesCount(Timeline& timeline, int64_t pictures);
