// The start time of every picture of a stream, as it is shown: for
// --timestamps-out, in mkvmerge's timestamp format v2.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "stream/stream_counters.h"
#include "timing/timing.h"

struct PictureTimes {
    // The next picture's start, in seconds, exactly.
    int64_t startNumerator = 0;
    int64_t startDenominator = 1;
    std::vector<int64_t> times;  // nanoseconds from the first picture, display order
    // Taking pulldown off: the input as shown, one byte a picture, from
    // which the times of film and video are worked out at the end.
    bool keepRecords = false;
    std::vector<CadenceRecord> records;
    bool undone = false;  // the times are film's and video's own, from the records
};

// Takes the pictures shown so far from the counters: their start times as
// the output shows them (describing: as the input does).
void TakeShownPictures(PictureTimes& times, StreamCounters& counters);

// The times of a stream whose pulldown was taken off: film evenly at its
// rate, video at its own, each section starting where it was shown.
void KeepTimesOfFilmAndVideo(PictureTimes& times, int inputRateCode);

// The start times and, after them, where the last picture ends, as mkvmerge
// takes a timestamp file with one time more than there are pictures (as
// mkvextract writes it): otherwise it guesses the last picture's length.
// Taking pulldown off a hybrid, the last picture lasts as long as the one
// before it.
std::vector<int64_t> TimesWithEnd(const PictureTimes& times);

// Writes `text` as the file at `path`, all or nothing: into a temporary
// file beside it, flushed, then renamed over it. `input` is the stream's
// open input, which the file must not be. Returns the message lines that
// say why it could not be written, or nothing.
std::string WriteWholeFile(const char* path, const std::string& text, int input);
