// Timing: pictures' times read from and written to mkvmerge's timestamp
// files (the fields each picture shows to start at its timestamp are
// planned in stream/timeline.h, as the stream is read), the cadence sections of a stream, and the times that taking
// pulldown off a hybrid keeps. Plain functions over vectors and strings: nothing here reads or writes a file or prints.
// A refusal comes back as its message, one line ending in a line feed, naming the timestamp file; an empty string means
// none.
//
// Times are whole nanoseconds (int64_t), exact: rates are exact fractions,
// and a time is rounded to the nanosecond once, where it is given out.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "stream/cadence.h"
#include "stream/timeline.h"

// ---- Timestamp files: mkvmerge's formats v1 and v2 ----

// Reads a timestamp file's text. Format v2: "# timestamp format v2" (or
// "# timecode format v2"), then one time in milliseconds a line, decimals
// allowed (to the nanosecond; a seventh decimal rounds), a minus sign too;
// the times may not go backwards. Format v1: "# timestamp format v1" (or
// timecode), "Assume RATE", then "first,last,RATE" lines in any order, none
// overlapping another; a RATE has at most six decimals, and 23.976, 29.97,
// 59.94 and 119.88 mean 24000/1001, 30000/1001, 60000/1001 and
// 120000/1001. Blank lines and lines starting with '#' after the header
// are skipped; spaces around a value and a carriage return before the line
// feed are allowed. name is the file's name, for the messages.
std::string ReadTimestamps(const std::string& text, const std::string& name, TimestampFile& file);

// A timestamp file in format v2: "# timestamp format v2", then one line a
// picture, its time in milliseconds. Times come in whole nanoseconds, each
// rounded there once from its exact value, so the file is exact to the
// nanosecond: mkvmerge keeps them so with --timestamp-scale 1 and rounds
// them to its timestamp scale otherwise (1 ms unless told), as it would
// any time it reads.
std::string WriteTimestampsV2(const std::vector<int64_t>& times);

// ---- Cadence sections (--info) ----

// One picture as a decoder shows it, in one byte: the units it shows
// (fields, or frames in a progressive sequence: 1 to 3), top_field_first,
// and progressive_sequence.
struct CadenceRecord {
    uint8_t units : 2;
    uint8_t topFieldFirst : 1;
    uint8_t progressiveSequence : 1;
};

CadenceRecord MakeCadenceRecord(int units, bool topFieldFirst, bool progressiveSequence);

enum class SectionCadence : uint8_t {
    kThreeTwo,         // "3:2": film shown by repeated fields, 3, 2, 3, 2 fields
    kFrameThreeTwo,    // "frame repetition 3:2": film shown by 3, 2, 3, 2 frames
    kTwoFields,        // "two fields": video, or film coded without repeats
    kOneInTwelve,      // "2:2:2:2:2:2:2:2:2:2:2:3": a field more every 11 or 12 pictures
    kFrameRepetition,  // "frame repetition": frames repeated, in no 3:2
    kNone,             // "none": one frame a picture, in a progressive sequence
    kIrregular,        // "irregular": none of these
};

// The cadence's name, as above.
const char* SectionCadenceName(SectionCadence cadence);

// Film shown by 3:2, in fields or frames.
bool IsFilm(SectionCadence cadence);

// A run of pictures of one cadence: its first and last picture (display
// order, from 0), when it starts and how long it lasts as shown, and how
// many of its pictures after the first break its cadence: by 3:2 and one
// field in twelve as CountShownPicture judges them; by two fields, a
// picture of more or one that starts on the parity the one before ended
// on; by none, a picture of more than one frame. Frame repetition and
// irregular have no cadence to break: 0.
struct Section {
    int64_t first;
    int64_t last;
    SectionCadence cadence;
    double start;  // seconds
    double seconds;
    int64_t breaks;
};

struct Sections {
    std::vector<Section> list;
    double filmShare = 0;  // the share of pictures in film sections, 0 to 1
};

// Divides pictures (display order) into sections; codedRate is the rate of
// the stream's frames. Keeps a byte a picture while it works.
Sections FindSections(const std::vector<CadenceRecord>& pictures, FrameRate codedRate);

// ---- Timing kept when pulldown is taken off a hybrid (--undo) ----

// Each picture's time, in nanoseconds from the first (display order), once
// each is shown as two fields (one frame): pictures of film sections
// evenly 2.5 units apart (1001/24 ms at 29.97 and 59.94, 1000/24 at 30
// and 60), the others where they were shown. Each film section starts
// where it was shown, and so does each run of it after a break of its
// cadence, and any picture that even spacing would put more than half a
// unit from where it was shown.
std::vector<int64_t> UndoTimes(const std::vector<CadenceRecord>& pictures, const Sections& sections,
                               FrameRate codedRate);
