// The three header rewriters: the bits they change, the bits they keep, and
// every message they stop the run with.
#include <gtest/gtest.h>

#include <cstdint>

#include "stream/rewriters.h"
#include "stream_builder.h"

namespace {

Bytes SequenceHeaderBytes(uint8_t offset7)
{
    return {0x00, 0x00, 0x01, 0xB3, 0x2D, 0x01, 0xE0, offset7};
}

TEST(RewriteSequenceHeader, RaisesFilmRatesAndKeepsTheAspectRatio)
{
    // frame_rate_code 1 (23.976) -> 4 (29.97), 2 (24) -> 5 (30), for every
    // aspect_ratio_information nibble.
    for (int aspect = 0; aspect < 16; ++aspect) {
        for (int code : {1, 2}) {
            Bytes h = SequenceHeaderBytes(static_cast<uint8_t>(aspect << 4 | code));
            RewriteSequenceHeader(h.data());
            EXPECT_EQ(h[7] >> 4, aspect);
            EXPECT_EQ(h[7] & 0x0F, code + 3);
            EXPECT_EQ(h, SequenceHeaderBytes(h[7])) << "only offset 7 changes";
        }
    }
}

TEST(RewriteSequenceHeaderDeathTest, RefusesEveryOtherRate)
{
    // 0 forbidden, 3 = 25 (PAL), 4/5 = already converted, 8 = 60, 15 reserved.
    for (uint8_t code : {0, 3, 4, 5, 8, 15}) {
        Bytes h = SequenceHeaderBytes(static_cast<uint8_t>(0x20 | code));
        EXPECT_EXIT(RewriteSequenceHeader(h.data()), testing::ExitedWithCode(1),
                    "^sequence frame rate is not 24/23\\.976\n$")
            << "frame_rate_code " << int{code};
    }
}

TEST(RewriteDeathTest, EachRewriterRefusesBytesThatAreNotItsHeader)
{
    Bytes gop = {0x00, 0x00, 0x01, 0xB8, 0, 0x08, 0, 0};
    Bytes notSequence = SequenceHeaderBytes(0x22);
    notSequence[2] = 0x02;
    Bytes sequenceExtension = {0x00, 0x00, 0x01, 0xB5, 0x14, 0x8A, 0x00, 0x01};
    Bytes notGop = gop;
    notGop[3] = 0xB3;
    const StreamCounters counters;
    EXPECT_EXIT(RewriteSequenceHeader(gop.data()), testing::ExitedWithCode(1),
                "^non sequence header data incomming\n$");
    EXPECT_EXIT(RewriteSequenceHeader(notSequence.data()), testing::ExitedWithCode(1),
                "^non sequence header data incomming\n$");
    EXPECT_EXIT(RewritePictureCodingExtension(sequenceExtension.data(), counters),
                testing::ExitedWithCode(1), "^non picture coding extension data incomming\n$");
    EXPECT_EXIT(RewritePictureCodingExtension(gop.data(), counters), testing::ExitedWithCode(1),
                "^non picture coding extension data incomming\n$");
    EXPECT_EXIT(RewriteGopHeader(notGop.data(), counters), testing::ExitedWithCode(1),
                "^non gop header data\n$");
}

Bytes ExtensionBytes(uint8_t structure, uint8_t offset7)
{
    return {0x00, 0x00, 0x01, 0xB5, 0x8F, 0xFF, static_cast<uint8_t>(0xF0 | structure), offset7};
}

TEST(RewritePictureCodingExtension, SetsTheCadenceByDisplayPositionAndKeepsOtherBits)
{
    // (phase, expected top_field_first, expected repeat_first_field); -1:
    // the input's own value.
    struct Case {
        int phase;
        int tff;
        int rff;
    };
    const Case cases[] = {{0, -1, 1}, {1, 0, -1}, {2, 0, 1}, {3, -1, -1}};
    for (const Case& c : cases) {
        // Every combination of the two flags with every other bit 0 or 1.
        for (uint8_t others : {0x00, 0x7D}) {
            for (int tff = 0; tff < 2; ++tff) {
                for (int rff = 0; rff < 2; ++rff) {
                    const uint8_t before = static_cast<uint8_t>(others | tff << 7 | rff << 1);
                    // The phase comes from the GOP base and the temporal
                    // reference together: split it between them.
                    StreamCounters counters;
                    counters.gopPictureBase = 14;
                    counters.temporalReference = (c.phase - 14 % 4 + 4) % 4 + 4;
                    Bytes h = ExtensionBytes(3, before);
                    RewritePictureCodingExtension(h.data(), counters);
                    EXPECT_EQ(h[7] & 0x7D, others) << "phase " << c.phase;
                    EXPECT_EQ(h[7] >> 7, c.tff < 0 ? tff : c.tff) << "phase " << c.phase;
                    EXPECT_EQ((h[7] >> 1) & 1, c.rff < 0 ? rff : c.rff) << "phase " << c.phase;
                    EXPECT_EQ(h, ExtensionBytes(3, h[7])) << "only offset 7 changes";
                }
            }
        }
    }
}

TEST(RewritePictureCodingExtension, PictureAfterFourteenLeftAsCoded)
{
    StreamCounters counters;
    counters.gopPictureBase = 14;
    counters.temporalReference = 1;
    Bytes h = ExtensionBytes(3, 0x80);
    RewritePictureCodingExtension(h.data(), counters);
    EXPECT_EQ(h[7], 0x80);
}

TEST(RewritePictureCodingExtensionDeathTest, RefusesFieldPictures)
{
    const StreamCounters counters;
    for (uint8_t structure : {0, 1, 2}) {
        Bytes h = ExtensionBytes(structure, 0x80);
        EXPECT_EXIT(RewritePictureCodingExtension(h.data(), counters), testing::ExitedWithCode(1),
                    "^can't treat field structured picture\n$")
            << "picture_structure " << int{structure};
    }
}

// The time code fields of a GOP header (ISO/IEC 13818-2, Table 6-11).
struct TimeCode {
    int dropFrame, hours, minutes, marker, seconds, pictures, closedGop, brokenLink, rest;
};

TimeCode ReadTimeCode(const Bytes& h)
{
    return {h[4] >> 7,
            (h[4] >> 2) & 0x1F,
            (h[4] & 0x03) << 4 | h[5] >> 4,
            (h[5] >> 3) & 1,
            (h[5] & 0x07) << 3 | h[6] >> 5,
            (h[6] & 0x1F) << 1 | h[7] >> 7,
            (h[7] >> 6) & 1,
            (h[7] >> 5) & 1,
            h[7] & 0x1F};
}

TEST(RewriteGopHeader, TimeCodeCountsThirtyFramesPerSecond)
{
    constexpr uint64_t kFilmPicturesPerHour = 24 * 3600;
    struct Case {
        uint64_t base;
        int drop, hours, minutes, seconds, pictures;
    };
    const Case cases[] = {
        {0, 0, 0, 0, 0, 0},
        {12, 0, 0, 0, 0, 15},
        {13, 0, 0, 0, 0, 16},  // 16.25 frames, truncated
        {24, 0, 0, 0, 1, 0},
        {23, 0, 0, 0, 0, 28},
        {24 * 60 * 59 + 24 * 59 + 23, 0, 0, 59, 59, 28},
        {kFilmPicturesPerHour, 0, 1, 0, 0, 0},
        {25 * kFilmPicturesPerHour, 0, 25, 0, 0, 0},      // no wrap at 24 hours
        {31 * kFilmPicturesPerHour + 4, 0, 31, 0, 0, 5},  // last hour below the spill
        {32 * kFilmPicturesPerHour, 1, 0, 0, 0, 0},       // 32 spills into drop_frame_flag
        {63 * kFilmPicturesPerHour, 1, 31, 0, 0, 0},
        {64 * kFilmPicturesPerHour + 24, 0, 0, 0, 1, 0},  // and wraps at 64
    };
    for (const Case& c : cases) {
        for (uint8_t flags : {0x00, 0x40, 0x20, 0x7F}) {
            StreamCounters counters;
            counters.gopPictureBase = c.base;
            Bytes h = {0x00, 0x00, 0x01, 0xB8, 0xFF, 0xF7, 0xFF, static_cast<uint8_t>(0x80 | flags)};
            RewriteGopHeader(h.data(), counters);
            const TimeCode t = ReadTimeCode(h);
            EXPECT_EQ(t.dropFrame, c.drop) << "base " << c.base;
            EXPECT_EQ(t.hours, c.hours) << "base " << c.base;
            EXPECT_EQ(t.minutes, c.minutes) << "base " << c.base;
            EXPECT_EQ(t.marker, 1) << "base " << c.base;
            EXPECT_EQ(t.seconds, c.seconds) << "base " << c.base;
            EXPECT_EQ(t.pictures, c.pictures) << "base " << c.base;
            EXPECT_EQ(h[7] & 0x7F, flags) << "closed_gop, broken_link and the rest stay";
        }
    }
}

}  // namespace
