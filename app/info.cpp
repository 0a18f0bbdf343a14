// --info: a stream described as a decoder shows it, and what each job would do with it.
#include "app/info.h"

#include <cinttypes>
#include <cstdio>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "convert/convert.h"
#include "host/file_access.h"
#include "convert/picture_times.h"
#include "avc/avc_stream.h"
#include "naming/output_name.h"
#include "stream/scanner.h"

namespace {

// An exact rate as a fraction in lowest terms.
struct Fraction {
    int64_t numerator;
    int64_t denominator;
};

Fraction Reduce(int64_t numerator, int64_t denominator)
{
    const int64_t divisor = std::gcd(numerator, denominator);
    return divisor == 0 ? Fraction{0, 1} : Fraction{numerator / divisor, denominator / divisor};
}

// A conversion tried on a copy of the stream, to see whether it would be
// refused: it sees the same bytes as the description, in pieces of its own.
struct TrialRun {
    StreamCounters counters;
    std::vector<uint8_t> pending;  // the bytes it holds back, then the new ones
    // An H.264 stream's converter, and its output, which nobody reads.
    std::unique_ptr<AvcConverter> avc;
    std::vector<uint8_t> output;
};

void Feed(TrialRun& trial, const uint8_t* bytes, int32_t count, bool avc)
{
    if (trial.counters.refusal != Refusal::kNone) {
        return;
    }
    if (avc) {
        if (!trial.avc) {
            trial.avc = std::make_unique<AvcConverter>();
        }
        AvcTake(*trial.avc, bytes, static_cast<std::size_t>(count), trial.counters, trial.output);
        trial.output.clear();
        return;
    }
    trial.pending.insert(trial.pending.end(), bytes, bytes + count);
    const int32_t done = ScanChunk(trial.pending.data(), static_cast<int32_t>(trial.pending.size()), trial.counters);
    trial.pending.erase(trial.pending.begin(), trial.pending.begin() + done);
    trial.counters.patches.clear();
}

// The pictures listed (--pictures) wait in a spool, a temporary file where
// the C library can make one, until the stream's own description, which
// needs the whole stream, has been printed: memory stays flat however long
// the stream.
struct PictureList {
    bool json = false;
    std::FILE* spool = nullptr;
    std::string kept;  // where no temporary file could be made
    bool failed = false;
    bool print = false;  // --pictures: the lines are printed
    PictureTimes times;  // every picture's start, and the records sections need
};

struct Reading {
    InputStream input;
    TrialRun conversion;
    TrialRun undo;
    StreamCounters* counters = nullptr;
    PictureList pictures;
};

std::string FractionText(Fraction f)
{
    return std::to_string(f.numerator) + "/" + std::to_string(f.denominator);
}

// "23.976", "25", "29.97": three decimals at most, trailing zeros dropped.
std::string DecimalText(Fraction f)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", static_cast<double>(f.numerator) / static_cast<double>(f.denominator));
    std::string decimal = text;
    decimal.erase(decimal.find_last_not_of('0') + 1);
    if (decimal.back() == '.') {
        decimal.pop_back();
    }
    return decimal;
}

// The length of the well-formed UTF-8 character that starts at text[i], or
// 0 if none does there. The well-formed sequences (Unicode, table 3-7): the
// lead byte gives the length and the range of the second byte, which keeps
// out overlong forms, the UTF-16 surrogates and anything past U+10FFFF;
// every later byte is a continuation byte.
std::size_t Utf8Length(const std::string& text, std::size_t i)
{
    constexpr unsigned kContinuationLow = 0x80;
    constexpr unsigned kContinuationHigh = 0xBF;
    const auto byteAt = [&text](std::size_t k) { return k < text.size() ? static_cast<unsigned char>(text[k]) : 0u; };
    const unsigned lead = byteAt(i);
    std::size_t length = 0;
    unsigned low = kContinuationLow;
    unsigned high = kContinuationHigh;
    if (lead < 0x80) {
        return 1;  // ASCII
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : low;    // not overlong
        high = lead == 0xED ? 0x9F : high;  // not a surrogate
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : low;    // not overlong
        high = lead == 0xF4 ? 0x8F : high;  // not past U+10FFFF
    } else {
        return 0;
    }
    for (std::size_t k = 1; k < length; ++k) {
        const unsigned byte = byteAt(i + k);
        if (byte < (k == 1 ? low : kContinuationLow) || byte > (k == 1 ? high : kContinuationHigh)) {
            return 0;
        }
    }
    return length;
}

// A JSON string. File names are bytes: each byte that is not part of a
// well-formed UTF-8 character becomes the lone surrogate U+DC80 + (byte -
// 0x80), as Python's "surrogateescape" spells it, so that every line parses
// and the name's bytes can be had back (os.fsencode in Python).
std::string JsonString(const std::string& text)
{
    std::string quoted = "\"";
    std::size_t i = 0;
    while (i < text.size()) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const std::size_t length = Utf8Length(text, i);
        char escape[8];
        if (length == 0) {
            std::snprintf(escape, sizeof escape, "\\udc%02x", static_cast<unsigned>(c));
            quoted += escape;
            ++i;
            continue;
        }
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += static_cast<char>(c);
        } else if (c < 0x20) {
            std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
            quoted += escape;
        } else {
            quoted.append(text, i, length);
        }
        i += length;
    }
    return quoted + "\"";
}

std::string WithoutLineFeed(std::string line)
{
    if (!line.empty() && line.back() == '\n') {
        line.pop_back();
    }
    return line;
}

// The cadence a decoder shows, the breaks of it and the first of them:
// 3:2 (fields, or frames in a progressive sequence), one repeat in twelve,
// none at all, or none of these.
struct CadenceFound {
    std::string name;
    bool regular;
    uint64_t breaks;
    int64_t firstBreak;
};

CadenceFound FindCadence(const StreamCounters& counters)
{
    const DisplayStats& stats = counters.display;
    const double perPicture = stats.pictures == 0 ? 0.0 : static_cast<double>(stats.units) / stats.pictures;
    constexpr double kThreeTwo = 2.5;
    constexpr double kOneInTwelve = 25.0 / 12.0;
    constexpr double kNear = 0.05;
    const bool fewBreaks32 = stats.breaks32 * 10 <= stats.pictures;
    const bool fewBreaks12 = stats.breaksOneInTwelve * 10 <= stats.pictures;
    if (stats.repeated == 0) {
        return {"none", true, 0, -1};
    }
    // Whole frames repeated: in a progressive MPEG-2 sequence; in H.264,
    // where every picture shows frames (pic_struct 7 and 8).
    const bool frames = counters.avc ? stats.everyPictureProgressive : counters.progressiveSequence;
    if (perPicture > kThreeTwo - kNear && perPicture < kThreeTwo + kNear && fewBreaks32) {
        return {frames ? "frame repetition 3:2" : "3:2", true, stats.breaks32, stats.firstBreak32};
    }
    if (!frames && perPicture > kOneInTwelve - kNear && perPicture < kOneInTwelve + kNear && fewBreaks12) {
        return {"2:2:2:2:2:2:2:2:2:2:2:3", true, stats.breaksOneInTwelve, stats.firstBreakOneInTwelve};
    }
    return {"irregular", false, 0, -1};
}

// What the job would make of the stream: the output's name, or the refusal.
struct Verdict {
    std::string output;
    std::string refusal;
};

Verdict Judge(const TrialRun& trial, const char* path, bool describedWhole)
{
    if (!describedWhole || trial.counters.refusal != Refusal::kNone) {
        return {"", WithoutLineFeed(DescribeRefusal(trial.counters))};
    }
    std::string name = path;
    if (IsStandardStream(path)) {
        return {"(the name given with -o)", ""};
    }
    MakeOutputName(name, OutputTag(trial.counters.job), HostIsLeadByte);
    return {name, ""};
}

std::string JobName(const Job& job)
{
    if (job.kind == JobKind::kUndo) {
        return "--undo";
    }
    return job.targetCode == 0 ? "default" : std::string("--to ") + RateName(job.targetCode);
}

std::string ChromaText(int chromaFormat)
{
    static const char* const kNames[] = {"reserved", "4:2:0", "4:2:2", "4:4:4"};
    return kNames[chromaFormat & 3];
}

// Everything the description says, worked out once for both forms.
struct Description {
    bool stream;  // an elementary stream at all
    std::string refusal;
    Fraction codedRate{0, 1};  // frames a second as coded, extension and all
    Fraction pictureRate{0, 1};
    uint64_t fields = 0;  // 2 + repeat_pict over the frames, as ffprobe counts
    double seconds = 0;
    CadenceFound cadence;
    Sections sections;  // runs of one cadence, in display order
    Verdict conversion;
    Verdict undo;
};

Description Describe(const StreamCounters& counters, const Reading& reading, const char* path)
{
    Description d;
    d.stream = counters.refusal == Refusal::kNone;
    d.refusal = WithoutLineFeed(DescribeRefusal(counters));
    if (d.stream && IsKnownRate(counters.frameRateCode)) {
        const FrameRate rate = RateOfCode(counters.frameRateCode);
        d.codedRate = Reduce(rate.numerator * (counters.frameRateExtensionN + 1),
                             rate.denominator * (counters.frameRateExtensionD + 1));
    }
    const DisplayStats& stats = counters.display;
    // Each picture counts in its own sequence's unit and rate: a stream may
    // join progressive and interlaced sequences, and sequences of two rates.
    Fraction time{0, 1};  // seconds, exactly
    for (int code = kFirstFrameRateCode; code <= kLastFrameRateCode; ++code) {
        const auto fields = static_cast<int64_t>(stats.fieldsAtRate[code]);
        if (fields > 0) {
            const FrameRate rate = RateOfCode(code);
            d.fields += static_cast<uint64_t>(fields);
            time = Reduce(time.numerator * 2 * rate.numerator + fields * rate.denominator * time.denominator,
                          time.denominator * 2 * rate.numerator);
        }
    }
    if (time.numerator > 0) {
        // Pictures over the time their frames take.
        d.pictureRate = Reduce(static_cast<int64_t>(stats.pictures) * time.denominator, time.numerator);
        d.seconds = static_cast<double>(time.numerator) / static_cast<double>(time.denominator);
    }
    d.cadence = FindCadence(counters);
    if (d.codedRate.numerator > 0) {
        d.sections =
            FindSections(reading.pictures.times.records, FrameRate{d.codedRate.numerator, d.codedRate.denominator});
    }
    d.conversion = Judge(reading.conversion, path, d.stream);
    d.undo = Judge(reading.undo, path, d.stream);
    return d;
}

const char* StreamName(const StreamCounters& counters)
{
    return counters.avc ? "H.264" : counters.mpeg1 ? "MPEG-1" : "MPEG-2";
}

std::string Text(const StreamCounters& counters, const Description& d, const char* path, const Options& options)
{
    std::string text = std::string(path) + ": ";
    if (!d.stream) {
        return text + d.refusal + "\n";
    }
    const DisplayStats& stats = counters.display;
    char line[256];
    std::snprintf(line, sizeof line, "%s, %" PRId32 "x%" PRId32 ", %s, coded at %s fps\n", StreamName(counters),
                  counters.horizontalSize, counters.verticalSize, ChromaText(counters.chromaFormat).c_str(),
                  DecimalText(d.codedRate).c_str());
    text += line;
    if (counters.mpeg1) {
        std::snprintf(line, sizeof line, "  %" PRIu64 " pictures, shown once each (MPEG-1 has no repeat flags)\n",
                      stats.pictures);
    } else {
        std::snprintf(line, sizeof line,
                      "  %s %d, %" PRIu64 " frame pictures, %" PRIu64 " field pictures, %" PRIu64 " coded interlaced\n",
                      counters.avc ? "frame_mbs_only_flag" : "progressive_sequence",
                      (counters.avc ? counters.frameMbsOnly : counters.progressiveSequence) ? 1 : 0,
                      stats.framePictures, stats.fieldPictures, stats.interlacedCoded);
    }
    text += line;
    const bool frames = stats.everyPictureProgressive && stats.pictures > 0;
    std::snprintf(line, sizeof line, "  shown: %" PRIu64 " %s at %s fps, %s pictures a second, %.3f s\n",
                  frames ? stats.units : d.fields, frames ? "frames" : "fields", DecimalText(d.codedRate).c_str(),
                  DecimalText(d.pictureRate).c_str(), d.seconds);
    text += line;
    text += "  cadence: " + d.cadence.name;
    if (d.cadence.regular && d.cadence.name != "none") {
        text += d.cadence.breaks == 0 ? ", no breaks"
                                      : ", " + std::to_string(d.cadence.breaks) + " breaks, the first at picture " +
                                            std::to_string(d.cadence.firstBreak) + " (in display order, from 0)";
    }
    text += "\n";
    for (const Section& section : d.sections.list) {
        std::snprintf(line, sizeof line, "  pictures %" PRId64 " to %" PRId64 ": %s from %.3f s for %.3f s, ",
                      section.first, section.last, SectionCadenceName(section.cadence), section.start, section.seconds);
        text +=
            line + (section.breaks == 0 ? std::string("no breaks") : std::to_string(section.breaks) + " breaks") + "\n";
    }
    if (!d.sections.list.empty()) {
        std::snprintf(line, sizeof line, "  film share: %.3f of the pictures in 3:2\n", d.sections.filmShare);
        text += line;
    }
    const Verdict* verdicts[] = {&d.conversion, &d.undo};
    const std::string jobs[] = {options.job.targetCode != 0 ? " " + JobName(options.job) : "", " --undo"};
    for (int k = 0; k < 2; ++k) {
        text += "  ratefold" + jobs[k] + ": " +
                (verdicts[k]->refusal.empty() ? verdicts[k]->output : verdicts[k]->refusal) + "\n";
    }
    return text;
}

std::string JsonVerdict(const char* job, const Verdict& verdict)
{
    return std::string("{\"job\": ") + JsonString(job) +
           ", \"output\": " + (verdict.refusal.empty() ? JsonString(verdict.output) : "null") +
           ", \"refusal\": " + (verdict.refusal.empty() ? "null" : JsonString(verdict.refusal)) + "}";
}

std::string Json(const StreamCounters& counters, const Description& d, const char* path, const Options& options)
{
    const DisplayStats& stats = counters.display;
    std::string json = "{\"file\": " + JsonString(path) + ", \"error\": null";
    if (!d.stream) {
        return json + ", \"stream\": null, \"refusal\": " + JsonString(d.refusal) + "}\n";
    }
    char numbers[512];
    std::snprintf(numbers, sizeof numbers,
                  ", \"stream\": \"%s\", \"width\": %" PRId32 ", \"height\": %" PRId32
                  ", \"chroma_format\": \"%s\", \"frame_rate\": \"%s\", \"progressive_sequence\": %s"
                  ", \"frame_pictures\": %" PRIu64 ", \"field_pictures\": %" PRIu64
                  ", \"interlaced_pictures\": %" PRIu64 ", \"pictures\": %" PRIu64 ", \"fields\": %" PRIu64
                  ", \"frames\": %s, \"picture_rate\": \"%s\", \"duration\": %.3f",
                  StreamName(counters), counters.horizontalSize, counters.verticalSize,
                  ChromaText(counters.chromaFormat).c_str(), FractionText(d.codedRate).c_str(),
                  counters.mpeg1 || counters.avc ? "null"
                  : counters.progressiveSequence ? "1"
                                                 : "0",
                  stats.framePictures, stats.fieldPictures, stats.interlacedCoded, stats.pictures, d.fields,
                  stats.everyPictureProgressive && stats.pictures > 0 ? std::to_string(stats.units).c_str() : "null",
                  FractionText(d.pictureRate).c_str(), d.seconds);
    json += numbers;
    json += ", \"cadence\": " + JsonString(d.cadence.name) +
            ", \"cadence_breaks\": " + (d.cadence.regular ? std::to_string(d.cadence.breaks) : "null") +
            ", \"first_break\": " + (d.cadence.firstBreak >= 0 ? std::to_string(d.cadence.firstBreak) : "null");
    json += ", \"sections\": [";
    for (const Section& section : d.sections.list) {
        char object[256];
        std::snprintf(object, sizeof object,
                      "%s{\"first\": %" PRId64 ", \"last\": %" PRId64
                      ", \"cadence\": \"%s\", \"start\": %.3f"
                      ", \"seconds\": %.3f, \"breaks\": %" PRId64 "}",
                      &section == d.sections.list.data() ? "" : ", ", section.first, section.last,
                      SectionCadenceName(section.cadence), section.start, section.seconds, section.breaks);
        json += object;
    }
    char share[64];
    std::snprintf(share, sizeof share, "], \"film_share\": %.3f", d.sections.filmShare);
    json += share;
    json += ", \"convert\": " + JsonVerdict(JobName(options.job).c_str(), d.conversion) +
            ", \"undo\": " + JsonVerdict("--undo", d.undo) + "}\n";
    return json;
}

const char* TypeName(PictureType type)
{
    static const char* const kNames[] = {"I", "P", "B", "D"};
    return kNames[static_cast<int>(type) - 1];
}

// One line a picture, in the form of the description: its start counts the
// time every picture before it shows, each at its own sequence's rate.
// An H.264 picture's order is its picture order count.
std::string PictureLine(const ShownPicture& p, int64_t startNanoseconds, bool json, bool avc)
{
    const char* const order = avc ? "pic_order_cnt" : "temporal_reference";
    const char* const unit = p.progressiveSequence ? "frames" : "fields";
    const double seconds = static_cast<double>(startNanoseconds) / kNanosecondsPerSecond;
    // A picture without a coding extension (MPEG-1) shows once, top first
    // or not as the decoder likes: no flags set.
    const int tff = p.hasCodingExtension && p.topFieldFirst ? 1 : 0;
    const int rff = p.hasCodingExtension && p.repeatFirstField ? 1 : 0;
    char line[320];
    if (json) {
        std::snprintf(line, sizeof line,
                      "{\"picture\": %" PRIu64 ", \"coded\": %" PRIu64
                      ", \"type\": \"%s\", \"%s\": %d"
                      ", \"top_field_first\": %d, \"repeat_first_field\": %d, \"progressive_frame\": %d"
                      ", \"%s\": %d, \"start\": %.6f}\n",
                      p.display, p.coded, TypeName(p.type), order, p.temporalReference, tff, rff,
                      p.progressiveFrame ? 1 : 0, unit, p.units, seconds);
    } else {
        std::snprintf(line, sizeof line,
                      "  picture %" PRIu64 ": coded %" PRIu64
                      ", %s, %s %d, top_field_first %d"
                      ", repeat_first_field %d, progressive_frame %d, %d %s, start %.6f s\n",
                      p.display, p.coded, TypeName(p.type), order, p.temporalReference, tff, rff,
                      p.progressiveFrame ? 1 : 0, p.units, unit, seconds);
    }
    return line;
}

// Takes the pictures shown so far from the counters: their lines into the
// list, their times and cadences into the record.
void ListPictures(PictureList& list, StreamCounters& counters)
{
    const std::size_t first = list.times.times.size();
    const std::vector<ShownPicture> taken = list.print ? counters.shown : std::vector<ShownPicture>();
    TakeShownPictures(list.times, counters);
    std::size_t k = first;
    for (const ShownPicture& picture : taken) {
        const std::string line = PictureLine(picture, list.times.times[k++], list.json, counters.avc);
        if (list.spool != nullptr) {
            list.failed |= std::fwrite(line.data(), 1, line.size(), list.spool) != line.size();
        } else {
            list.kept += line;
        }
    }
}

// Prints the listed pictures after the description; false if the spool
// could not be written or read back.
bool PrintPictures(PictureList& list)
{
    if (list.spool == nullptr) {
        return std::fputs(list.kept.c_str(), stdout) >= 0;
    }
    bool copied = !list.failed && std::fflush(list.spool) == 0 && std::fseek(list.spool, 0, SEEK_SET) == 0;
    char block[1 << 16];
    std::size_t got = 0;
    // A failed write to standard output is the caller's to report.
    while (copied && (got = std::fread(block, 1, sizeof block, list.spool)) > 0 &&
           std::fwrite(block, 1, got, stdout) == got) {
    }
    copied = copied && !std::ferror(list.spool);
    std::fclose(list.spool);
    list.spool = nullptr;
    return copied;
}

}  // namespace

int DescribeFile(const char* path, const Options& options)
{
    Reading reading;
    reading.input.path = path;
    reading.conversion.counters.job = options.job.kind == JobKind::kUndo ? Job{} : options.job;
    reading.undo.counters.job.kind = JobKind::kUndo;
    StreamCounters counters;
    counters.job.kind = JobKind::kDescribe;
    counters.listPictures = true;  // for the sections, if not for a listing
    reading.counters = &counters;
    reading.pictures.json = options.json;
    reading.pictures.print = options.pictures;
    reading.pictures.times.keepRecords = true;
    if (options.pictures) {
        reading.pictures.spool = std::tmpfile();
    }

    std::string failure = OpenInputStream(reading.input);
    if (failure.empty() && options.timestampsOut != nullptr &&
        FileOutputTarget(options.timestampsOut, reading.input.file, false) != OutputTarget::kFile) {
        failure = "can't write timestamps file\nratefold: " + std::string(options.timestampsOut) +
                  ": not a regular file, or the input\n";
    }
    if (failure.empty()) {
        const auto read = [](void* context, uint8_t* into, int32_t capacity) {
            return ReadInputStream(&static_cast<Reading*>(context)->input, into, capacity);
        };
        // Every byte the description has read goes to both trials too.
        const auto write = [](void* context, const uint8_t* bytes, int32_t count) {
            Reading& r = *static_cast<Reading*>(context);
            Feed(r.conversion, bytes, count, r.counters->avc);
            Feed(r.undo, bytes, count, r.counters->avc);
            ListPictures(r.pictures, *r.counters);
            return true;
        };
        const StreamEnds ends = {read, write, [](void*, int64_t, uint8_t) { return true; }, [](void*, int64_t) {},
                                 &reading};
        const StreamEnd end = ConvertStream(ends, counters);
        if (end == StreamEnd::kReadFailed) {
            failure = "can't read " + std::string(path) + "\n";
        } else if (end == StreamEnd::kNoWorkBuffer) {
            failure = "can't allocate work buffer\n";
        }
    }
    ListPictures(reading.pictures, counters);  // the last, shown at the end of the stream
    if (reading.input.file >= 0 && !FileClose(reading.input.file) && failure.empty()) {
        failure = "can't close " + std::string(path) + "\n";
    }
    if (!failure.empty()) {
        HostPrintMessage(failure);
        if (reading.pictures.spool != nullptr) {
            std::fclose(reading.pictures.spool);
        }
        if (options.json) {
            std::fputs(
                ("{\"file\": " + JsonString(path) + ", \"error\": " + JsonString(WithoutLineFeed(failure)) + "}\n")
                    .c_str(),
                stdout);
        }
        return 1;
    }
    for (TrialRun* trial : {&reading.conversion, &reading.undo}) {
        if (trial->avc) {
            AvcFinish(*trial->avc, trial->counters, trial->output);
        }
        if (trial->counters.refusal == Refusal::kNone) {
            FinishStream(trial->counters);
        }
    }
    const Description d = Describe(counters, reading, path);
    const std::string report = options.json ? Json(counters, d, path, options) : Text(counters, d, path, options);
    std::fputs(report.c_str(), stdout);
    if (options.timestampsOut != nullptr) {
        const std::string unwritten =
            WriteWholeFile(options.timestampsOut, WriteTimestampsV2(TimesWithEnd(reading.pictures.times)), -1);
        if (!unwritten.empty()) {
            HostPrintMessage(unwritten);
            return 1;
        }
    }
    if (options.pictures && !PrintPictures(reading.pictures)) {
        HostPrintMessage("can't list the pictures of " + std::string(path) + ": the temporary file failed\n");
        return 1;
    }
    return 0;
}
