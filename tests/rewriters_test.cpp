// The three header rewriters: the bits they change, the bits they keep, and
// every message they stop the run with.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "stream/rewriters.h"
#include "stream_builder.h"

namespace {

Bytes SequenceHeaderBytes(uint8_t offset7)
{
    return {0x00, 0x00, 0x01, 0xB3, 0x2D, 0x01, 0xE0, offset7};
}

Bytes ExtensionBytes(uint8_t structure, uint8_t offset7, uint8_t offset8 = 0x80)
{
    return {0x00, 0x00, 0x01, 0xB5, 0x8F, 0xFF, static_cast<uint8_t>(0xF0 | structure), offset7,
            offset8};
}

// Sequence extension with progressive_sequence, chroma_format 1 and the
// given vertical_size_extension.
Bytes SequenceExtensionBytes(bool progressive, int verticalSizeExtension)
{
    return {0x00, 0x00, 0x01, 0xB5, 0x14, static_cast<uint8_t>(0x82 | (progressive ? 0x08 : 0)),
            static_cast<uint8_t>(verticalSizeExtension << 5)};
}

TEST(RewriteSequenceHeader, RaisesFilmRatesAndKeepsTheAspectRatio)
{
    // frame_rate_code 1 (23.976) -> 4 (29.97), 2 (24) -> 5 (30), for every
    // aspect_ratio_information nibble; only offset 7 changes.
    for (int aspect = 0; aspect < 16; ++aspect) {
        for (int code : {1, 2}) {
            Bytes h = SequenceHeaderBytes(static_cast<uint8_t>(aspect << 4 | code));
            RewriteSequenceHeader(h.data());
            EXPECT_EQ(h, SequenceHeaderBytes(static_cast<uint8_t>(aspect << 4 | (code + 3))));
        }
    }
}

TEST(RewriteDeathTest, EachRefusalEndsTheRunWithItsMessage)
{
    using Rewrite = void (*)(uint8_t*);
    const Rewrite sequence = [](uint8_t* h) { RewriteSequenceHeader(h); };
    const Rewrite extension = [](uint8_t* h) {
        RewritePictureCodingExtension(h, StreamCounters{});
    };
    const Rewrite gop = [](uint8_t* h) { RewriteGopHeader(h, StreamCounters{}); };
    const Rewrite sequenceExtension = [](uint8_t* h) {
        StreamCounters counters;
        counters.verticalSizeValue = 240;
        RewriteSequenceExtension(h, counters);
    };
    const char* const notSequence = "^non sequence header data incomming\n$";
    const char* const notExtension = "^non picture coding extension data incomming\n$";
    const Bytes gopHeader = {0x00, 0x00, 0x01, 0xB8, 0x00, 0x08, 0x00, 0x00};
    struct Case {
        std::string what;
        Bytes header;
        Rewrite rewrite;
        const char* message;
    };
    std::vector<Case> cases = {
        {"GOP header as sequence header", gopHeader, sequence, notSequence},
        {"prefix 00 00 02", {0x00, 0x00, 0x02, 0xB3, 0x2D, 0x01, 0xE0, 0x22}, sequence,
         notSequence},
        {"sequence extension", SequenceExtensionBytes(true, 0), extension, notExtension},
        {"extension 9", {0x00, 0x00, 0x01, 0xB5, 0x9F, 0xFF, 0xF3, 0x80, 0x80}, extension,
         notExtension},
        {"picture coding extension as sequence extension", ExtensionBytes(3, 0x80),
         sequenceExtension, "^non sequence extension data incomming\n$"},
        {"GOP header as extension", gopHeader, extension, notExtension},
        {"sequence header as GOP header", SequenceHeaderBytes(0x22), gop,
         "^non gop header data\n$"},
    };
    // 0 forbidden, 3 = 25 (PAL), 4/5 = already converted, 8 = 60, 15 reserved.
    for (int code : {0, 3, 4, 5, 8, 15}) {
        cases.push_back({"frame_rate_code " + std::to_string(code),
                         SequenceHeaderBytes(static_cast<uint8_t>(0x20 | code)), sequence,
                         "^sequence frame rate is not 24/23\\.976\n$"});
    }
    for (int structure : {0, 1, 2}) {
        cases.push_back({"picture_structure " + std::to_string(structure),
                         ExtensionBytes(static_cast<uint8_t>(structure), 0x80), extension,
                         "^can't treat field structured picture\n$"});
    }
    // 240 lines: 15 macroblock rows progressive, 16 otherwise; 240 + 4096
    // from vertical_size_extension 1 does not fit either.
    cases.push_back({"240 lines", SequenceExtensionBytes(true, 0), sequenceExtension,
                     "^can't treat progressive sequence of 240 lines\n$"});
    cases.push_back({"4336 lines", SequenceExtensionBytes(true, 1), sequenceExtension,
                     "^can't treat progressive sequence of 4336 lines\n$"});
    for (Case& c : cases) {
        EXPECT_EXIT(c.rewrite(c.header.data()), testing::ExitedWithCode(1), c.message) << c.what;
    }
}

// progressive_sequence is cleared where the macroblock rows stay the same:
// heights that are multiples of 32, and no height before a sequence header.
TEST(RewriteSequenceExtension, ClearsProgressiveSequenceWhereTheRowsStay)
{
    for (const int32_t lines : {0, 480, 576, 1088, 1080}) {
        for (const bool progressive : {false, true}) {
            StreamCounters counters;
            counters.verticalSizeValue = lines;
            Bytes h = SequenceExtensionBytes(progressive, 0);
            RewriteSequenceExtension(h.data(), counters);
            EXPECT_EQ(h, SequenceExtensionBytes(false, 0)) << lines << " lines";
        }
    }
}

TEST(RewritePictureCodingExtension, SetsTheCadenceByDisplayPositionAndKeepsOtherBits)
{
    // The display position is the GOP base plus temporal_reference: 14 plus
    // 2, 3, 0 and 1 give phases 0 to 3. Whatever the input's own
    // top_field_first and repeat_first_field, they become (1,1), (0,0),
    // (0,1), (1,0), and the frame is progressive.
    const int64_t temporalReferences[] = {2, 3, 0, 1};
    const uint8_t cadence[] = {0x82, 0x00, 0x02, 0x80};
    for (int phase = 0; phase < 4; ++phase) {
        for (int input = 0; input < 64; ++input) {
            // Every combination of tff, rff, chroma_420_type, and the other
            // bits of offset 7 and progressive_frame with the rest of
            // offset 8, all 0 or all 1.
            const auto others7 = static_cast<uint8_t>(input & 8 ? 0x7C : 0x00);
            const auto offset7 = static_cast<uint8_t>(others7 | (input & 1 ? 0x80 : 0) |
                                                      (input & 2 ? 0x02 : 0) | (input & 4 ? 1 : 0));
            const auto offset8 = static_cast<uint8_t>((input & 16 ? 0x80 : 0) | (input & 32 ? 0x7F : 0));
            for (const int chromaFormat : {1, 2, 3}) {
                StreamCounters counters;
                counters.temporalReference = temporalReferences[phase];
                counters.gopPictureBase = 14;
                counters.chromaFormat = chromaFormat;
                Bytes h = ExtensionBytes(3, offset7, offset8);
                RewritePictureCodingExtension(h.data(), counters);
                const uint8_t chroma420 = chromaFormat == 1 ? 1 : (offset7 & 1);
                EXPECT_EQ(h, ExtensionBytes(3, static_cast<uint8_t>(others7 | cadence[phase] | chroma420),
                                            static_cast<uint8_t>(offset8 | 0x80)))
                    << "phase " << phase << ", offset 7 " << int{offset7} << ", chroma "
                    << chromaFormat;
            }
        }
    }
}

// The fields of the time code (ISO/IEC 13818-2, Table 6-11): drop_frame_flag,
// hours, minutes, marker_bit, seconds, pictures.
std::vector<int> TimeCodeFields(const Bytes& h)
{
    return {h[4] >> 7,           (h[4] >> 2) & 0x1F,           (h[4] & 0x03) << 4 | h[5] >> 4,
            (h[5] >> 3) & 1,     (h[5] & 0x07) << 3 | h[6] >> 5, (h[6] & 0x1F) << 1 | h[7] >> 7};
}

TEST(RewriteGopHeader, TimeCodeCountsThirtyFramesPerSecond)
{
    constexpr uint64_t kFilmPicturesPerHour = 24 * 3600;
    struct Case {
        uint64_t base;
        std::vector<int> fields;
    };
    const Case cases[] = {
        {0, {0, 0, 0, 1, 0, 0}},
        {12, {0, 0, 0, 1, 0, 15}},
        {13, {0, 0, 0, 1, 0, 16}},  // 16.25 frames, truncated
        {24, {0, 0, 0, 1, 1, 0}},
        {23, {0, 0, 0, 1, 0, 28}},
        {24 * 60 * 59 + 24 * 59 + 23, {0, 0, 59, 1, 59, 28}},
        {kFilmPicturesPerHour, {0, 1, 0, 1, 0, 0}},
        {25 * kFilmPicturesPerHour, {0, 25, 0, 1, 0, 0}},      // no wrap at 24 hours
        {31 * kFilmPicturesPerHour + 4, {0, 31, 0, 1, 0, 5}},  // last hour below the spill
        {32 * kFilmPicturesPerHour, {1, 0, 0, 1, 0, 0}},       // 32 spills into drop_frame_flag
        {63 * kFilmPicturesPerHour, {1, 31, 0, 1, 0, 0}},
        {64 * kFilmPicturesPerHour + 24, {0, 0, 0, 1, 1, 0}},  // and wraps at 64
    };
    for (const Case& c : cases) {
        // closed_gop, broken_link and the five bits after them stay.
        for (uint8_t flags : {0x00, 0x40, 0x20, 0x7F}) {
            const auto offset7 = static_cast<uint8_t>(0x80 | flags);
            Bytes h = {0x00, 0x00, 0x01, 0xB8, 0xFF, 0xF7, 0xFF, offset7};
            RewriteGopHeader(h.data(), StreamCounters{0, 0, c.base});
            EXPECT_EQ(TimeCodeFields(h), c.fields) << "base " << c.base;
            EXPECT_EQ(h[7] & 0x7F, flags) << "base " << c.base;
        }
    }
}

}  // namespace
