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

using Flags = std::vector<std::pair<int, int>>;

void ExpectSameCounters(const StreamCounters& a, const StreamCounters& b)
{
    EXPECT_EQ(a.pictureCount, b.pictureCount);
    EXPECT_EQ(a.temporalReference, b.temporalReference);
    EXPECT_EQ(a.gopPictureBase, b.gopPictureBase);
}

TEST(ScanChunk, EmptyOrNegativeLengthConsumesNothing)
{
    uint8_t byte = 0x00;
    StreamCounters counters;
    EXPECT_EQ(ScanChunk(&byte, 0, counters), 0);
    EXPECT_EQ(ScanChunk(&byte, -5, counters), 0);
    EXPECT_EQ(counters.pictureCount, 0u);
    EXPECT_EQ(byte, 0x00);
}

// What is held back at the end of a chunk: a recognised header not yet whole,
// or the beginning of a start code whose naming bytes are still to come.
TEST(ScanChunk, HoldsBackOnlyUnfinishedHeadersAndStartCodeBeginnings)
{
    struct Case {
        const char* what;
        Bytes tail;
        int held;
        uint64_t pictures;
    };
    const Case cases[] = {
        {"sequence header with 3 bytes after its code", {0, 0, 1, 0xB3, 0x2D, 0x01, 0xE0}, 7, 0},
        {"sequence header whole", {0, 0, 1, 0xB3, 0x2D, 0x01, 0xE0, 0x22}, 0, 0},
        {"picture header one byte short", {0, 0, 1, 0x00, 0x00}, 5, 0},
        {"picture header with exactly 6 bytes", {0, 0, 1, 0x00, 0x00, 0x0F}, 0, 1},
        {"picture coding extension 7 bytes", {0, 0, 1, 0xB5, 0x8F, 0xFF, 0xF3}, 7, 0},
        {"extension without its identifier", {0, 0, 1, 0xB5}, 4, 0},
        {"sequence extension (identifier 1) cut short", {0, 0, 1, 0xB5, 0x14, 0x8A}, 0, 0},
        {"GOP header 7 bytes", {0, 0, 1, 0xB8, 0x00, 0x08, 0x00}, 7, 0},
        {"start code without its naming byte", {0, 0, 1}, 3, 0},
        {"two zero bytes", {0x47, 0, 0}, 2, 0},
        {"three zero bytes", {0, 0, 0}, 2, 0},
        {"one zero byte", {0x47, 0}, 1, 0},
        {"zero then 0x01", {0x47, 0, 1}, 0, 0},
        {"sequence end code", {0, 0, 1, 0xB7}, 0, 0},
        {"slice start code", {0, 0, 1, 0x01}, 0, 0},
        {"no zero byte", {0x12, 0x34}, 0, 0},
    };
    for (const Case& c : cases) {
        Bytes chunk = {0xAA, 0xBB};  // some finished bytes before the tail
        chunk.insert(chunk.end(), c.tail.begin(), c.tail.end());
        const Bytes before = chunk;
        StreamCounters counters;
        const int32_t done = ScanChunk(chunk.data(), static_cast<int32_t>(chunk.size()), counters);
        EXPECT_EQ(static_cast<int>(chunk.size()) - done, c.held) << c.what;
        EXPECT_EQ(counters.pictureCount, c.pictures) << c.what;
        if (c.held > 0) {
            EXPECT_EQ(chunk, before) << c.what << ": held bytes must not be edited";
        }
    }
}

TEST(ScanChunk, HeldBytesAtTheEndOfTheInput)
{
    struct Case {
        Bytes held;
        int written;
    };
    const Case cases[] = {
        {{}, 0},
        {{0x00}, 1},
        {{0x00, 0x00}, 2},
        {{0x00, 0x00, 0x01}, 3},
        {{0x00, 0x00, 0x01, 0xB5}, 4},        // extension never named
        {{0x00, 0x00, 0x01, 0xB5, 0x8F}, 0},  // picture coding extension cut off
        {{0x00, 0x00, 0x01, 0xB3}, 0},
        {{0x00, 0x00, 0x01, 0x00, 0x00}, 0},
        {{0x00, 0x00, 0x01, 0xB8, 0x00, 0x08, 0x00}, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CountHeldBytesToWrite(c.held.data(), static_cast<int32_t>(c.held.size())),
                  c.written)
            << c.held.size() << " held bytes";
    }
}

TEST(ScanChunk, OnlyExtensionsWithIdentifierBit7AreRewritten)
{
    for (int identifier = 1; identifier <= 15; ++identifier) {
        Bytes s;
        AppendStartCode(s, 0xB5);
        // Offset 6 ends in picture_structure 3; offset 7 has tff set.
        s.insert(s.end(), {static_cast<uint8_t>(identifier << 4 | 0x0F), 0xFF, 0xF3, 0x80});
        const Bytes before = s;
        StreamCounters counters;  // phase 0: repeat_first_field gets set
        EXPECT_EQ(ScanChunk(s.data(), static_cast<int32_t>(s.size()), counters), 8);
        if (identifier >= 8) {
            EXPECT_EQ(s[7], 0x82) << "identifier " << identifier;
        } else {
            EXPECT_EQ(s, before) << "identifier " << identifier;
        }
    }
}

TEST(ScanChunk, CountsPicturesAndNotesTemporalReference)
{
    Bytes s;
    AppendPictureHeader(s, 1023, 3);
    AppendPictureHeader(s, 514, 2);
    StreamCounters counters;
    const Bytes before = s;
    EXPECT_EQ(ScanChunk(s.data(), static_cast<int32_t>(s.size()), counters),
              static_cast<int32_t>(s.size()));
    EXPECT_EQ(counters.pictureCount, 2u);
    EXPECT_EQ(counters.temporalReference, 514);
    EXPECT_EQ(s, before) << "a picture header is never edited";
}

TEST(ScanChunk, GopHeaderTakesThePictureCountAsItsBase)
{
    Bytes s;
    for (int i = 0; i < 12; ++i) {
        AppendPictureHeader(s, i, 1);
    }
    AppendGopHeader(s, true, true);
    StreamCounters counters;
    ScanChunk(s.data(), static_cast<int32_t>(s.size()), counters);
    EXPECT_EQ(counters.gopPictureBase, 12u);
    // 12 film pictures are 15 frames at 30 per second: 00:00:00:15.
    const uint8_t* gop = s.data() + s.size() - 8;
    EXPECT_EQ(gop[4], 0x00);
    EXPECT_EQ(gop[5], 0x08);
    EXPECT_EQ(gop[6], 0x07);
    EXPECT_EQ(gop[7], 0x80 | 0x40 | 0x20);
}

TEST(ScanChunk, CadenceFollowsDisplayOrderAcrossGops)
{
    // Two GOPs of 15 pictures, coded with B-pictures out of display order.
    StreamCounters counters;
    const Bytes rewritten = ScanWhole(MakeFilmStream(2, 15, 1), counters);

    // Map each extension back to its picture's display position.
    const Flags flags = ReadPulldownFlags(rewritten);
    ASSERT_EQ(flags.size(), 30u);
    std::vector<int> displayPosition;
    for (std::size_t i = 0; i + 6 <= rewritten.size(); ++i) {
        if (rewritten[i] == 0 && rewritten[i + 1] == 0 && rewritten[i + 2] == 1 &&
            rewritten[i + 3] == 0x00) {
            const int tref = rewritten[i + 4] << 2 | rewritten[i + 5] >> 6;
            displayPosition.push_back(static_cast<int>(displayPosition.size() / 15) * 15 + tref);
        }
    }
    ASSERT_EQ(displayPosition.size(), 30u);
    const std::pair<int, int> cadence[4] = {{1, 1}, {0, 0}, {0, 1}, {1, 0}};
    for (std::size_t k = 0; k < flags.size(); ++k) {
        EXPECT_EQ(flags[k], cadence[displayPosition[k] % 4]) << "display position "
                                                             << displayPosition[k];
    }
    EXPECT_EQ(counters.pictureCount, 30u);
    EXPECT_EQ(counters.gopPictureBase, 15u);
}

TEST(ScanChunk, WithoutGopHeadersThePhaseIsTheTemporalReference)
{
    Bytes s;
    for (int tref : {0, 3, 1, 2, 6, 4, 5}) {
        AppendPictureHeader(s, tref, 1);
        AppendPictureCodingExtension(s, 3, true, false);
    }
    StreamCounters counters;
    const Bytes out = ScanWhole(s, counters);
    const Flags expected = {{1, 1}, {1, 0}, {0, 0}, {0, 1}, {0, 1}, {1, 1}, {0, 0}};
    EXPECT_EQ(ReadPulldownFlags(out), expected);
    EXPECT_EQ(counters.gopPictureBase, 0u);
}

TEST(ScanChunk, SequenceHeaderRepeatsAreAllRewritten)
{
    StreamCounters counters;
    const Bytes out = ScanWhole(MakeFilmStream(3, 6, 2), counters);
    int headers = 0;
    for (std::size_t i = 0; i + 8 <= out.size(); ++i) {
        if (out[i] == 0 && out[i + 1] == 0 && out[i + 2] == 1 && out[i + 3] == 0xB3) {
            EXPECT_EQ(out[i + 7], 0x25);  // aspect 2 kept, 24 -> 30
            ++headers;
        }
    }
    EXPECT_EQ(headers, 3);
}

// The same stream, split at random places and with a start code cut at every
// offset around a split, gives the same bytes and counters as in one piece.
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

    std::mt19937 random(20261206);
    for (int trial = 0; trial < 300; ++trial) {
        std::vector<std::size_t> cuts;
        const int pieces = 1 + static_cast<int>(random() % 40);
        for (int k = 0; k < pieces; ++k) {
            cuts.push_back(random() % (input.size() + 1));
        }
        std::sort(cuts.begin(), cuts.end());
        StreamCounters counters;
        ASSERT_EQ(ScanInPieces(input, cuts, counters), whole) << "trial " << trial;
        ExpectSameCounters(counters, wholeCounters);
    }

    for (std::size_t start = 0; start + 3 < input.size(); ++start) {
        if (input[start] != 0 || input[start + 1] != 0 || input[start + 2] != 1) {
            continue;
        }
        for (std::size_t offset = 0; offset <= 8; ++offset) {
            StreamCounters counters;
            ASSERT_EQ(ScanInPieces(input, {start + offset}, counters), whole)
                << "cut " << offset << " bytes into the start code at " << start;
            ExpectSameCounters(counters, wholeCounters);
        }
    }
}

TEST(ScanChunk, ByteAtATimeReadsGiveTheSameStream)
{
    const Bytes input = MakeFilmStream(1, 15, 2);
    std::vector<std::size_t> cuts;
    for (std::size_t k = 1; k < input.size(); ++k) {
        cuts.push_back(k);
    }
    StreamCounters wholeCounters;
    StreamCounters counters;
    EXPECT_EQ(ScanInPieces(input, cuts, counters), ScanWhole(input, wholeCounters));
    ExpectSameCounters(counters, wholeCounters);
}

TEST(ScanChunk, InputEndingInsideAHeaderLosesOnlyThatHeader)
{
    Bytes input = MakeFilmStream(1, 3, 1);
    const std::size_t clean = input.size();
    AppendGopHeader(input, false, false);
    input.resize(input.size() - 2);  // the GOP header is 6 of its 8 bytes
    StreamCounters counters;
    const Bytes out = ScanWhole(input, counters);
    EXPECT_EQ(out.size(), clean);
}

}  // namespace
