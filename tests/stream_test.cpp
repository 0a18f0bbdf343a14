// The scanner, the header rewriters and the conversion loop, on streams
// written out in hex (spaces are for reading); and output names and progress.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "convert/convert.h"
#include "host/file_access.h"
#include "convert/progress.h"
#include "naming/output_name.h"
#include "stream/rewriters.h"
#include "stream/scanner.h"
#include "stream/start_code_search.h"
#include "tests/stream_helpers.h"

namespace {

TEST(ScanChunk, RewritesEachHeaderAtItsOffsets)
{
    const std::pair<std::string, std::string> cases[] = {
        {"000001b3 2d01e0 31 0000", "000001b3 2d01e0 34 0000"},  // 23.976 to 29.97, aspect kept
        // progressive_sequence cleared; horizontal_size_extension (bit 0) kept
        {"000001b5 14 8b 00 010000 000001b5 14 83 00 010000", "000001b5 14 83 00 010000 000001b5 14 83 00 010000"},
        {Extension("00", "00"), Extension("83", "80")},  // bottom first, interlaced-coded
        {"000001b5 14 84 00 010000" + Extension("40", "7f"),
         "000001b5 14 84 00 010000" + Extension("c2", "ff")},  // 4:2:2
        // Sequence display, quant matrix, camera parameters extensions pass.
        {"000001b5 28ff f300 00 000001b5 3f 8a 0000 000001b5 b0ff f300 00",
         "000001b5 28ff f300 00 000001b5 3f 8a 0000 000001b5 b0ff f300 00"},
        // A picture display extension becomes user data of the same length.
        {Extension() + "000001b5 7f ff 00 01", Extension("c3") + "000001b2 7f ff 00 01"},
    };
    for (const auto& [input, output] : cases) {
        EXPECT_EQ(ScanWhole(Hex(input)), (Scanned{Hex(output), ""})) << input;
    }
}

// GOPs of 15 pictures coded with B-pictures out of display order, after two
// pictures in no GOP: the display position is the pictures before the GOP
// plus temporal_reference. Time codes count on from the first GOP's (the
// origin, 10:21:42:03, closed, whose picture count is converted: 3 film
// pictures start in frame 4) by the frames between the GOPs' first pictures:
// the stream's pictures 2, 17 and 32 start in 30 fps frames 2, 21 and 40.
TEST(ScanChunk, CadenceAndTimeCodesFollowDisplayOrder)
{
    const char* const flags[4] = {"c3", "41", "43", "c1"};                  // (1,1) (0,0) (0,1) (1,0)
    const char* const timeCodes[3] = {"295d4240", "295d4bc0", "295d6640"};  // :04, :23, 10:21:43:12
    std::string in = Picture(1, 'P') + Extension() + Picture(0, 'B') + Extension();
    std::string out = Picture(1, 'P') + Extension(flags[1]) + Picture(0, 'B') + Extension(flags[0]);
    const std::vector<int> coded = {0, 3, 1, 2, 6, 4, 5, 9, 7, 8, 12, 10, 11, 14, 13};
    const std::string types = CodedTypes(coded);
    for (int gop = 0; gop < 3; ++gop) {
        in += kSequence + kSequenceExtension + (gop == 0 ? "000001b8 295d41c0 " : kGop);
        out += Sequence(kRate30) + kSequenceExtension + "000001b8 " + timeCodes[gop];
        for (std::size_t k = 0; k < coded.size(); ++k) {
            in += Picture(coded[k], types[k]) + Extension() + kSlice;
            out += Picture(coded[k], types[k]) + Extension(flags[(2 + 15 * gop + coded[k]) % 4]) + kSlice;
        }
    }
    EXPECT_EQ(ScanWhole(Hex(in)), (Scanned{Hex(out), ""}));
}

// What is held back at the end of a chunk: a header not yet whole, or the
// beginning of a start code. At the end of the input it is written as it is.
TEST(ScanChunk, HoldsBackUnfinishedHeaders)
{
    const std::pair<const char*, int> cases[] = {
        {"000001b3 2d01e0", 7},
        {"000001b5 14 8a 00 0100", 9},
        {"000001b5 8fff f3c1", 8},
        {"00000100 00", 5},
        {"000001b8 000800", 7},
        {"000001b5", 4},
        {"000001", 3},
        {"47 0000", 2},
        {"47 00", 1},
        {"000001b5 23", 0},
        {"00000101", 0},
        {"000001b3 2d01e022", 0},
        {"000001b5 148a00 010000", 0},
        {"000001b5 8fff f3c1 80", 0},
        {"00000100 000f", 0},
        {"000001b8 00080040", 0},
        {"000001b5 7f", 0},
    };
    for (const auto& [tail, held] : cases) {
        Bytes chunk = Hex(std::string("aa ") + tail);
        const Bytes before = chunk;
        StreamCounters counters = MidStream();
        const int32_t done = ScanChunk(chunk.data(), static_cast<int32_t>(chunk.size()), counters);
        EXPECT_EQ(static_cast<int>(chunk.size()) - done, held) << tail;
        EXPECT_LE(held, kMaxHeldBackBytes) << tail;
        EXPECT_TRUE(held == 0 || chunk == before) << tail;
        EXPECT_EQ(ScanWhole(before).bytes.size(), before.size()) << tail;
    }
}

// A stream must begin with a sequence header, after zero bytes at most; a
// chunk may end anywhere in those bytes.
TEST(ScanChunk, FindsTheSequenceHeaderThatBeginsTheStream)
{
    const std::pair<std::string, int> starts[] = {
        {"", 0},
        {"00", 1},
        {"0000", 2},
        {"000000", 2},
        {"00000001", 3},
        {"0000 000001", 3},
        {"000001b3 2d01e0", 7},  // the header itself not yet whole
    };
    for (const auto& [start, held] : starts) {
        Bytes chunk = Hex(start);
        StreamCounters counters;
        EXPECT_EQ(
            static_cast<int>(chunk.size()) - ScanChunk(chunk.data(), static_cast<int32_t>(chunk.size()), counters),
            held)
            << start;
        EXPECT_EQ(counters.refusal, Refusal::kNone) << start;
        EXPECT_FALSE(counters.sequenceSeen) << start;
    }
    EXPECT_EQ(ScanWhole(Hex("0000 " + kSequence), {}), (Scanned{Hex("0000 000001b3 2d01e0 25 030d4820"), ""}));
}

TEST(ScanChunk, RefusesWhatItCannotConvert)
{
    const std::string rate = "sequence frame rate is not 24/23.976\n", mpeg1 = "can't treat MPEG-1 stream\n",
                      field = "can't treat field structured picture\n",
                      notStream =
                          "not an MPEG-2 or H.264 video elementary stream (take the video out of a container first: "
                          "ffmpeg -i film.vob -map 0:v:0 -c copy -f mpeg2video film.m2v, or -f h264 film.264)\n",
                      frame = kSequence + kSequenceExtension + Picture(0),
                      lines272 = "000001b3 140110 22 000001b5 148a";  // 320x272, progressive
    const std::pair<std::string, std::string> cases[] = {
        {"000001b3 2d01e0 25 0000", rate},                // converted already
        {kSequence + "000001b5 14 82 00 010001 ", rate},  // frame_rate_extension_d: 12 fps
        {kSequence + "000001b5 14 82 00 010020 ", rate},  // frame_rate_extension_n: 48 fps
        {frame + Extension().replace(14, 2, "f1"), field},
        {frame + Extension().replace(14, 2, "f2"), field},
        {kSequence + kGop, mpeg1},
        {kSequence + Picture(0), mpeg1},
        {lines272 + "00 000000", "can't treat progressive sequence of 272 lines\n"},
        {lines272 + "20 000000", "can't treat progressive sequence of 4368 lines\n"},  // + 4096
        // Containers, other codecs, a stream cut before its sequence header.
        {"", notStream},
        {"000000", notStream},
        {"000001ba 44000400 04", notStream},  // program stream pack
        {"00000001 6742c01e", notStream},     // H.264
        {"47 4011 10", notStream},            // transport stream
        {"000001b5 148200 010000" + kSequence, notStream},
        {"00 01 b3 2d01e022", notStream},
        {"000001b3 2d01e0", notStream},
        {kSequence + kSequenceExtension + "000001e0 0800", notStream},  // a PES packet after it
        {kSequence + kSequenceExtension + "000001b9", notStream},       // program end code
    };
    for (const auto& [stream, message] : cases) {
        EXPECT_EQ(ScanWhole(Hex(stream), {}).refusal, message) << stream;
    }
    // Each rewriter refuses bytes that are not its header.
    Bytes gop = Hex(kGop), sequence = Hex(kSequence), ext9 = Hex("000001b5 9fff f3c1 80 00");
    int64_t value = 0;
    EXPECT_EQ(RewriteSequenceHeader(gop.data(), {}), Refusal::kNotSequenceHeader);
    EXPECT_EQ(RewriteSequenceExtension(ext9.data(), {}, value), Refusal::kNotSequenceExtension);
    EXPECT_EQ(RewritePictureCodingExtension(ext9.data(), {}, 0), Refusal::kNotPictureCodingExtension);
    EXPECT_EQ(RewriteGopHeader(sequence.data(), {}), Refusal::kNotGopHeader);
    EXPECT_EQ(gop, Hex(kGop));
    EXPECT_EQ(sequence, Hex(kSequence));
    for (const auto& [refusal, text] :
         {std::pair{Refusal::kNotSequenceHeader, "non sequence header data incomming\n"},
          {Refusal::kNotSequenceExtension, "non sequence extension data incomming\n"},
          {Refusal::kNotPictureCodingExtension, "non picture coding extension data incomming\n"},
          {Refusal::kNotGopHeader, "non gop header data\n"}}) {
        StreamCounters counters;
        counters.refusal = refusal;
        EXPECT_EQ(DescribeRefusal(counters), text);
    }
}

// time_code (Table 6-11) as drop_frame_flag hours:minutes:seconds:pictures,
// then closed_gop, broken_link and five bits that stay. It counts on from the
// origin, whose seconds stay and whose picture count is converted: by frames
// at 30 and 60, by fields at 25, and taking pulldown off, to film pictures.
TEST(RewriteGopHeader, TimeCodeCountsAtTheOutputsRateFromTheOrigin)
{
    constexpr uint64_t kHour = 24 * 3600;  // film pictures
    const Job to25{JobKind::kPulldown, kRate25}, to5994{JobKind::kPulldown, kRate5994}, undo{JobKind::kUndo, 0};
    struct Case {
        int64_t originSeconds, originPictures;
        uint64_t originBase, base;
        const char* text;
        Job job = {};
        int source = kRate24, target = kRate30;
        Cadence cadence = {};
    };
    const Case cases[] = {
        {0, 0, 0, 13, "0 00:00:00:16"},  // 16.25 frames, truncated
        {0, 0, 0, 15, "0 00:00:00:19"},  // the fourth picture of a cycle starts in frame 19
        {0, 0, 0, 23, "0 00:00:00:29"},
        {0, 0, 0, 24, "0 00:00:01:00"},
        {0, 0, 0, kHour - 1, "0 00:59:59:29"},
        {0, 0, 0, 25 * kHour, "0 01:00:00:00"},  // wraps at 24 hours
        {36000, 0, 0, 0, "0 10:00:00:00"},
        {36000, 0, 7, 7, "0 10:00:00:00"},    // the origin keeps its label
        {36000, 23, 3, 4, "0 10:00:01:00"},   // 23 pictures are 29 frames, one more starts the second
        {86399, 23, 0, 1, "0 00:00:00:00"},   // from 23:59:59:29 on to midnight
        {3599, 23, 10, 11, "0 01:00:00:01"},  // picture 10 shows three fields: two frames on
        {0, 0, 0, 12, "0 00:00:00:12", to25, kRate24, kRate25, FieldRepetition(kRate24, kRate25)},
        {0, 23, 0, 24, "0 00:00:01:24", to25, kRate24, kRate25, FieldRepetition(kRate24, kRate25)},
        {0, 0, 0, 3, "0 00:00:00:08", to5994, kRate23976, kRate5994, FrameRepetition(kRate23976, kRate5994)},
        {0, 0, 0, 24, "0 00:00:01:00", to5994, kRate23976, kRate5994, FrameRepetition(kRate23976, kRate5994)},
        {0, 15, 0, 5, "0 00:00:00:17", undo, kRate2997, kRate23976, FieldRepetition(kRate23976, kRate23976)},
        // 10:00:00:05 at 23.976 became 10:00:00:06; it comes back.
        {36000, 6, 0, 0, "0 10:00:00:05", undo, kRate2997, kRate23976, FieldRepetition(kRate23976, kRate23976)},
        {0, 59, 0, 1, "0 00:00:01:00", undo, kRate60, kRate24, FrameRepetition(kRate24, kRate24)},
    };
    for (const Case& c : cases) {
        for (const uint8_t kept : {0x00, 0x7f}) {
            Bytes h = {0x00, 0x00, 0x01, 0xb8, 0xff, 0xf7, 0xff, static_cast<uint8_t>(0x80 | kept)};
            StreamCounters counters;
            counters.job = c.job;
            counters.frameRateCode = c.source;
            counters.targetCode = c.target;
            counters.cadence = c.cadence;
            counters.originSeconds = c.originSeconds;
            counters.originPictures = c.originPictures;
            counters.originPictureBase = c.originBase;
            counters.gopPictureBase = c.base;
            ASSERT_EQ(RewriteGopHeader(h.data(), counters), Refusal::kNone);
            char got[32];
            std::snprintf(got, sizeof got, "%d %02d:%02d:%02d:%02d %d %d", h[4] >> 7, h[4] >> 2 & 0x1f,
                          (h[4] & 3) << 4 | h[5] >> 4, (h[5] & 7) << 3 | h[6] >> 5, (h[6] & 0x1f) << 1 | h[7] >> 7,
                          h[5] >> 3 & 1, h[7] & 0x7f);
            EXPECT_EQ(got, std::string(c.text) + " 1 " + std::to_string(kept)) << c.target << " " << c.base;
        }
    }
}

// Any stream of headers, start codes, zeros and coded bytes comes out of the
// program's own loop the same in reads of any size, for every job (pictures
// mended in the chunk or, once written, by patches).
TEST(ConvertStream, OutputNeverDependsOnWhereReadsEnd)
{
    struct Reads {
        Bytes in, out;
        std::size_t at, longest;
        std::mt19937 random;
    };
    const auto read = [](void* context, uint8_t* into, int32_t capacity) {
        Reads& r = *static_cast<Reads*>(context);
        const auto n = std::min({1 + r.random() % r.longest, r.in.size() - r.at, std::size_t(capacity)});
        std::copy_n(r.in.begin() + static_cast<std::ptrdiff_t>(r.at), n, into);
        r.at += n;
        return static_cast<int32_t>(n);
    };
    const auto write = [](void* context, const uint8_t* bytes, int32_t n) {
        Bytes& out = static_cast<Reads*>(context)->out;
        out.insert(out.end(), bytes, bytes + n);
        return true;
    };
    const auto patch = [](void* context, int64_t offset, uint8_t value) {
        Bytes& out = static_cast<Reads*>(context)->out;
        return offset < static_cast<int64_t>(out.size()) && (out[static_cast<std::size_t>(offset)] = value, true);
    };
    const std::string pieces[] = {kSequence + kSequenceExtension,
                                  "000001b5 14 8a 00 010000",
                                  kGop,
                                  "000001b5 14 84 00 01",
                                  Extension("00", "00"),
                                  Picture(5),
                                  Picture(1022),
                                  Picture(1) + Extension(),
                                  Picture(3) + Extension(),
                                  Extension(),
                                  "000001b5 2f",
                                  "000001b5 7f",
                                  kSlice,
                                  "00",
                                  "0000",
                                  "000001",
                                  "01"};
    const Job jobs[] = {{}, {JobKind::kPulldown, kRate25}, {JobKind::kUndo, 0}};
    std::mt19937 random(20261207);
    for (unsigned round = 0; round < 300; ++round) {
        const Job job = jobs[round % 3];
        std::string stream = std::string(round % 5, '0') +
                             (job.kind == JobKind::kUndo ? "000001b3 2d01e0 24 030d4820 " : kSequence) +
                             kSequenceExtension;
        while (stream.size() < 600) {
            stream += pieces[random() % std::size(pieces)] + " ";
        }
        Reads reads{Hex(stream), {}, 0, round % 3 ? 1 + round % 40 : 1, std::mt19937(round)};
        StreamCounters counters, whole;
        counters.job = whole.job = job;
        const StreamEnd end = ConvertStream({read, write, patch, [](void*, int64_t) {}, &reads}, counters);
        const Scanned scanned = ScanWhole(reads.in, whole);
        ASSERT_EQ(end == StreamEnd::kRefused, !scanned.refusal.empty()) << stream;
        ASSERT_EQ(DescribeRefusal(counters), scanned.refusal) << stream;
        // A refused stream: nothing of the chunk that held the refused header.
        ASSERT_TRUE(scanned.refusal.empty() ? reads.out == scanned.bytes
                                            : std::equal(reads.out.begin(), reads.out.end(), scanned.bytes.begin()) &&
                                                  reads.out.size() <= scanned.bytes.size())
            << stream;
    }
}

// Every search finds what a look at each position finds: 00 00 01 and a byte
// that names no slice (0x01..0xAF), or as much of 00 00 01 as the chunk holds.
TEST(StartCodeSearch, AgreesWithALookAtEveryPosition)
{
    const auto look = [](const uint8_t* c, int32_t j, int32_t n) {
        return c[j] == 0 &&
               (j + 1 == n ||
                (c[j + 1] == 0 && (j + 2 == n || (c[j + 2] == 1 && (j + 3 == n || c[j + 3] == 0 || c[j + 3] > 0xaf)))));
    };
    const std::vector<int32_t (*)(const uint8_t*, int32_t, int32_t)> searches = {
        FindStartCodeScalar,
        FindStartCode,
#if defined(RATEFOLD_HAVE_SSE2_SEARCH)
        FindStartCodeSse2
#endif
    };
    std::mt19937 random(4242);
    const uint8_t bytes[] = {0x00, 0x00, 0x00, 0x01, 0x47, 0xaf, 0xb0, 0xb5, 0xff};
    for (int round = 0; round < 3000; ++round) {
        const auto length = static_cast<int32_t>(random() % (round % 2 ? 40 : 300));
        std::unique_ptr<uint8_t[]> chunk(new uint8_t[static_cast<std::size_t>(length)]);
        for (int32_t j = 0; j < length; ++j) {
            chunk[j] = round % 2 || random() % 40 == 0 ? bytes[random() % std::size(bytes)] : 0x47;
        }
        for (int32_t from = length, expected = length; from >= 0; --from) {
            expected = from < length && look(chunk.get(), from, length) ? from : expected;
            for (const auto find : searches) {
                ASSERT_EQ(find(chunk.get(), from, length), expected) << "round " << round << ", from " << from;
            }
        }
    }
}

TEST(MakeOutputName, InsertsTheTagBeforeTheExtension)
{
    // Shift-JIS: a trail byte is never a separator or a dot; a lead byte may
    // end the name.
    const LeadByteTest sjis = [](unsigned char b) { return (b >= 0x81 && b <= 0x9F) || b >= 0xE0; };
    const std::string dir(300, 'd'), ext = "." + std::string(40, 'e');
    const std::tuple<std::string, std::string, LeadByteTest> names[] = {
        {"clip.m2v", "clip_30i.m2v", HostIsLeadByte},
        {"clip", "clip_30i", HostIsLeadByte},
        {"a.b.m2v", "a.b_30i.m2v", HostIsLeadByte},
        {"d.d\\clip", "d.d\\clip_30i", HostIsLeadByte},
        {"d.d/clip", "d.d/clip_30i", HostIsLeadByte},
        {".m2v", ".m2v_30i", HostIsLeadByte},
        {"caf\xC3\xA9.m2v", "caf\xC3\xA9_30i.m2v", HostIsLeadByte},
        // The dots that begin a name, however its folder is spelt.
        {"./.m2v", "./.m2v_30i", HostIsLeadByte},
        {"d\\.m2v", "d\\.m2v_30i", HostIsLeadByte},
        {"d.d/..a.m2v", "d.d/..a_30i.m2v", HostIsLeadByte},
        {"\x95\x5C.m2v", "\x95\x5C_30i.m2v", sjis},
        {dir + "/" + dir + ext, dir + "/" + dir + "_30i" + ext, HostIsLeadByte},
        {"x.y\x95\x5Cz", "x_30i.y\x95\x5Cz", sjis},
        {"d\\caf\xE9.m2v", "d\\caf\xE9.m2v_30i", sjis},
        {"a.b\x95", "a_30i.b\x95", sjis},
    };
    for (auto [input, output, isLeadByte] : names) {
        MakeOutputName(input, "_30i", isLeadByte);
        EXPECT_EQ(input, output);
    }
    // Temporary files: hidden beside the output, a long name cut before a
    // UTF-8 character rather than inside one; the seed's digits in base 62.
    const std::string longName = std::string(199, 'n') + "\xC3\xA9.m2v";
    const std::pair<std::string, std::string> temporaries[] = {
        {"clip_30i.m2v", ".clip_30i.m2v.BAAAAA"},
        {"d/e\\f:clip", "d/e\\f:.clip.BAAAAA"},
        {"d/" + longName, "d/." + std::string(199, 'n') + ".BAAAAA"},
        {std::string(201, '\x80'), "..BAAAAA"},
    };
    for (const auto& [output, temporary] : temporaries) {
        EXPECT_EQ(TemporaryOutputName(output, 1), temporary);
    }
    EXPECT_EQ(TemporaryOutputName("a", 62 + 61), ".a.9BAAAA");
}

// An input that shrank while it was read is a failed read, not a shorter
// stream; one that grew is read to its end.
TEST(ReadInputStream, AShrinkingInputIsAFailedRead)
{
    const std::string path = testing::TempDir() + "ratefold_shrink.m2v";
    for (const int64_t change : {-700000, 0, 300000}) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << std::string(1000000, 'x');
        InputStream input;
        input.path = path.c_str();
        ASSERT_EQ(OpenInputStream(input), "");
        std::filesystem::resize_file(path, static_cast<std::uintmax_t>(1000000 + change));
        std::vector<uint8_t> buffer(kReadSize);
        int64_t total = 0;
        int32_t got = 0;
        while ((got = ReadInputStream(&input, buffer.data(), kReadSize)) > 0) {
            total += got;
        }
        EXPECT_TRUE(FileClose(input.file));
        EXPECT_EQ(got, change < 0 ? -1 : 0) << change;
        EXPECT_EQ(total, change < 0 ? 300000 : 1000000 + change) << change;
    }
    std::filesystem::remove(path);
}

TEST(ComputeProgress, TruncatesToHundredths)
{
    constexpr int64_t kGiB = int64_t{1} << 30;
    const int64_t cases[][3] = {
        {0, 1000, 0},
        {125, 1000, 1250},
        {1000, 1000, 10000},
        {2, 3, 6666},
        {5 * kGiB, 8 * kGiB, 6250},  // 32-bit arithmetic would wrap here
        {100000 * kGiB - 1, 100000 * kGiB, 9999},
        {524288, 0, 10000},
        {524288, -1, 10000},
        {2000, 1000, 10000},  // size unknown, 0, or grown
    };
    for (const auto& c : cases) {
        const ProgressFigures figures = ComputeProgress(c[0], c[1]);
        EXPECT_EQ(figures.whole * 100 + figures.hundredths, c[2]) << c[0] << " of " << c[1];
        char line[64];
        std::snprintf(line, sizeof line, "now working... %3d.%02d %%\r", static_cast<int>(c[2] / 100),
                      static_cast<int>(c[2] % 100));
        EXPECT_EQ(FormatProgress(c[0], c[1]), c[1] < 0 ? "now working... 524288 bytes\r" : line);
    }
}

}  // namespace
