// Cadences, rate pairs, pictures counted as a decoder shows them, taking
// pulldown off, and the options that choose the job.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <tuple>
#include <vector>

#include "options/options.h"
#include "stream/cadence.h"
#include "stream/display_order.h"
#include "stream/rewriters.h"
#include "tests/stream_helpers.h"

namespace {

std::string FlagsText(const Cadence& cadence, int pictures)
{
    std::string text;
    for (int n = 0; n < pictures; ++n) {
        const PulldownFlags flags = FlagsOfPicture(cadence, n);
        text += std::string(flags.topFieldFirst ? "1" : "0") + (flags.repeatFirstField ? "1 " : "0 ");
    }
    return text;
}

// Every pair that works: each picture shows two or three fields (one to
// three frames), its flags as a decoder reads them (6.3.10) make exactly
// those units and start it on the other parity than the last ended on (and
// FlagsOfUnits finds the same flags), and after ten hours of pictures the
// units shown are the target's to the unit.
TEST(Cadence, EveryPairShowsItsRateWithoutDrift)
{
    int pairs = 0;
    for (int source = kFirstFrameRateCode; source <= kLastFrameRateCode; ++source) {
        for (int target = kRate25; target <= kRate60; ++target) {
            if (!SourceShowsAt(source, target)) {
                continue;
            }
            ++pairs;
            const bool frames = IsFrameTarget(target);
            const Cadence cadence = frames ? FrameRepetition(source, target) : FieldRepetition(source, target);
            for (int64_t n = 0; n < 1000; ++n) {
                const int64_t start = StartUnit(cadence, n), units = StartUnit(cadence, n + 1) - start;
                const PulldownFlags flags = FlagsOfPicture(cadence, n),
                                    ours = FlagsOfUnits(start, units, cadence.unitsPerFrame);
                const int64_t shown = frames ? (flags.repeatFirstField ? (flags.topFieldFirst ? 3 : 2) : 1)
                                             : (flags.repeatFirstField ? 3 : 2);
                ASSERT_EQ(shown, units) << source << " to " << target << ", picture " << n;
                const bool same =
                    ours.topFieldFirst == flags.topFieldFirst && ours.repeatFirstField == flags.repeatFirstField;
                ASSERT_TRUE(same && (frames || flags.topFieldFirst == (start % 2 == 0)))
                    << source << " to " << target << ", picture " << n;
            }
            const FrameRate from = RateOfCode(source), to = RateOfCode(target);
            const int64_t seconds = 36000 * from.denominator;  // a little over ten hours, whole pictures
            const long double exact =
                static_cast<long double>(cadence.unitsPerFrame) * to.numerator * seconds / to.denominator;
            const int64_t pictures = seconds * from.numerator / from.denominator;
            EXPECT_LT(std::fabs(static_cast<long double>(StartUnit(cadence, pictures)) - exact), 1.0L)
                << source << " to " << target;
        }
    }
    EXPECT_EQ(pairs, 3 * 3 + 6 + 7 + 8);  // field targets from 3 rates; 50 from 6, 59.94 from 7, 60 from 8
}

TEST(Cadence, KnownCadences)
{
    // 3:2 as the classic job writes it; 24 to 25, one field more every twelve
    // pictures, the parity turning with it; 23.976 to 59.94 by frames; taking
    // pulldown off, two fields or one frame a picture.
    EXPECT_EQ(FlagsText(FieldRepetition(kRate23976, kRate2997), 8), "11 00 01 10 11 00 01 10 ");
    EXPECT_EQ(FlagsText(FieldRepetition(kRate24, kRate25), 14), "11 00 00 00 00 00 00 00 00 00 00 00 01 10 ");
    EXPECT_EQ(FlagsText(FrameRepetition(kRate23976, kRate5994), 4), "11 01 11 01 ");
    EXPECT_EQ(FlagsText(FieldRepetition(kRate23976, kRate23976), 3), "10 10 10 ");
    EXPECT_EQ(FlagsText(FrameRepetition(kRate24, kRate24), 3), "00 00 00 ");
    // Time codes: the frame in which a picture starts; taking pulldown off,
    // the picture a frame shows (the one that starts in it or the one
    // before), which brings every frame back to its picture.
    EXPECT_EQ(FrameOfPicture(FieldRepetition(kRate24, kRate30), 3), 4);
    EXPECT_EQ(FrameOfPicture(FrameRepetition(kRate23976, kRate5994), 3), 8);
    EXPECT_EQ(PictureShownInFrame(FieldRepetition(kRate24, kRate30), 3), 2);
    for (int film = kRate23976; film <= kRate24; ++film) {
        for (const int shown : {kRate2997, kRate30, kRate5994, kRate60}) {
            const Cadence c = PulldownCadence(film, shown);
            for (int64_t n = 0; n < 100; ++n) {
                ASSERT_EQ(PictureShownInFrame(c, FrameOfPicture(c, n)), n) << film << " " << shown;
            }
        }
    }
}

// The rate pairs each job takes, what it writes ("frame_rate_code
// progressive_sequence"), and what it says of the others.
TEST(PlanRate, TakesWhatItCanShowAndSaysWhichPairsWork)
{
    const Job classic{}, to25{JobKind::kPulldown, kRate25}, to2997{JobKind::kPulldown, kRate2997},
        to30{JobKind::kPulldown, kRate30}, to50{JobKind::kPulldown, kRate50}, to5994{JobKind::kPulldown, kRate5994},
        to60{JobKind::kPulldown, kRate60}, undo{JobKind::kUndo, 0};
    const std::string rate = "sequence frame rate is not 24/23.976\n", off = "can't take pulldown off a sequence at ",
                      undoRate =
                          " fps: --undo takes 29.97 or 30 fps shown by repeated fields (not a progressive "
                          "sequence), or 59.94 or 60 fps shown by repeated frames (a progressive sequence)\n";
    const std::tuple<Job, int, bool, std::string> cases[] = {
        {classic, kRate23976, false, "4 0"},
        {classic, kRate24, true, "5 0"},
        {classic, kRate25, false, rate},
        {to25, kRate23976, false, "3 0"},
        {to25, kRate25, true, "3 0"},
        {to2997, kRate25, false, "4 0"},
        {to5994, kRate23976, true, "7 1"},
        {to60, kRate60, true, "8 1"},
        {undo, kRate2997, false, "1 0"},
        {undo, kRate30, false, "2 0"},
        {undo, kRate5994, true, "1 1"},
        {undo, kRate60, true, "2 1"},
        {to25, kRate2997, false, "can't show 29.97 fps at 25 fps: --to 25 takes 23.976, 24 or 25 fps\n"},
        {to30, kRate50, false, "can't show 50 fps at 30 fps: --to 30 takes 23.976, 24 or 25 fps\n"},
        {to30, 9, false, "can't show frame_rate_code 9 at 30 fps: --to 30 takes 23.976, 24 or 25 fps\n"},
        {to5994, kRate23976, false,
         "can't repeat whole frames of an interlaced sequence: --to 59.94 takes a progressive sequence "
         "(--to 25, 29.97 or 30 repeat fields)\n"},
        {to50, kRate5994, true,
         "can't show 59.94 fps at 50 fps: --to 50 takes a progressive sequence at 23.976, 24, 25, 29.97, 30 or 50 "
         "fps\n"},
        {undo, kRate2997, true, off + "29.97" + undoRate},
        {undo, kRate5994, false, off + "59.94" + undoRate},
        {undo, kRate24, false, off + "24" + undoRate},
    };
    for (const auto& [job, source, progressive, result] : cases) {
        StreamCounters counters;
        counters.job = job;
        Bytes bytes = Hex(Sequence(source) + SequenceExtension(progressive));
        ScanChunk(bytes.data(), static_cast<int32_t>(bytes.size()), counters);
        // Offset 7 of the sequence header, offset 5 of its extension.
        const std::string written = counters.refusal == Refusal::kNone
                                        ? std::to_string(bytes[7] & 0x0F) + " " + std::to_string(bytes[17] >> 3 & 1)
                                        : DescribeRefusal(counters);
        EXPECT_EQ(written, result) << RateName(source) << " " << job.targetCode;
    }
    // A later sequence header may change the rate only where the cadence
    // stays; a frame_rate_extension is never taken; taking pulldown off a
    // join of 30 and 29.97 finds no one film rate.
    const std::string twoRates = Sequence(kRate23976) + kSequenceExtension + Sequence(kRate24) + kSequenceExtension;
    StreamCounters counters;
    EXPECT_EQ(ScanWhole(Hex(twoRates), counters).refusal, "");
    counters.job = to25;
    EXPECT_EQ(ScanWhole(Hex(twoRates), counters).refusal, "sequence frame rate changes within the stream\n");
    EXPECT_EQ(ScanWhole(Hex(Sequence(kRate23976) + "000001b5 14 82 00 010001"), counters).refusal,
              "sequence frame rate is 23.976 fps times 1/2 (frame_rate_extension): not a rate ratefold converts\n");
    EXPECT_EQ(ScanWhole(Hex(Sequence(kRate25) + "000001b5 14 82 00 010040"), counters).refusal,
              "sequence frame rate is 25 fps times 3/1 (frame_rate_extension): not a rate ratefold converts\n");
    counters.job = undo;
    EXPECT_EQ(
        ScanWhole(Hex(Sequence(kRate30) + kSequenceExtension + Sequence(kRate2997) + kSequenceExtension), counters)
            .refusal,
        "sequence frame rate changes within the stream\n");
}

// A GOP coded I0 P3 B2, whose picture 1 is missing, is shown I0 B2 P3: P3's
// flags, written by temporal_reference first, are mended once it is shown (as
// a patch once written: ConvertStream's reads of any size); the next GOP
// starts at 3.
TEST(DisplayOrder, MendsFlagsWherePicturesAreMissing)
{
    const std::string in = kSequence + kSequenceExtension + kGop + Picture(0) + Extension() + Picture(3, 'P') +
                           Extension() + Picture(2, 'B') + Extension() + kGop + Picture(0) + Extension(),
                      out = Sequence(kRate30) + kSequenceExtension + kGop + Picture(0) + Extension("c3") +
                            Picture(3, 'P') + Extension("43") + Picture(2, 'B') + Extension("41") +
                            "000001b8 00080240" + Picture(0) + Extension("c1");
    EXPECT_EQ(ScanWhole(Hex(in), {}), (Scanned{Hex(out), ""}));
    // Where nothing is missing, nothing written is mended, so standard
    // output need not wait.
    Bytes whole = Hex(kSequence + kSequenceExtension + kGop + Picture(0) + Extension() + Picture(3, 'P') + Extension() +
                      Picture(1, 'B') + Extension() + Picture(2, 'B') + Extension() + kGop + Picture(0) + Extension());
    StreamCounters unbroken;
    for (std::size_t half : {std::size_t{0}, whole.size() / 2}) {
        ScanChunk(whole.data() + half, static_cast<int32_t>(half == 0 ? whole.size() / 2 : whole.size() - half),
                  unbroken);
    }
    FinishStream(unbroken);
    EXPECT_TRUE(unbroken.patches.empty());
}

// The order is the decoder's, by picture type, whatever temporal_reference
// says: where an edit lost P6 from I0 P3 B1 B2 [P6] B4 B5 P9 B7 B8, B4 and
// B5 are shown before P3; a GOP of 1500 pictures wraps temporal_reference
// at 1024. Every picture gets the flags of its place in the cadence, and a
// decoder sees 3:2 without a break.
TEST(DisplayOrder, FollowsPictureTypes)
{
    const char* const flags[4] = {"c3", "41", "43", "c1"};
    std::vector<int> longGop = {0};
    for (int n = 3; n < 1500; n += 3) {
        longGop.insert(longGop.end(), {n, n - 2, n - 1});
    }
    // Coded order, each one's place in display order, the types.
    const std::tuple<std::vector<int>, std::vector<int>, std::string> cases[] = {
        {{0, 3, 1, 2, 4, 5, 9, 7, 8}, {0, 5, 1, 2, 3, 4, 8, 6, 7}, "IPBBBBPBB"},
        {longGop, longGop, CodedTypes(longGop)},
    };
    for (const auto& [references, shown, types] : cases) {
        std::string in = kSequence + kSequenceExtension + kGop, out = Sequence(kRate30) + kSequenceExtension + kGop;
        for (std::size_t k = 0; k < references.size(); ++k) {
            const std::string picture = Picture(references[k] % 1024, types[k]);
            in += picture + Extension();
            out += picture + Extension(flags[shown[k] % 4]);
        }
        EXPECT_EQ(ScanWhole(Hex(in), {}), (Scanned{Hex(out), ""})) << references.size();
        // Listed for --timestamps-out: the fields each shows in the output.
        for (const ShownPicture& picture : Counted(in, {}, true).shown) {
            ASSERT_EQ(picture.outputUnits, picture.display % 2 == 0 ? 3 : 2) << picture.display;
        }
        const DisplayStats shownOut = Counted(out, {JobKind::kDescribe}).display;
        EXPECT_EQ(shownOut.breaks32, 0u) << references.size();
        EXPECT_EQ(shownOut.units, (5 * references.size() + 1) / 2);
    }
}

// A stream that repeats a field already is not repeated again: the first
// such picture in display order is named (here B2 or P3, coded after P3).
TEST(DisplayOrder, RepeatingJobsRefuseWhatIsRepeatedAlready)
{
    const auto stream = [](int repeatedAt) {
        std::string s = Sequence(kRate23976) + kSequenceExtension + kGop;
        const std::vector<int> coded = {0, 3, 1, 2};
        for (std::size_t k = 0; k < coded.size(); ++k) {
            s += Picture(coded[k], CodedTypes(coded)[k]) + Extension(coded[k] >= repeatedAt ? "c3" : "c1");
        }
        return Hex(s);
    };
    const std::string refused =
        " (in display order, from 0) already shows a field repeated: take the repeats off "
        "first (ratefold --undo)\n";
    const std::tuple<Job, int, std::string> cases[] = {
        {Job{}, 2, "can't convert: picture 2" + refused},
        {Job{JobKind::kPulldown, kRate25}, 3, "can't convert: picture 3" + refused},
        {Job{}, 4, ""},
        {Job{JobKind::kDescribe, 0}, 0, ""},
    };
    for (const auto& [job, repeatedAt, refusal] : cases) {
        StreamCounters counters;
        counters.job = job;
        EXPECT_EQ(ScanWhole(stream(repeatedAt), counters).refusal, refusal) << repeatedAt;
    }
}

// Taking pulldown off 29.97 fps: pictures given in display order with their
// (top_field_first, repeat_first_field), B-pictures coded after the
// picture they precede.
TEST(Undo, JudgesWhetherTheStreamIsFilmShownByPulldown)
{
    const auto stream = [](const std::vector<std::string>& flags, int interlacedAt) {
        std::string s = Sequence(kRate2997) + kSequenceExtension + kGop;
        for (int n = 0; n < static_cast<int>(flags.size()); ++n) {
            // Coded order 1 0 3 2 ...: each pair's second picture first.
            const int tref = n % 2 == 0 && n + 1 < static_cast<int>(flags.size()) ? n + 1 : n % 2 ? n - 1 : n;
            const std::string byte7 =
                std::string(flags[tref][0] == '1' ? "c" : "4") + (flags[tref][1] == '1' ? "3" : "1");
            s += Picture(tref, tref < n ? 'B' : 'P') + Extension(byte7, tref == interlacedAt ? "00" : "80");
        }
        return s;
    };
    const std::vector<std::string> film = {"11", "00", "01", "10", "11", "00", "01", "10", "11", "00"},
                                   edited = {"11", "00", "01", "10", "11", "11", "00", "01", "10", "11"},
                                   video(10, "10"), pal = {"11", "00", "10", "00", "10", "00", "10", "00", "10", "00",
                                                           "10", "00", "11", "00", "10", "00", "10", "00", "10", "00"};
    const std::string notFilm = "can't take pulldown off: ",
                      noRepeat = notFilm + "no field or frame is repeated, so this is no film shown by pulldown\n",
                      hybrid = " (for a hybrid of film and video, --timestamps-out FILE keeps the timing of both)\n";
    // With the times kept beside the stream (keepTiming) a hybrid is taken:
    // its video keeps the field order it was coded with. An edit breaks the
    // cadence once (below).
    const std::tuple<std::vector<std::string>, int, bool, std::string> cases[] = {
        {film, -1, false, ""},
        {edited, -1, false, ""},
        {video, -1, false, noRepeat},
        {video, -1, true, noRepeat},
        {pal, -1, false,
         notFilm + "20 pictures show 42 fields, not 5 for every 2 as film by 3:2 pulldown does" + hybrid},
        {pal, -1, true, ""},
        {film, 6, false,
         notFilm + "picture 6 (in display order, from 0) is coded interlaced: video, not film" + hybrid},
        {film, 6, true, ""},
    };
    for (const auto& [flags, interlacedAt, keepTiming, refusal] : cases) {
        StreamCounters counters;
        counters.job = Job{JobKind::kUndo, 0, keepTiming};
        const Scanned scanned = ScanWhole(Hex(stream(flags, interlacedAt)), counters);
        EXPECT_EQ(scanned.refusal, refusal) << flags.size() << " " << interlacedAt;
        if (refusal.empty()) {
            // Two fields a picture, top first, at 23.976 fps (code 1); the
            // video picture keeps its top_field_first.
            std::vector<std::string> written(flags.size(), "10");
            if (interlacedAt >= 0) {
                written[static_cast<std::size_t>(interlacedAt)] =
                    flags[static_cast<std::size_t>(interlacedAt)][0] + std::string("0");
            }
            Bytes expected = Hex(stream(written, interlacedAt));
            expected[7] = 0x21;
            EXPECT_EQ(scanned.bytes, expected) << interlacedAt;
        }
    }
    // The fields may be 4 + 1 per 1000 pictures off: 2000 pictures, 5006
    // fields pass, 5007 do not.
    for (const int extra : {6, 7}) {
        std::vector<std::string> flags;
        for (int n = 0; n < 2000; ++n) {
            flags.push_back(n % 2 == 0 || n < 2 * extra ? "11" : "00");
        }
        EXPECT_EQ(Counted(stream(flags, -1), {JobKind::kUndo}).refusal == Refusal::kNone, extra == 6);
    }
    const DisplayStats edit = Counted(stream(edited, -1), {JobKind::kUndo}).display;
    EXPECT_EQ(edit.breaks32, 1u);
    EXPECT_EQ(edit.firstBreak32, 5);
}

// The one repeat in twelve of 24 (or 23.976) to 25, counted as a decoder
// shows it, with its breaks; and 3:2.
TEST(CountShownPicture, CountsCadenceBreaks)
{
    const auto count = [](const std::string& units) {  // '!': the next starts on the parity the last ended on
        DisplayStats stats;
        bool top = true;
        for (const char u : units) {
            if (u != '!') {
                CountShownPicture(stats, u - '0', top, false);
            }
            top = top != (u == '!' || (u - '0') % 2 == 1);
        }
        return std::make_tuple(stats.breaks32, stats.firstBreak32, stats.breaksOneInTwelve, stats.firstBreakOneInTwelve,
                               stats.units, stats.repeated);
    };
    const std::string twelve = "322222222222";
    // (3:2 breaks, the first, one-in-twelve breaks, the first, units, repeats)
    EXPECT_EQ(count("3232323232"), std::make_tuple(0ull, -1ll, 4ull, 2ll, 25ull, 5ull));
    EXPECT_EQ(count("3232233232"), std::make_tuple(2ull, 4ll, 4ull, 2ll, 25ull, 5ull));
    EXPECT_EQ(count(twelve + twelve + "32222222222"), std::make_tuple(29ull, 2ll, 0ull, -1ll, 73ull, 3ull));
    EXPECT_EQ(count(twelve + "3222223"), std::make_tuple(14ull, 2ll, 1ull, 18ll, 41ull, 3ull));
    EXPECT_EQ(count(twelve + "2222"), std::make_tuple(14ull, 2ll, 1ull, 12ll, 33ull, 1ull));
    // From 23.976 to 25 a three comes after ten twos now and then; a frame
    // shown once is no cadence of fields, first or not.
    EXPECT_EQ(count("32222222222" + twelve), std::make_tuple(19ull, 2ll, 0ull, -1ll, 48ull, 2ull));
    EXPECT_EQ(count("13231"), std::make_tuple(1ull, 4ll, 3ull, 0ll, 10ull, 2ull));
    // A picture that starts on the parity the one before ended on breaks
    // either cadence.
    EXPECT_EQ(count("3!2"), std::make_tuple(1ull, 1ll, 1ull, 1ll, 5ull, 1ull));
}

// Describing counts what a decoder shows: a frame, a pair of fields (one
// frame of two fields, starting on the first one's), a frame with a repeat;
// and an MPEG-1 stream's pictures, two fields each.
TEST(Describe, CountsPicturesAsADecoderShowsThem)
{
    const Job describe{JobKind::kDescribe, 0};
    const std::string fields = Picture(1) + "000001b5 8fff f1 c1 80 " + Picture(1) + "000001b5 8fff f2 41 80 ";
    const StreamCounters counters =
        Counted(Sequence(kRate23976) + kSequenceExtension + kGop + Picture(0) + Extension("c1") + fields + Picture(2) +
                    Extension("c3") + Picture(3) + Extension("01", "00"),
                describe);
    const DisplayStats& d = counters.display;
    // Two pictures of two fields in a row break 3:2 once; the pair starts
    // on its top field and ends on the bottom, so the parity holds on to the
    // end.
    EXPECT_EQ(std::make_tuple(d.pictures, d.framePictures, d.fieldPictures, d.units, d.repeated, d.interlacedCoded,
                              d.firstInterlacedCoded, d.breaks32, d.firstBreak32),
              std::make_tuple(4ull, 3ull, 2ull, 9ull, 1ull, 1ull, 3ll, 1ull, 1ll));
    EXPECT_EQ(counters.refusal, Refusal::kNone);
    EXPECT_FALSE(counters.mpeg1);
    // The picture's size, twelve bits of each from the sequence header and
    // two more of each from its extension.
    const std::pair<std::string, std::pair<int32_t, int32_t>> sizes[] = {
        {"000001b3 780438 22 000001b5 148200 010000", {1920, 1080}},
        {"000001b3 2d01e0 22 000001b5 1483a0 010000", {720 + 3 * 4096, 480 + 4096}},
    };
    for (const auto& [stream, size] : sizes) {
        const StreamCounters sized = Counted(stream, describe);
        EXPECT_EQ(std::make_pair(sized.horizontalSize, sized.verticalSize), size) << stream;
    }
    // A progressive sequence joined to one that is not: its frames count
    // as two fields each, a repeated one as six.
    const DisplayStats joined =
        Counted(Sequence(kRate23976) + SequenceExtension(true) + kGop + Picture(0) + Extension("c3") + Picture(1) +
                    Extension("41") + Sequence(kRate2997) + kSequenceExtension + kGop + Picture(0) + Extension("c3"),
                describe)
            .display;
    EXPECT_EQ(std::make_tuple(joined.fieldsAtRate[kRate23976], joined.fieldsAtRate[kRate2997],
                              joined.everyPictureProgressive),
              std::make_tuple(8ull, 3ull, false));
    const StreamCounters mpeg1 = Counted(Sequence(kRate24) + kGop + Picture(0) + Picture(1), describe);
    EXPECT_TRUE(mpeg1.mpeg1);
    EXPECT_EQ(std::make_tuple(mpeg1.display.pictures, mpeg1.display.units), std::make_tuple(2ull, 4ull));
}

TEST(ParseOptions, ReadsTheJobAndThePaths)
{
    struct Case {
        std::vector<const char*> arguments;
        std::string result;  // "kind target | paths", or the refusal
    };
    const std::string toValues =
                          "--to takes 25, 29.97 or 30 (fields repeated) or 50, 59.94 or 60 (frames repeated), "
                          "not ",
                      unknown = " (ratefold --help lists them)\n";
    const Case cases[] = {
        {{"a.m2v"}, "0 0 | a.m2v"},
        {{"a.m2v", "--to=59.94"}, "0 7 | a.m2v"},
        {{"--to", "25", "a.m2v", "b.m2v"}, "0 3 | a.m2v b.m2v"},
        {{"--undo", "a.m2v"}, "1 0 | a.m2v"},
        {{"--", "--undo", "-x.m2v"}, "0 0 | --undo -x.m2v"},
        {{"a.m2v", "--help"}, "0 0 | a.m2v help"},
        {{"--version"}, "0 0 | version"},
        {{"--to"}, "--to needs a value\n"},
        {{"--to", "28", "a.m2v"}, toValues + "28\n"},
        {{"--to", "23.976", "a.m2v"}, toValues + "23.976\n"},
        {{"--to", "25", "--undo", "a.m2v"}, "--to and --undo don't go together\n"},
        {{"--tofu", "a.m2v"}, "unknown option --tofu" + unknown},
        {{"-x"}, "unknown option -x" + unknown},
        {{"-o"}, "-o needs a value\n"},
        {{"-o", "-", "-"}, "0 0 | - > -"},
        {{"-o=out.m2v", "--undo", "a.m2v"}, "1 0 | a.m2v > out.m2v"},
        {{"-o", "out.m2v", "a.m2v", "b.m2v"}, "-o names the output of a single stream\n"},
        {{"-"}, "reading standard input needs -o: a file, or - for standard output\n"},
        {{"--info", "--json", "-", "a.m2v"}, "0 0 | - a.m2v info json"},
        {{"--json", "a.m2v"}, "--json goes with --info\n"},
        {{"--info", "--pictures", "a.m2v"}, "0 0 | a.m2v info pictures"},
        {{"--pictures", "a.m2v"}, "--pictures goes with --info\n"},
        {{"--undo", "--timestamps-out", "t.txt", "a.m2v"}, "1 0 | a.m2v times t.txt"},
        {{"--timestamps-out=t.txt", "a.m2v", "b.m2v"}, "--timestamps-out names the timestamps of a single stream\n"},
        {{"--timestamps-out", "-", "a.m2v"}, "--timestamps-out names a file, not -\n"},
        {{"--info", "-o", "x", "a.m2v"}, "-o doesn't go with --info\n"},
        // Given twice: named as spelt, without the value, whichever way.
        {{"--to", "25", "--to", "30", "a.m2v"}, "--to given twice\n"},
        {{"--to=25", "a.m2v", "--to", "30"}, "--to given twice\n"},
        {{"-o", "a", "-o=b", "x.m2v"}, "-o given twice\n"},
        {{"--undo", "--undo", "a.m2v"}, "--undo given twice\n"},
        {{"--info", "--json", "--json", "a.m2v"}, "--json given twice\n"},
    };
    for (const Case& c : cases) {
        std::vector<char*> argv = {const_cast<char*>("ratefold")};
        for (const char* argument : c.arguments) {
            argv.push_back(const_cast<char*>(argument));
        }
        Options options;
        std::string result = ParseOptions(static_cast<int>(argv.size()), argv.data(), options);
        if (result.empty()) {
            result = std::to_string(static_cast<int>(options.job.kind)) + " " + std::to_string(options.job.targetCode) +
                     " |";
            for (const char* path : options.paths) {
                result += std::string(" ") + path;
            }
            result += options.output != nullptr ? std::string(" > ") + options.output : "";
            result +=
                std::string(options.info ? " info" : "") + (options.json ? " json" : "") +
                (options.pictures ? " pictures" : "") +
                (options.timestampsOut != nullptr ? std::string(" times ") + options.timestampsOut : "") +
                (options.job.keepTiming != (options.timestampsOut != nullptr && options.job.kind == JobKind::kUndo)
                     ? " keepTiming wrong"
                     : "");
            result += options.help ? " help" : options.version ? " version" : "";
        }
        EXPECT_EQ(result, c.result) << c.arguments.size();
    }
}

}  // namespace
