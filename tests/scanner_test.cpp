// The start-code scanner: which headers it handles, what it holds back at
// the end of a chunk, and that where reads split a stream never matters.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <utility>
#include <vector>

#include "stream/scanner.h"
#include "stream_builder.h"

namespace {

using Flags = std::pair<int, int>;  // top_field_first, repeat_first_field

// The cadence by display position: 3, 2, 3 and 2 fields.
const Flags kCadence[4] = {{1, 1}, {0, 0}, {0, 1}, {1, 0}};

// What is held back at the end of a chunk (a recognised header not yet whole,
// or the beginning of a start code whose naming bytes are still to come), and
// how much of that is written when the input ends there.
TEST(ScanChunk, HoldsBackUnfinishedHeadersAndWritesOnlyStartCodeBeginningsAtTheEnd)
{
    struct Case {
        const char* what;
        Bytes tail;
        int held;
        int writtenAtEnd;
        uint64_t pictures;
    };
    const Case cases[] = {
        {"sequence header with 3 bytes after its code", {0, 0, 1, 0xB3, 0x2D, 0x01, 0xE0}, 7, 0, 0},
        {"sequence header code alone", {0, 0, 1, 0xB3}, 4, 0, 0},
        {"sequence header whole", {0, 0, 1, 0xB3, 0x2D, 0x01, 0xE0, 0x22}, 0, 0, 0},
        {"picture header one byte short", {0, 0, 1, 0x00, 0x00}, 5, 0, 0},
        {"picture header with exactly 6 bytes", {0, 0, 1, 0x00, 0x00, 0x0F}, 0, 0, 1},
        {"picture coding extension 7 bytes", {0, 0, 1, 0xB5, 0x8F, 0xFF, 0xF3}, 7, 0, 0},
        {"picture coding extension 8 bytes", {0, 0, 1, 0xB5, 0x8F, 0xFF, 0xF3, 0x81}, 8, 0, 0},
        {"picture coding extension identifier only", {0, 0, 1, 0xB5, 0x8F}, 5, 0, 0},
        {"extension without its identifier", {0, 0, 1, 0xB5}, 4, 4, 0},
        {"sequence extension 6 bytes", {0, 0, 1, 0xB5, 0x14, 0x8A}, 6, 0, 0},
        {"sequence display extension (identifier 2) cut short", {0, 0, 1, 0xB5, 0x23}, 0, 0, 0},
        {"GOP header 7 bytes", {0, 0, 1, 0xB8, 0x00, 0x08, 0x00}, 7, 0, 0},
        {"start code without its naming byte", {0, 0, 1}, 3, 3, 0},
        {"two zero bytes", {0x47, 0, 0}, 2, 2, 0},
        {"three zero bytes", {0, 0, 0}, 2, 2, 0},
        {"one zero byte", {0x47, 0}, 1, 1, 0},
        {"zero then 0x01", {0x47, 0, 1}, 0, 0, 0},
        {"sequence end code", {0, 0, 1, 0xB7}, 0, 0, 0},
        {"slice start code", {0, 0, 1, 0x01}, 0, 0, 0},
        {"no zero byte", {0x12, 0x34}, 0, 0, 0},
    };
    for (const Case& c : cases) {
        Bytes chunk = {0xAA, 0xBB};  // some finished bytes before the tail
        chunk.insert(chunk.end(), c.tail.begin(), c.tail.end());
        const Bytes before = chunk;
        StreamCounters counters;
        const int32_t done = ScanChunk(chunk.data(), static_cast<int32_t>(chunk.size()), counters);
        const int32_t held = static_cast<int32_t>(chunk.size()) - done;
        EXPECT_EQ(held, c.held) << c.what;
        EXPECT_EQ(CountHeldBytesToWrite(chunk.data() + done, held), c.writtenAtEnd) << c.what;
        EXPECT_EQ(counters.pictureCount, c.pictures) << c.what;
        if (c.held > 0) {
            EXPECT_EQ(chunk, before) << c.what << ": held bytes must not be edited";
        }
    }
    StreamCounters counters;
    EXPECT_EQ(ScanChunk(nullptr, 0, counters), 0);
    EXPECT_EQ(ScanChunk(nullptr, -5, counters), 0);
    EXPECT_EQ(CountHeldBytesToWrite(nullptr, 0), 0);
}

// Of the extensions (Table 6-2) only the sequence extension (1) and the
// picture coding extension (8) are rewritten; the walk goes on after the 7
// or 9 bytes they take, and steps over any other one byte at a time.
TEST(ScanChunk, OnlySequenceAndPictureCodingExtensionsAreRewritten)
{
    for (int identifier = 1; identifier <= 15; ++identifier) {
        // Offset 5: progressive_sequence set, chroma_format 2 (4:2:2) for a
        // sequence extension; offset 6 ends in
        // picture_structure 3; offset 7: top_field_first; offset 8 clear.
        // Then a picture start code right where a 9-byte header ends.
        Bytes s = {0x00, 0x00, 0x01, 0xB5, static_cast<uint8_t>(identifier << 4 | 0x0F),
                   0x0C, 0xF3, 0x80, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00};
        Bytes expected = s;
        if (identifier == 1) {
            expected[5] = 0x04;  // progressive_sequence cleared
        } else if (identifier == 8) {
            expected[7] = 0x83;  // phase 0, 4:2:0
            expected[8] = 0x80;  // progressive_frame
        }
        StreamCounters counters;
        EXPECT_EQ(ScanChunk(s.data(), static_cast<int32_t>(s.size()), counters),
                  static_cast<int32_t>(s.size()));
        EXPECT_EQ(s, expected) << "identifier " << identifier;
        EXPECT_EQ(counters.pictureCount, 1u) << "identifier " << identifier;
        EXPECT_EQ(counters.chromaFormat, identifier == 1 ? 2 : 1) << "identifier " << identifier;
    }
}

// A sequence header must be followed by its sequence extension before any
// GOP or picture header; without it the stream is MPEG-1, refused when the
// GOP or picture header is handled.
TEST(ScanChunkDeathTest, Mpeg1StreamIsRefused)
{
    for (const bool gop : {true, false}) {
        Bytes s;
        AppendSequenceHeader(s, 1);
        if (gop) {
            AppendGopHeader(s, true, false);
        } else {
            AppendPictureHeader(s, 0, 1);
        }
        StreamCounters counters;
        EXPECT_EXIT(ScanChunk(s.data(), static_cast<int32_t>(s.size()), counters),
                    testing::ExitedWithCode(1), "^can't treat MPEG-1 stream\n$");
        // Cut one byte short of what the header needs, nothing is refused yet.
        const int32_t headerAt = 12;
        EXPECT_EQ(ScanChunk(s.data(), headerAt + (gop ? 8 : 6) - 1, counters), headerAt);
    }
}

// Pictures before any GOP header take their phase from temporal_reference
// alone. Then two GOPs of 15 pictures (not a multiple of 4), coded with
// B-pictures out of display order: a picture's display position is the
// pictures before its GOP plus its temporal_reference, and a GOP's time code
// counts the pictures before it. Every sequence header is raised. Film as
// mpeg2enc codes it (progressive_sequence 0, every picture progressive_frame
// 1, top_field_first 1, repeat_first_field 0, chroma_420_type 1) keeps every
// other byte.
TEST(ScanChunk, CadenceAndTimeCodesFollowDisplayOrderAcrossGops)
{
    Bytes input;
    for (int tref : {0, 3, 1, 2, 6, 4, 1021}) {
        AppendPictureHeader(input, tref, 1);
        AppendPictureCodingExtension(input, 3, true, false);
    }
    const Bytes film = MakeFilmStream(2, 15, 2);
    input.insert(input.end(), film.begin(), film.end());
    StreamCounters counters;
    const Bytes out = ScanWhole(input, counters);

    int sequenceHeaders = 0;
    int extensions = 0;
    int pictures = 0;
    int gopBase = 0;
    int tref = 0;
    std::vector<Bytes> timeCodes;
    ASSERT_EQ(out.size(), input.size());
    Bytes unchanged = out;  // out with the bytes that may change put back
    for (std::size_t i = 0; i + 8 <= out.size(); ++i) {
        const uint8_t* h = &out[i];
        if (h[0] != 0 || h[1] != 0 || h[2] != 1) {
            continue;
        }
        if (h[3] == 0xB3) {
            EXPECT_EQ(h[7], 0x25) << "aspect ratio 2 kept, 24 -> 30";
            unchanged[i + 7] = input[i + 7];
            ++sequenceHeaders;
        } else if (h[3] == 0xB8) {
            gopBase = pictures;
            timeCodes.emplace_back(h + 4, h + 8);
            std::copy_n(input.begin() + static_cast<std::ptrdiff_t>(i) + 4, 4, unchanged.begin() + static_cast<std::ptrdiff_t>(i) + 4);
        } else if (h[3] == 0x00) {
            tref = h[4] << 2 | h[5] >> 6;
            ++pictures;
        } else if (h[3] == 0xB5 && (h[4] & 0x80) != 0) {
            EXPECT_EQ(Flags(h[7] >> 7, (h[7] >> 1) & 1), kCadence[(gopBase + tref) % 4])
                << "display position " << gopBase + tref;
            unchanged[i + 7] = input[i + 7];
            ++extensions;
        }
    }
    EXPECT_EQ(unchanged, input);
    EXPECT_EQ(sequenceHeaders, 2);
    EXPECT_EQ(extensions, 37);
    // 7 and 22 film pictures are 8.75 and 27.5 frames at 30 per second:
    // 00:00:00:08 (closed_gop kept) and 00:00:00:27.
    EXPECT_EQ(timeCodes, (std::vector<Bytes>{{0x00, 0x08, 0x04, 0x40}, {0x00, 0x08, 0x0D, 0x80}}));
    EXPECT_EQ(counters, (StreamCounters{37, 13, 22, 1, 480, false}));
}

// The same stream, read a byte at a time, split at random places and with a
// start code cut at every offset around a split, gives the same bytes and
// counters as in one piece.
TEST(ScanChunk, OutputNeverDependsOnWhereReadsSplitTheStream)
{
    Bytes input = MakeFilmStream(3, 15, 1);
    // Stuffing zeros and a trailing start code beginning exercise the
    // held-back prefixes.
    input.insert(input.begin() + 100, 9, 0x00);
    input.insert(input.end(), {0x00, 0x00, 0x01});
    StreamCounters wholeCounters;
    const Bytes whole = ScanWhole(input, wholeCounters);
    ASSERT_EQ(whole.size(), input.size());
    ASSERT_EQ(wholeCounters.pictureCount, 45u);

    std::vector<std::vector<std::size_t>> cutSets(1);
    for (std::size_t k = 1; k < input.size(); ++k) {
        cutSets[0].push_back(k);
    }
    std::mt19937 random(20261206);
    for (int trial = 0; trial < 300; ++trial) {
        std::vector<std::size_t> cuts(1 + random() % 40);
        for (std::size_t& cut : cuts) {
            cut = random() % (input.size() + 1);
        }
        std::sort(cuts.begin(), cuts.end());
        cutSets.push_back(cuts);
    }
    for (std::size_t start = 0; start + 3 < input.size(); ++start) {
        if (input[start] == 0 && input[start + 1] == 0 && input[start + 2] == 1) {
            for (std::size_t offset = 0; offset <= 8; ++offset) {
                cutSets.push_back({start + offset});
            }
        }
    }
    for (const auto& cuts : cutSets) {
        ASSERT_EQ(ScanInPieces(input, cuts), whole) << testing::PrintToString(cuts);
    }
}

}  // namespace
