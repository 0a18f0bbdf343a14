// The scanner, the header rewriters and the conversion loop, on streams
// written out in hex (spaces are for reading).
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "app/convert.h"
#include "stream/rewriters.h"
#include "stream/scanner.h"
#include "stream/start_code_search.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Hex(const std::string& hex)
{
    Bytes bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += hex[i] == ' ' ? 1 : 2) {
        if (hex[i] != ' ') {
            bytes.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
        }
    }
    return bytes;
}

// A 720x480 film stream as mpeg2enc writes it (ISO/IEC 13818-2, 6.2.2,
// 6.2.3): aspect 2 and frame_rate_code 2 (24); progressive_sequence 0, 4:2:0;
// a closed GOP at time code 0; picture coding extensions of frame pictures
// with top_field_first 1, frame_pred_frame_dct 1, repeat_first_field 0,
// chroma_420_type 1 and progressive_frame 1 (the byte before the last two).
const std::string kSequence = "000001b3 2d01e0 22 030d4820 ";
const std::string kSequenceExtension = "000001b5 14 82 00 010000 ";
const std::string kGop = "000001b8 00080040 ";
const std::string kSlice = "00000101 1122334455 ";

std::string CodingExtension(const std::string& flags = "c1", const std::string& last = "80")
{
    return "000001b5 8fff f3 " + flags + " " + last + " ";
}

std::string Picture(int temporalReference)
{
    char hex[32];
    std::snprintf(hex, sizeof hex, "00000100 %02x%02x fff8 ", temporalReference >> 2,
                  (temporalReference & 3) << 6 | 0x0F);
    return hex;
}

// The bytes written for a stream scanned in one chunk.
Bytes ScanWhole(Bytes stream)
{
    StreamCounters counters;
    const auto length = static_cast<int32_t>(stream.size());
    const int32_t done = ScanChunk(stream.data(), length, counters);
    stream.resize(static_cast<std::size_t>(done + CountHeldBytesToWrite(&stream[done], length - done)));
    return stream;
}

// The program's own loop over a stream in memory, in reads of 1 to `longest`
// bytes.
struct Reads {
    const Bytes& stream;
    std::size_t at, longest;
    std::mt19937 random;
    Bytes written;
};

Bytes ConvertInReads(const Bytes& stream, std::size_t longest, unsigned seed)
{
    Reads reads{stream, 0, longest, std::mt19937(seed), {}};
    const auto read = [](void* context, uint8_t* into, int32_t capacity) {
        Reads& r = *static_cast<Reads*>(context);
        const std::size_t n = std::min({1 + r.random() % r.longest, r.stream.size() - r.at,
                                        static_cast<std::size_t>(capacity)});
        std::copy_n(r.stream.begin() + static_cast<std::ptrdiff_t>(r.at), n, into);
        r.at += n;
        return static_cast<int32_t>(n);
    };
    const auto write = [](void* context, const uint8_t* bytes, int32_t count) {
        Bytes& written = static_cast<Reads*>(context)->written;
        written.insert(written.end(), bytes, bytes + count);
    };
    ConvertStream(read, write, [](void*, int64_t) {}, &reads);
    return reads.written;
}

TEST(ScanChunk, RewritesEachHeaderAtItsOffsets)
{
    const std::pair<std::string, std::string> cases[] = {
        {kSequence, "000001b3 2d01e0 25 030d4820"},                     // 24 to 30, aspect kept
        {"000001b3 2d01e0 31 0000", "000001b3 2d01e0 34 0000"},         // 23.976 to 29.97
        {"000001b5 14 8a 00 0100", "000001b5 14 82 00 0100"},           // progressive_sequence
        {"000001b3 780438 22 000001b5 148a00", "000001b3 780438 25 000001b5 148200"},  // 1080
        // Bottom field first, interlaced-coded: (1,1), progressive, chroma_420_type.
        {CodingExtension("00", "00"), CodingExtension("83", "80")},
        // 4:2:2 keeps chroma_420_type 0.
        {"000001b5 14 84 00 " + CodingExtension("40", "7f"), "000001b5 14 84 00 " + CodingExtension("c2", "ff")},
        // Sequence display, quant matrix, camera parameters extensions pass.
        {"000001b5 28ff f300 00 000001b5 3f 8a 0000 000001b5 b0ff f300 00",
         "000001b5 28ff f300 00 000001b5 3f 8a 0000 000001b5 b0ff f300 00"},
    };
    for (const auto& [input, output] : cases) {
        EXPECT_EQ(ScanWhole(Hex(input)), Hex(output)) << input;
    }
}

// GOPs of 15 pictures coded with B-pictures out of display order, after two
// pictures in no GOP: a picture's display position is the pictures before its
// GOP plus its temporal_reference; a GOP's time code counts the pictures
// before it, 2, 17 and 32: 2.5, 21.25 and 40 frames at 30 a second. Film as
// mpeg2enc codes it changes in no other byte.
TEST(ScanChunk, CadenceAndTimeCodesFollowDisplayOrder)
{
    const char* const flags[4] = {"c3", "41", "43", "c1"};  // (1,1) (0,0) (0,1) (1,0)
    const char* const timeCodes[3] = {"00080140", "00080ac0", "00082540"};
    std::string in = Picture(1) + CodingExtension() + Picture(0) + CodingExtension();
    std::string out = Picture(1) + CodingExtension(flags[1]) + Picture(0) + CodingExtension(flags[0]);
    for (int gop = 0; gop < 3; ++gop) {
        in += kSequence + kSequenceExtension + kGop;
        out += "000001b3 2d01e0 25 030d4820 " + kSequenceExtension + "000001b8 " + timeCodes[gop];
        for (const int tref : {0, 3, 1, 2, 6, 4, 5, 9, 7, 8, 12, 10, 11, 14, 13}) {
            in += Picture(tref) + CodingExtension() + kSlice;
            out += Picture(tref) + CodingExtension(flags[(2 + 15 * gop + tref) % 4]) + kSlice;
        }
    }
    EXPECT_EQ(ScanWhole(Hex(in)), Hex(out));
}

// What is held back at the end of a chunk (a header not yet whole, or the
// beginning of a start code), and how much of it is written if the input ends.
TEST(ScanChunk, HoldsBackUnfinishedHeaders)
{
    const std::tuple<const char*, int, int> cases[] = {
        {"000001b3 2d01e0", 7, 0}, {"000001b5 14 8a", 6, 0}, {"000001b5 8fff f3c1", 8, 0},
        {"00000100 00", 5, 0},     {"000001b8 000800", 7, 0}, {"000001b5", 4, 4},
        {"000001", 3, 3},          {"47 0000", 2, 2},         {"47 00", 1, 1},
        {"000001b5 23", 0, 0},     {"00000100 000f", 0, 0},   {"00000101", 0, 0},
    };
    for (const auto& [tail, held, written] : cases) {
        Bytes chunk = Hex(std::string("aa ") + tail);
        const Bytes before = chunk;
        StreamCounters counters;
        const int32_t done = ScanChunk(chunk.data(), static_cast<int32_t>(chunk.size()), counters);
        EXPECT_EQ(static_cast<int>(chunk.size()) - done, held) << tail;
        EXPECT_EQ(CountHeldBytesToWrite(&chunk[done], held), written) << tail;
        EXPECT_EQ(counters.pictureCount, uint64_t{held == 0 && std::string(tail).find("00000100") == 0}) << tail;
        EXPECT_TRUE(held == 0 || chunk == before) << tail;
    }
}

TEST(ScanChunkDeathTest, RefusesWhatItCannotConvert)
{
    const std::string rate = "^sequence frame rate is not 24/23\\.976\n$";
    const std::string field = "^can't treat field structured picture\n$";
    const std::string mpeg1 = "^can't treat MPEG-1 stream\n$";
    const std::string frame = kSequence + kSequenceExtension + Picture(0);
    const std::string lines240 = "000001b3 1400f0 22 000001b5 148a";  // 320x240, progressive
    const std::pair<std::string, std::string> cases[] = {
        {"000001b3 2d01e0 23 0000", rate},  // 25 fps
        {"000001b3 2d01e0 25 0000", rate},  // converted already
        {frame + CodingExtension().replace(14, 2, "f1"), field},
        {frame + CodingExtension().replace(14, 2, "f2"), field},
        {kSequence + kGop, mpeg1},
        {kSequence + Picture(0), mpeg1},
        {lines240 + "00", "^can't treat progressive sequence of 240 lines\n$"},
        {lines240 + "20", "^can't treat progressive sequence of 4336 lines\n$"},  // + 4096
    };
    for (const auto& [stream, message] : cases) {
        Bytes s = Hex(stream);
        StreamCounters counters;
        EXPECT_EXIT(ScanChunk(s.data(), static_cast<int32_t>(s.size()), counters),
                    testing::ExitedWithCode(1), message)
            << stream;
    }
    // Each rewriter refuses bytes that are not its header.
    Bytes gop = Hex(kGop), sequence = Hex(kSequence), ext9 = Hex("000001b5 9fff f3c1 80");
    EXPECT_EXIT(RewriteSequenceHeader(gop.data()), testing::ExitedWithCode(1),
                "^non sequence header data incomming\n$");
    EXPECT_EXIT(RewriteSequenceExtension(ext9.data(), {}), testing::ExitedWithCode(1),
                "^non sequence extension data incomming\n$");
    EXPECT_EXIT(RewritePictureCodingExtension(ext9.data(), {}), testing::ExitedWithCode(1),
                "^non picture coding extension data incomming\n$");
    EXPECT_EXIT(RewriteGopHeader(sequence.data(), {}), testing::ExitedWithCode(1), "^non gop header data\n$");
}

// time_code from offset 4 (Table 6-11): drop_frame_flag, hours, minutes,
// marker_bit, seconds, pictures; closed_gop, broken_link and five bits stay.
TEST(RewriteGopHeader, TimeCodeCountsThirtyFramesPerSecond)
{
    constexpr uint64_t kHour = 24 * 3600;  // film pictures
    const std::pair<uint64_t, std::vector<int>> cases[] = {
        {13, {0, 0, 0, 1, 0, 16}},  // 16.25 frames, truncated
        {23, {0, 0, 0, 1, 0, 28}},
        {24, {0, 0, 0, 1, 1, 0}},
        {kHour - 1, {0, 0, 59, 1, 59, 28}},
        {25 * kHour, {0, 25, 0, 1, 0, 0}},      // no wrap at 24 hours
        {31 * kHour + 4, {0, 31, 0, 1, 0, 5}},  // the last hour below the spill
        {32 * kHour, {1, 0, 0, 1, 0, 0}},       // into drop_frame_flag
        {64 * kHour + 24, {0, 0, 0, 1, 1, 0}},  // and wraps at 64
    };
    for (const auto& [base, fields] : cases) {
        for (const uint8_t kept : {0x00, 0x7f}) {
            Bytes h = {0x00, 0x00, 0x01, 0xb8, 0xff, 0xf7, 0xff, static_cast<uint8_t>(0x80 | kept)};
            RewriteGopHeader(h.data(), StreamCounters{0, 0, base});
            EXPECT_EQ((std::vector<int>{h[4] >> 7, h[4] >> 2 & 0x1f, (h[4] & 3) << 4 | h[5] >> 4, h[5] >> 3 & 1,
                                        (h[5] & 7) << 3 | h[6] >> 5, (h[6] & 0x1f) << 1 | h[7] >> 7}),
                      fields)
                << base;
            EXPECT_EQ(h[7] & 0x7f, kept) << base;
        }
    }
}

// Any stream of headers, start codes, stuffing zeros and coded bytes comes out
// of the loop the same wherever its reads end.
TEST(ConvertStream, OutputNeverDependsOnWhereReadsEnd)
{
    std::mt19937 random(20261207);
    const std::string pieces[] = {kSequence + kSequenceExtension, "000001b5 14 8a 00 0100", kGop,
                                  "000001b5 14 84 00 0100",       CodingExtension("00", "00"),
                                  Picture(5), Picture(1022), CodingExtension(), "000001b5 2f",
                                  kSlice, "00", "0000", "000001", "01"};
    for (unsigned round = 0; round < 300; ++round) {
        std::string stream;
        while (stream.size() < 600) {
            stream += pieces[random() % std::size(pieces)] + " ";
        }
        ASSERT_EQ(ConvertInReads(Hex(stream), round % 3 ? 1 + round % 40 : 1, round), ScanWhole(Hex(stream)))
            << stream;
    }
}

// The driver on a real file: headers cut by the end of the first 512 KiB read
// at every offset are each handled once.
TEST(ConvertFile, HeadersAcrossTheReadBoundary)
{
    const std::string path = ::testing::TempDir() + "ratefold_boundary.m2v";
    const Bytes headers = Hex(kSequence + "000001b5 148a00 0100" + kGop + Picture(3) + CodingExtension("00"));
    for (std::size_t offset = 0; offset <= headers.size(); ++offset) {
        Bytes input(kReadSize - offset, 0x47);
        input.insert(input.end(), headers.begin(), headers.end());
        input.resize(input.size() + kReadSize, 0x47);
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(input.data()), input.size());
        ConvertFile(path.c_str());
        std::ifstream out(::testing::TempDir() + "ratefold_boundary_30i.m2v", std::ios::binary);
        EXPECT_EQ(Bytes(std::istreambuf_iterator<char>(out), {}), ScanWhole(input)) << offset;
    }
}

// Every search this build has finds what a look at one position after another
// finds: 00 00 01 and a naming byte that is not a slice's (0x01..0xAF), or as
// much of 00 00 01 as the chunk still holds. Chunks dense in start codes or
// sparse, each in a block that ends where it does.
TEST(StartCodeSearch, AgreesWithALookAtEveryPosition)
{
    const auto look = [](const uint8_t* c, int32_t j, int32_t length) {
        return c[j] == 0 && (j + 1 == length || (c[j + 1] == 0 && (j + 2 == length ||
               (c[j + 2] == 1 && (j + 3 == length || c[j + 3] == 0 || c[j + 3] > 0xaf)))));
    };
    using Find = int32_t (*)(const uint8_t* chunk, int32_t from, int32_t length);
    const std::vector<Find> searches = {FindStartCodeScalar, FindStartCode,
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
            for (const Find find : searches) {
                ASSERT_EQ(find(chunk.get(), from, length), expected) << "round " << round << ", from " << from;
            }
        }
    }
}

}  // namespace
