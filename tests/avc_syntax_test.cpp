// H.264 syntax: exp-Golomb codes and emulation prevention, the SPS read and
// its timing rewritten, SEI messages and the picture timing message. The
// parameter sets and messages are x264's and ffmpeg libx264's, with fields
// as ffmpeg's trace_headers bitstream filter prints them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "avc/avc_syntax.h"

namespace {

std::vector<uint8_t> Bytes(const std::string& hex)
{
    std::vector<uint8_t> bytes;
    for (std::size_t k = 0; k + 1 < hex.size(); k += 2) {
        bytes.push_back(static_cast<uint8_t>(std::stoul(hex.substr(k, 2), nullptr, 16)));
    }
    return bytes;
}

std::string Hex(const std::vector<uint8_t>& bytes)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (const uint8_t byte : bytes) {
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 0xF];
    }
    return hex;
}

std::string Repeat(const std::string& text, int times)
{
    std::string repeated;
    while (times-- > 0) {
        repeated += text;
    }
    return repeated;
}

// "0010 0" as bytes, zero-padded.
std::vector<uint8_t> FromBits(const std::string& bits)
{
    BitWriter writer;
    for (const char bit : bits) {
        if (bit != ' ') {
            WriteBits(writer, bit == '1' ? 1 : 0, 1);
        }
    }
    return writer.bytes;
}

std::string WrittenBits(const BitWriter& writer)
{
    std::string bits;
    for (const uint8_t byte : writer.bytes) {
        for (int k = 7; k >= 0; --k) {
            bits += (byte >> k & 1) != 0 ? '1' : '0';
        }
    }
    return bits.substr(0, bits.size() - static_cast<std::size_t>(writer.freeBits));
}

TEST(AvcBits, ExpGolombCodesAndRoundTrips)
{
    struct Case {
        int64_t value;  // ue(v) where `unsigned`, else se(v)
        bool isUnsigned;
        std::string code;  // empty: only the round trip and the length are checked
    };
    const Case cases[] = {
        {0, true, "1"},
        {1, true, "010"},
        {2, true, "011"},
        {3, true, "00100"},
        {7, true, "0001000"},
        {254, true, "000000011111111"},
        {65535, true, ""},
        {UINT32_MAX - 1, true, ""},
        {UINT32_MAX, true, ""},
        {0, false, "1"},
        {1, false, "010"},
        {-1, false, "011"},
        {2, false, "00100"},
        {-2, false, "00101"},
        {70000, false, ""},
        {INT32_MAX, false, ""},
        {-INT32_MAX, false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE((c.isUnsigned ? "ue " : "se ") + std::to_string(c.value));
        BitWriter writer;
        WriteBits(writer, 1, 1);  // off the byte boundary
        if (c.isUnsigned) {
            WriteUe(writer, static_cast<uint32_t>(c.value));
        } else {
            WriteSe(writer, static_cast<int32_t>(c.value));
        }
        WriteBits(writer, 0x5, 3);
        const std::string bits = WrittenBits(writer);
        if (!c.code.empty()) {
            EXPECT_EQ(bits, "1" + c.code + "101");
        }
        // codeNum k takes 2 * floor(log2(k + 1)) + 1 bits.
        const uint64_t codeNum = c.isUnsigned ? static_cast<uint64_t>(c.value)
                                              : static_cast<uint64_t>(c.value > 0 ? 2 * c.value - 1 : -2 * c.value);
        int log2 = 0;
        while ((codeNum + 1) >> (log2 + 1) != 0) {
            ++log2;
        }
        EXPECT_EQ(bits.size(), static_cast<std::size_t>(2 * log2 + 1 + 4));
        BitReader reader{writer.bytes.data(), writer.bytes.size()};
        EXPECT_EQ(ReadBits(reader, 1), 1U);
        const int64_t read = c.isUnsigned ? int64_t{ReadUe(reader)} : int64_t{ReadSe(reader)};
        EXPECT_EQ(read, c.value);
        EXPECT_EQ(ReadBits(reader, 3), 0x5U);
        EXPECT_FALSE(reader.overrun);
    }
}

TEST(AvcBits, ReadsFixedLengthsAndStopsAtTheEnd)
{
    const std::vector<uint8_t> bytes = Bytes("a5ff0180");
    BitReader reader{bytes.data(), bytes.size()};
    EXPECT_EQ(ReadBits(reader, 0), 0U);
    EXPECT_EQ(ReadBits(reader, 4), 0xAU);
    EXPECT_FALSE(ReadFlag(reader));
    EXPECT_EQ(ReadBits(reader, 3), 0x5U);
    EXPECT_EQ(ReadBits(reader, 32 - 8), 0xFF0180U);
    EXPECT_FALSE(reader.overrun);
    EXPECT_EQ(ReadBits(reader, 2), 0U);  // past the end: zeros, and said
    EXPECT_TRUE(reader.overrun);

    const std::vector<uint8_t> all = Bytes("deadbeef");
    BitReader whole{all.data(), all.size()};
    EXPECT_EQ(ReadBits(whole, 32), 0xDEADBEEFU);
    EXPECT_FALSE(whole.overrun);

    // Cut-off and oversized exp-Golomb codes.
    // Cut-off exp-Golomb codes (FromBits pads them with zeros to the
    // byte's end), more than 32 leading zeros, a value above 2^32 - 1.
    for (const char* bits : {"", "0000", "0000 0000 1", "0000 0000 0000 0000 0000 0000 0000 0000 01",
                             "0000 0000 0000 0000 0000 0000 0000 0000 1 0000 0000 0000 0000 0000 0000 0000 0001"}) {
        SCOPED_TRACE(bits);
        const std::vector<uint8_t> code = FromBits(bits);
        BitReader ue{code.data(), code.size()};
        ReadUe(ue);
        EXPECT_TRUE(ue.overrun);
    }
}

TEST(AvcBits, MoreRbspDataStopsAtTheStopBit)
{
    struct Case {
        const char* hex;
        std::size_t bit;
        bool more;
    };
    const Case cases[] = {
        {"80", 0, false},     {"c0", 0, true},   {"c0", 1, false}, {"4000", 0, true},
        {"4000", 1, false},   {"0180", 7, true}, {"0180", 8, false}, {"", 0, false},
        {"0000", 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.hex) + " at " + std::to_string(c.bit));
        const std::vector<uint8_t> bytes = Bytes(c.hex);
        EXPECT_EQ(MoreRbspData(BitReader{bytes.data(), bytes.size(), c.bit}), c.more);
    }
}

TEST(AvcBits, EmulationPreventionBothWays)
{
    struct Case {
        const char* rbsp;
        const char* escaped;
    };
    const Case cases[] = {
        {"000000", "0000030003"},  // a last zero byte is followed by 0x03
        {"0000", "000003"},
        {"000001", "00000301"},
        {"000002", "00000302"},
        {"000003", "00000303"},
        {"00000480", "00000480"},
        {"0100000180", "010000030180"},
        {"000000000180", "0000030000030180"},  // the count starts again after the 0x03
        {"00010080", "00010080"},
        {"0001000001", "000100000301"},
        {"", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rbsp);
        const std::vector<uint8_t> rbsp = Bytes(c.rbsp);
        std::vector<uint8_t> escaped{0x67};  // appended after what is there
        Escape(rbsp.data(), rbsp.size(), escaped);
        EXPECT_EQ(Hex(escaped), std::string("67") + c.escaped);
        std::vector<uint8_t> back{0xAA};  // replaced
        Unescape(escaped.data() + 1, escaped.size() - 1, back);
        if (std::string(c.rbsp) != "000000") {  // the lone last 0x03 is not one to take out
            EXPECT_EQ(Hex(back), c.rbsp);
        }
    }
    // Unescape takes out a 0x03 only after two zero bytes.
    const std::pair<const char*, const char*> unescapes[] = {
        {"0003", "0003"}, {"00000303", "000003"}, {"000003", "0000"}, {"0000030000030180", "000000000180"},
        {"00000300030000", "000000030000"},
    };
    for (const auto& [payload, rbsp] : unescapes) {
        const std::vector<uint8_t> bytes = Bytes(payload);
        std::vector<uint8_t> out;
        Unescape(bytes.data(), bytes.size(), out);
        EXPECT_EQ(Hex(out), rbsp) << payload;
    }
}

// The fields ParseSps gives, in one line.
std::string Summary(const AvcSps& s)
{
    std::ostringstream out;
    out << "profile " << s.profileIdc << " level " << s.levelIdc << " id " << s.id << " chroma " << s.chromaFormatIdc
        << (s.separateColourPlane ? " planes" : "") << " frame_num " << s.log2MaxFrameNum << " poc "
        << s.picOrderCntType;
    if (s.picOrderCntType == 0) {
        out << "/" << s.log2MaxPicOrderCntLsb;
    } else if (s.picOrderCntType == 1) {
        out << " " << s.deltaPicOrderAlwaysZero << " " << s.offsetForNonRefPic << " " << s.offsetForTopToBottomField
            << " [";
        for (const int32_t offset : s.offsetForRefFrame) {
            out << " " << offset;
        }
        out << " ]";
    }
    out << " refs " << s.maxNumRefFrames << " mbs " << s.widthInMbs << "x" << s.heightInMapUnits
        << (s.frameMbsOnly ? " frames" : s.mbAdaptiveFrameField ? " mbaff" : " fields") << " shown " << s.width << "x"
        << s.height << " vui " << s.vuiPresent << " timing " << s.timingInfoPresent << " " << s.numUnitsInTick << "/"
        << s.timeScale << (s.fixedFrameRate ? " fixed" : "") << " hrd " << s.nalHrd << s.vclHrd << " "
        << s.cpbRemovalDelayLength << "/" << s.dpbOutputDelayLength << "/" << s.timeOffsetLength << " pic_struct "
        << s.picStructPresent << " bits " << s.timingBit << "/" << s.picStructBit;
    return out.str();
}

SyntaxError ParseNal(const std::string& hex, AvcSps& sps, std::vector<uint8_t>& rbsp)
{
    const std::vector<uint8_t> nal = Bytes(hex);
    Unescape(nal.data() + 1, nal.size() - 1, rbsp);
    return ParseSps(rbsp.data(), rbsp.size(), sps);
}

// SPS NAL units (header byte first, as in the stream).
// x264 defaults, 320x240 at 24000/1001.
const std::string kX264Sps = "6764000dacd94141fb011000003e90000bb808f1429960";
// x264 --pulldown 32 of the same: time_scale 60000, pic_struct_present_flag 1.
const std::string kX264PulldownSps = "6764000dacd94141fb011000003e90000ea609f1429960";
// x264 --nal-hrd vbr --vbv-maxrate 2000 --vbv-bufsize 2000, and with --pulldown 32.
const std::string kX264HrdSps = "67640014acd94141fb011000003e90000bb80e26000f424001e84a4c30078a14cb";
const std::string kX264HrdPulldownSps = "67640014acd94141fb011000003e90000ea60e26000f424001e84a4c300f8a14cb";
// ffmpeg -c:v libx264 of testsrc at 24 fps: 4:4:4, timing 1/48 escaped.
const std::string kLibx264Sps = "67f4000d919b28283f6022000003000200000300601e28532c";
// x264's SPS with HRD parameters of lengths 20, 18 and time_offset_length 12
// put in, and pic_struct_present_flag 1 (ffmpeg decodes x264's stream with it).
const std::string kTimeOffsetSps = "6764000dacd94141fb011000003e90000bb80e860640190bce2c3e28532c";
// Written to reach what encoders leave out: High 4:4:4 with separate colour
// planes, scaling lists (one falling back to the default, one ending early,
// delta_scale 127 and -128), picture order count type 1, MBAFF with
// cropping, Extended_SAR, colour description, chroma location, both kinds
// of HRD parameters, and a time_scale of 50 that needs emulation prevention.
const std::string kWrittenSps =
    "67f40033312db08ec871145309b21c44260b8407f00407fffffffffffffff1aa531082c00011170160b424e88cdff80140010fa808080d"
    "3800000300080000030192d0c50542c2d18175e7165218a0a8585b7f83ecd04020cb";

TEST(AvcSps, ReadsEveryFieldOfRealParameterSets)
{
    struct Case {
        const char* source;
        std::string nal;
        const char* fields;
    };
    const Case cases[] = {
        {"written", kWrittenSps,
         "profile 244 level 51 id 5 chroma 3 planes frame_num 16 poc 1 1 -2 3 [ 2 -5 70000 ] refs 4 mbs 45x18 mbaff "
         "shown 716x562 vui 1 timing 1 1/50 hrd 11 20/18/12 pic_struct 1 bits 437/652"},
        {"x264", kX264Sps,
         "profile 100 level 13 id 0 chroma 1 frame_num 4 poc 0/6 refs 4 mbs 20x15 frames shown 320x240 vui 1 timing 1 "
         "1001/48000 fixed hrd 00 24/24/24 pic_struct 0 bits 76/143"},
        {"x264 --tff", "67640015acd941410fcb808800001f480005dc04f8a14cb0",
         "profile 100 level 21 id 0 chroma 1 frame_num 4 poc 0/6 refs 4 mbs 20x8 mbaff shown 320x240 vui 1 timing 1 "
         "1001/48000 fixed hrd 00 24/24/24 pic_struct 1 bits 85/152"},
        {"x264 --output-csp i422", "677a000dbcd94141fb011000003e90000bb808f1429960",
         "profile 122 level 13 id 0 chroma 2 frame_num 4 poc 0/6 refs 4 mbs 20x15 frames shown 320x240 vui 1 timing 1 "
         "1001/48000 fixed hrd 00 24/24/24 pic_struct 0 bits 76/143"},
        {"x264 --nal-hrd vbr", kX264HrdSps,
         "profile 100 level 20 id 0 chroma 1 frame_num 4 poc 0/6 refs 4 mbs 20x15 frames shown 320x240 vui 1 timing 1 "
         "1001/48000 fixed hrd 10 13/7/0 pic_struct 0 bits 76/228"},
        {"x264 --output-csp i400 --tff 1080", "67640028f3a01e0113f2e02d9000003e90000bb809f162ea",
         "profile 100 level 40 id 0 chroma 0 frame_num 4 poc 0/4 refs 1 mbs 120x34 mbaff shown 1920x1080 vui 1 timing 1 "
         "1001/48000 fixed hrd 00 24/24/24 pic_struct 1 bits 92/159"},
        {"x264 --preset ultrafast 1080", "6742c028da01e0089f97011000003e90000bb808f1832a",
         "profile 66 level 40 id 0 chroma 1 frame_num 4 poc 2 refs 1 mbs 120x68 frames shown 1920x1080 vui 1 timing 1 "
         "1001/48000 fixed hrd 00 24/24/24 pic_struct 0 bits 84/151"},
        {"libx264", kLibx264Sps,
         "profile 244 level 13 id 0 chroma 3 frame_num 4 poc 0/6 refs 4 mbs 20x15 frames shown 320x240 vui 1 timing 1 "
         "1/48 hrd 00 24/24/24 pic_struct 0 bits 79/146"},
        {"libx264 nal-hrd=cbr 720x480", "6764001eacd940b43db01100000303e90000bb80604000f424001e84e4c30078b16cb0",
         "profile 100 level 30 id 0 chroma 1 frame_num 4 poc 0/6 refs 4 mbs 45x30 frames shown 720x480 vui 1 timing 1 "
         "1001/48000 hrd 10 13/7/0 pic_struct 0 bits 80/232"},
        {"x264 with time offsets", kTimeOffsetSps,
         "profile 100 level 13 id 0 chroma 1 frame_num 4 poc 0/6 refs 4 mbs 20x15 frames shown 320x240 vui 1 timing 1 "
         "1001/48000 fixed hrd 10 20/18/12 pic_struct 1 bits 76/202"},
    };
    AvcSps sps;  // each read starts afresh
    for (const Case& c : cases) {
        SCOPED_TRACE(c.source);
        std::vector<uint8_t> rbsp;
        ASSERT_EQ(ParseNal(c.nal, sps, rbsp), SyntaxError::kNone);
        EXPECT_EQ(Summary(sps), c.fields);
        // Cut anywhere before its last syntax element (the last byte holds
        // rbsp_stop_one_bit), it is refused as cut off.
        for (std::size_t size = 0; size + 1 < rbsp.size(); ++size) {
            AvcSps cut;
            ASSERT_EQ(ParseSps(rbsp.data(), size, cut), SyntaxError::kCutOff) << size << " bytes";
        }
        // Rewritten, it reads back the same but for the timing.
        const std::vector<uint8_t> nal =
            RewriteSps(Bytes(c.nal)[0], rbsp.data(), rbsp.size(), sps, 1001, 60000);
        ASSERT_FALSE(nal.empty());
        AvcSps rewritten;
        std::vector<uint8_t> rewrittenRbsp;
        ASSERT_EQ(ParseNal(Hex(nal), rewritten, rewrittenRbsp), SyntaxError::kNone);
        sps.numUnitsInTick = 1001;
        sps.timeScale = 60000;
        sps.fixedFrameRate = true;
        sps.picStructPresent = true;
        EXPECT_EQ(Summary(rewritten), Summary(sps));
        EXPECT_EQ(rewrittenRbsp.size(), rbsp.size());
    }
}

TEST(AvcSps, RewritesTheTimingBitExactWithEmulationPreventionRedone)
{
    struct Case {
        std::string nal;
        uint32_t numUnitsInTick;
        uint32_t timeScale;
        std::string rewritten;
    };
    const Case cases[] = {
        // As x264 writes it itself with --pulldown 32.
        {kX264Sps, 1001, 60000, kX264PulldownSps},
        {kX264HrdSps, 1001, 60000, kX264HrdPulldownSps},
        // 1/60: zero bytes in the new fields, 0x03 put in.
        {kX264Sps, 1, 60, "6764000dacd94141fb0110000003001000000303c9f1429960"},
        {kLibx264Sps, 1, 60, "67f4000d919b28283f6022000003000200000300793e28532c"},
        // 1001/60000 where 1/48 was: the 0x03s go.
        {kLibx264Sps, 1001, 60000, "67f4000d919b28283f6022000007d20001d4c13e28532c"},
        {kWrittenSps, 1001, 60000,
         "67f40033312db08ec871145309b21c44260b8407f00407fffffffffffffff1aa531082c00011170160b424e88cdff80140010fa80808"
         "0d3800001f4800075306d0c50542c2d18175e7165218a0a8585b7f83ecd04020cb"},
    };
    // Given less of the payload than was read, it writes nothing.
    AvcSps tff;
    std::vector<uint8_t> tffRbsp;
    ASSERT_EQ(ParseNal("67640015acd941410fcb808800001f480005dc04f8a14cb0", tff, tffRbsp), SyntaxError::kNone);
    ASSERT_EQ(tff.picStructBit, 19 * 8);
    EXPECT_TRUE(RewriteSps(0x67, tffRbsp.data(), 19, tff, 1001, 60000).empty());
    EXPECT_FALSE(RewriteSps(0x67, tffRbsp.data(), 20, tff, 1001, 60000).empty());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rewritten);
        AvcSps sps;
        std::vector<uint8_t> rbsp;
        ASSERT_EQ(ParseNal(c.nal, sps, rbsp), SyntaxError::kNone);
        EXPECT_EQ(Hex(RewriteSps(0x67, rbsp.data(), rbsp.size(), sps, c.numUnitsInTick, c.timeScale)), c.rewritten);
    }
}

// The fields of a small SPS written to test the range checks.
struct SpsFields {
    int64_t profileIdc = 100;
    int64_t id = 0;
    int64_t chromaFormatIdc = 1;
    int64_t bitDepthLumaMinus8 = 0;
    int64_t bitDepthChromaMinus8 = 0;
    std::vector<int32_t> deltaScales;  // of one scaling list, where any
    int scalingList = 0;               // which
    int64_t log2MaxFrameNumMinus4 = 0;
    int64_t picOrderCntType = 0;
    int64_t log2MaxPocLsbMinus4 = 0;
    int64_t refFramesInCycle = -1;  // pic_order_cnt_type 1 with this many, where not -1
    int64_t maxNumRefFrames = 1;
    int64_t widthMinus1 = 19;
    int64_t heightMinus1 = 14;
    int64_t cropRight = 0;
    int64_t cropBottom = 0;
    int64_t vui = 1;
    int64_t chromaLocTop = 0;
    int64_t chromaLocBottom = 0;
    int64_t numUnitsInTick = 1001;
    int64_t timeScale = 48000;
    int64_t cpbCntMinus1 = 0;
    int64_t extraBits = 0;  // a one bit before rbsp_trailing_bits, where 1
};

// The profiles whose SPS carries chroma_format_idc and the rest.
const int kHighProfiles[] = {100, 110, 122, 244, 44, 83, 86, 118, 128, 138, 139, 134, 135};

std::vector<uint8_t> WriteSps(const SpsFields& f)
{
    const auto u = [](int64_t value) { return static_cast<uint32_t>(value); };
    BitWriter w;
    WriteBits(w, u(f.profileIdc), 8);
    WriteBits(w, 0, 8);
    WriteBits(w, 30, 8);  // level_idc
    WriteUe(w, u(f.id));
    if (std::find(std::begin(kHighProfiles), std::end(kHighProfiles), f.profileIdc) != std::end(kHighProfiles)) {
        WriteUe(w, u(f.chromaFormatIdc));
        if (f.chromaFormatIdc == 3) {
            WriteBits(w, 0, 1);
        }
        WriteUe(w, u(f.bitDepthLumaMinus8));
        WriteUe(w, u(f.bitDepthChromaMinus8));
        WriteBits(w, 0, 1);
        WriteBits(w, !f.deltaScales.empty(), 1);
        for (int list = 0; !f.deltaScales.empty() && list < (f.chromaFormatIdc == 3 ? 12 : 8); ++list) {
            WriteBits(w, list == f.scalingList, 1);
            for (const int32_t delta : f.deltaScales) {
                if (list == f.scalingList) {
                    WriteSe(w, delta);
                }
            }
        }
    }
    WriteUe(w, u(f.log2MaxFrameNumMinus4));
    if (f.refFramesInCycle >= 0) {
        WriteUe(w, 1);
        WriteBits(w, 0, 1);
        WriteSe(w, 1);
        WriteSe(w, -1);
        WriteUe(w, u(f.refFramesInCycle));
        for (int64_t k = 0; k < f.refFramesInCycle && k < 300; ++k) {
            WriteSe(w, static_cast<int32_t>(k));
        }
    } else {
        WriteUe(w, u(f.picOrderCntType));
        if (f.picOrderCntType == 0) {
            WriteUe(w, u(f.log2MaxPocLsbMinus4));
        }
    }
    WriteUe(w, u(f.maxNumRefFrames));
    WriteBits(w, 0, 1);
    WriteUe(w, u(f.widthMinus1));
    WriteUe(w, u(f.heightMinus1));
    WriteBits(w, 0x3, 2);  // frame_mbs_only_flag, direct_8x8_inference_flag
    WriteBits(w, f.cropRight != 0 || f.cropBottom != 0, 1);
    if (f.cropRight != 0 || f.cropBottom != 0) {
        WriteUe(w, 0);
        WriteUe(w, u(f.cropRight));
        WriteUe(w, 0);
        WriteUe(w, u(f.cropBottom));
    }
    WriteBits(w, u(f.vui), 1);
    if (f.vui != 0) {
        WriteBits(w, 0, 3);  // no aspect ratio, overscan or video signal type
        WriteBits(w, 1, 1);
        WriteUe(w, u(f.chromaLocTop));
        WriteUe(w, u(f.chromaLocBottom));
        WriteBits(w, 1, 1);
        WriteBits(w, u(f.numUnitsInTick), 32);
        WriteBits(w, u(f.timeScale), 32);
        WriteBits(w, 1, 1);
        WriteBits(w, 1, 1);  // nal_hrd_parameters_present_flag
        WriteUe(w, u(f.cpbCntMinus1));
        WriteBits(w, 0, 8);
        for (int64_t k = 0; k <= f.cpbCntMinus1 && k < 40; ++k) {
            WriteUe(w, 0);
            WriteUe(w, 0);
            WriteBits(w, 0, 1);
        }
        WriteBits(w, 23, 5);
        WriteBits(w, 23, 5);
        WriteBits(w, 23, 5);
        WriteBits(w, 24, 5);
        WriteBits(w, 0, 4);  // no VCL HRD; low_delay_hrd_flag, pic_struct_present_flag, bitstream_restriction_flag
    }
    if (f.extraBits != 0) {
        WriteBits(w, 1, 1);
    }
    WriteTrailingBits(w);
    return w.bytes;
}

TEST(AvcSps, RefusesValuesOutOfRange)
{
    struct Case {
        const char* name;
        int64_t SpsFields::*field;
        int64_t value;
        SyntaxError error;
    };
    constexpr SyntaxError kOk = SyntaxError::kNone, kRange = SyntaxError::kOutOfRange;
    // 2^27 macroblocks are 2^31 samples, one more than an int holds.
    constexpr int64_t kMostMbs = (int64_t{1} << 27) - 1;
    const Case cases[] = {
        {"seq_parameter_set_id", &SpsFields::id, 31, kOk},
        {"seq_parameter_set_id", &SpsFields::id, 32, kRange},
        {"chroma_format_idc", &SpsFields::chromaFormatIdc, 3, kOk},
        {"chroma_format_idc", &SpsFields::chromaFormatIdc, 4, kRange},
        {"bit_depth_luma_minus8", &SpsFields::bitDepthLumaMinus8, 6, kOk},
        {"bit_depth_luma_minus8", &SpsFields::bitDepthLumaMinus8, 7, kRange},
        {"bit_depth_chroma_minus8", &SpsFields::bitDepthChromaMinus8, 6, kOk},
        {"bit_depth_chroma_minus8", &SpsFields::bitDepthChromaMinus8, 7, kRange},
        {"log2_max_frame_num_minus4", &SpsFields::log2MaxFrameNumMinus4, 12, kOk},
        {"log2_max_frame_num_minus4", &SpsFields::log2MaxFrameNumMinus4, 13, kRange},
        {"pic_order_cnt_type", &SpsFields::picOrderCntType, 2, kOk},
        {"pic_order_cnt_type", &SpsFields::picOrderCntType, 3, kRange},
        {"log2_max_pic_order_cnt_lsb_minus4", &SpsFields::log2MaxPocLsbMinus4, 12, kOk},
        {"log2_max_pic_order_cnt_lsb_minus4", &SpsFields::log2MaxPocLsbMinus4, 13, kRange},
        {"num_ref_frames_in_pic_order_cnt_cycle", &SpsFields::refFramesInCycle, 255, kOk},
        {"num_ref_frames_in_pic_order_cnt_cycle", &SpsFields::refFramesInCycle, 256, kRange},
        {"max_num_ref_frames", &SpsFields::maxNumRefFrames, 16, kOk},
        {"max_num_ref_frames", &SpsFields::maxNumRefFrames, 17, kRange},
        {"pic_width_in_mbs_minus1", &SpsFields::widthMinus1, kMostMbs - 1, kOk},
        {"pic_width_in_mbs_minus1", &SpsFields::widthMinus1, kMostMbs, kRange},
        {"pic_height_in_map_units_minus1", &SpsFields::heightMinus1, kMostMbs - 1, kOk},
        {"pic_height_in_map_units_minus1", &SpsFields::heightMinus1, kMostMbs, kRange},
        {"frame_crop_right_offset", &SpsFields::cropRight, 159, kOk},
        {"frame_crop_right_offset", &SpsFields::cropRight, 160, kRange},
        {"frame_crop_bottom_offset", &SpsFields::cropBottom, 119, kOk},
        {"frame_crop_bottom_offset", &SpsFields::cropBottom, 120, kRange},
        {"chroma_sample_loc_type_top_field", &SpsFields::chromaLocTop, 5, kOk},
        {"chroma_sample_loc_type_top_field", &SpsFields::chromaLocTop, 6, kRange},
        {"chroma_sample_loc_type_bottom_field", &SpsFields::chromaLocBottom, 5, kOk},
        {"chroma_sample_loc_type_bottom_field", &SpsFields::chromaLocBottom, 6, kRange},
        {"num_units_in_tick", &SpsFields::numUnitsInTick, 0, kRange},
        {"time_scale", &SpsFields::timeScale, 0, kRange},
        {"cpb_cnt_minus1", &SpsFields::cpbCntMinus1, 31, kOk},
        {"cpb_cnt_minus1", &SpsFields::cpbCntMinus1, 32, kRange},
        {"more before rbsp_trailing_bits", &SpsFields::extraBits, 1, kRange},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " " + std::to_string(c.value));
        SpsFields fields;
        fields.*c.field = c.value;
        const std::vector<uint8_t> rbsp = WriteSps(fields);
        AvcSps sps;
        EXPECT_EQ(ParseSps(rbsp.data(), rbsp.size(), sps), c.error);
        if (c.error == kOk) {
            EXPECT_EQ(sps.id, fields.id);
            EXPECT_EQ(sps.chromaFormatIdc, fields.chromaFormatIdc);
            EXPECT_EQ(sps.maxNumRefFrames, fields.maxNumRefFrames);
            EXPECT_EQ(sps.width, 16 * (fields.widthMinus1 + 1) - 2 * fields.cropRight);
            EXPECT_EQ(sps.height, 16 * (fields.heightMinus1 + 1) - 2 * fields.cropBottom);
            EXPECT_EQ(sps.offsetForRefFrame.size(), static_cast<std::size_t>(std::max<int64_t>(fields.refFramesInCycle, 0)));
            EXPECT_EQ(sps.timeScale, 48000U);
            EXPECT_EQ(sps.cpbRemovalDelayLength, 24);
        }
    }
}

TEST(AvcSps, ReadsScalingListsProfilesCroppingAndNoVui)
{
    // A list ends where the next scale would be 0 (a first delta_scale
    // taking it there picks the default list), else after 16 or 64.
    const std::vector<int32_t> sixteen(16, 0);
    const std::vector<int32_t> sixtyFour(64, 0);
    const struct {
        int list;
        std::vector<int32_t> deltas;
        SyntaxError error;
    } lists[] = {
        {0, {-8}, SyntaxError::kNone},
        {0, {3, -11}, SyntaxError::kNone},
        {0, {-128, 120}, SyntaxError::kNone},  // 136 + 120 wraps to 0
        {0, {100, 120, 28}, SyntaxError::kNone},  // 108, 228, then 256 wraps to 0
        {0, {127, -128, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, SyntaxError::kNone},
        {5, sixteen, SyntaxError::kNone},
        {6, sixtyFour, SyntaxError::kNone},
        {7, sixtyFour, SyntaxError::kNone},
        // Out of range, in a list that would otherwise read well.
        {0, {128, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, SyntaxError::kOutOfRange},
        {0, {-129, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, SyntaxError::kOutOfRange},
    };
    for (const auto& [list, deltas, error] : lists) {
        SCOPED_TRACE(std::to_string(list) + ": " + std::to_string(deltas.size()));
        SpsFields fields;
        fields.scalingList = list;
        fields.deltaScales = deltas;
        const std::vector<uint8_t> rbsp = WriteSps(fields);
        AvcSps sps;
        ASSERT_EQ(ParseSps(rbsp.data(), rbsp.size(), sps), error);
    }
    // chroma_format_idc and what follows it only in the high profiles.
    std::vector<std::pair<int, int>> profileChroma{{66, 1}, {77, 1}, {88, 1}};  // Baseline, Main, Extended
    for (const int profile : kHighProfiles) {
        profileChroma.emplace_back(profile, 2);
    }
    for (const auto& [profile, chroma] : profileChroma) {
        SCOPED_TRACE(profile);
        SpsFields fields;
        fields.profileIdc = profile;
        fields.chromaFormatIdc = 2;
        const std::vector<uint8_t> rbsp = WriteSps(fields);
        AvcSps sps;
        ASSERT_EQ(ParseSps(rbsp.data(), rbsp.size(), sps), SyntaxError::kNone);
        EXPECT_EQ(sps.chromaFormatIdc, chroma);
        EXPECT_EQ(sps.timeScale, 48000U);
    }
    // Cropping in units of the chroma samples (frames only).
    const int shown[][2] = {{317, 235}, {314, 230}, {314, 235}, {317, 235}};
    for (int chroma = 0; chroma <= 3; ++chroma) {
        SpsFields fields;
        fields.chromaFormatIdc = chroma;
        fields.cropRight = 3;
        fields.cropBottom = 5;
        const std::vector<uint8_t> rbsp = WriteSps(fields);
        AvcSps sps;
        ASSERT_EQ(ParseSps(rbsp.data(), rbsp.size(), sps), SyntaxError::kNone);
        EXPECT_EQ(sps.width, shown[chroma][0]) << "chroma_format_idc " << chroma;
        EXPECT_EQ(sps.height, shown[chroma][1]) << "chroma_format_idc " << chroma;
    }
    // The largest size shown: what an int holds, cropped by one sample.
    SpsFields largest;
    largest.chromaFormatIdc = 0;
    largest.widthMinus1 = largest.heightMinus1 = (int64_t{1} << 27) - 1;
    largest.cropRight = largest.cropBottom = 1;
    const std::vector<uint8_t> largestRbsp = WriteSps(largest);
    AvcSps largestSps;
    ASSERT_EQ(ParseSps(largestRbsp.data(), largestRbsp.size(), largestSps), SyntaxError::kNone);
    EXPECT_EQ(largestSps.width, INT32_MAX);
    EXPECT_EQ(largestSps.height, INT32_MAX);
    // Without a VUI there is no timing to rewrite.
    SpsFields noVui;
    noVui.vui = 0;
    const std::vector<uint8_t> rbsp = WriteSps(noVui);
    AvcSps sps;
    ASSERT_EQ(ParseSps(rbsp.data(), rbsp.size(), sps), SyntaxError::kNone);
    EXPECT_FALSE(sps.vuiPresent);
    EXPECT_EQ(sps.timingBit, -1);
    EXPECT_EQ(sps.picStructBit, -1);
    EXPECT_TRUE(RewriteSps(0x67, rbsp.data(), rbsp.size(), sps, 1001, 60000).empty());
}

// The messages of an SEI payload, "type@offset+size" each, or the error.
std::string Messages(const std::string& hex)
{
    const std::vector<uint8_t> rbsp = Bytes(hex);
    std::vector<SeiMessage> messages(1);  // replaced
    switch (ParseSeiMessages(rbsp.data(), rbsp.size(), messages)) {
    case SyntaxError::kNone:
        break;
    case SyntaxError::kCutOff:
        return "cut off";
    default:
        return "error";
    }
    std::string text;
    for (const SeiMessage& m : messages) {
        text += (text.empty() ? "" : " ") + std::to_string(m.type) + "@" + std::to_string(m.offset) + "+" +
                std::to_string(m.size);
    }
    return text;
}

// Two pic_timing messages for kTimeOffsetSps, with clock timestamps: full,
// absent, and seconds and minutes (pic_struct 6); seconds absent, seconds
// to hours, absent (pic_struct 8).
const std::string kClockTimestampSei =
    "01121e2400001dac9477beaff38c0203955000b001101e2400001e30080c00b804072aa4e00a80";

TEST(AvcSei, FindsTheMessagesOfAPayload)
{
    const std::pair<std::string, std::string> cases[] = {
        {"000593c670465380", "0@2+5"},  // x264's buffering_period
        {kClockTimestampSei, "1@2+18 1@22+16"},
        {"ffff0501aa80", "515@4+1"},
        {"05ff01" + Repeat("aa", 256) + "80", "5@3+256"},
        {"050080", "5@2+0"},
        {"010151", "1@2+1"},                   // no trailing bits
        {"010500004580", "cut off"},         // the payload runs past the end
        {"01015101050080", "cut off"},
        {"ffff", "cut off"},
        {"01", "cut off"},
        {"01ff", "cut off"},
    };
    for (const auto& [rbsp, messages] : cases) {
        EXPECT_EQ(Messages(rbsp), messages) << rbsp;
    }
}

TEST(AvcSei, ReadsAndBuildsPictureTiming)
{
    struct Case {
        std::string sps;
        std::string payload;
        const char* timing;  // "cpb_removal_delay dpb_output_delay pic_struct", or the error
        const char* built;   // BuildPicTiming of it; nullptr: the payload itself
    };
    const Case cases[] = {
        // x264 --nal-hrd vbr --pulldown 32.
        {kX264HrdPulldownSps, "00004510", "0 4 5", nullptr},
        {kX264HrdPulldownSps, "00303610", "6 3 6", nullptr},
        {kX264HrdPulldownSps, "00380420", "7 0 4", nullptr},
        {kX264HrdPulldownSps, "00581320", "11 1 3", nullptr},
        // x264 --pulldown 32 and --tff.
        {kX264PulldownSps, "51", "0 0 5", nullptr},
        {kX264PulldownSps, "61", "0 0 6", nullptr},
        {kX264PulldownSps, "42", "0 0 4", nullptr},
        {kX264PulldownSps, "32", "0 0 3", nullptr},
        {kTimeOffsetSps, kClockTimestampSei.substr(4, 36), "123456 7 6", "1e2400001d84"},
        {kTimeOffsetSps, kClockTimestampSei.substr(44, 32), "123456 7 8", "1e2400001e04"},
        // HRD without pic_struct; neither.
        {"6764001eacd940b43db01100000303e90000bb80604000f424001e84e4c30078b16cb0", "0018b8", "3 11 -1", nullptr},
        {kX264Sps, "", "0 0 -1", nullptr},
        // Not ending as sei_payload does: more bytes, or bits other than
        // bit_equal_to_one and then zeros.
        {kX264HrdPulldownSps, "0058132000", "out of range", nullptr},
        {kX264HrdPulldownSps, "00581300", "out of range", nullptr},
        {kX264HrdPulldownSps, "00581321", "out of range", nullptr},
        {kX264Sps, "ff", "out of range", nullptr},
        {kX264PulldownSps, "90", "out of range", nullptr},
        {kX264PulldownSps, "f0", "out of range", nullptr},
        {kX264PulldownSps, "", "cut off", nullptr},
        {kX264HrdPulldownSps, "000045", "cut off", nullptr},
        {kTimeOffsetSps, kClockTimestampSei.substr(4, 34), "cut off", nullptr},
        {kTimeOffsetSps, kClockTimestampSei.substr(44, 30), "cut off", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.payload);
        AvcSps sps;
        std::vector<uint8_t> rbsp;
        ASSERT_EQ(ParseNal(c.sps, sps, rbsp), SyntaxError::kNone);
        const std::vector<uint8_t> payload = Bytes(c.payload);
        PicTiming timing;
        timing.picStruct = 99;
        const SyntaxError error = ParsePicTiming(payload.data(), payload.size(), sps, timing);
        const std::string read = error == SyntaxError::kCutOff      ? "cut off"
                                 : error == SyntaxError::kOutOfRange ? "out of range"
                                 : std::to_string(timing.cpbRemovalDelay) + " " +
                                       std::to_string(timing.dpbOutputDelay) + " " +
                                       std::to_string(timing.picStruct);
        EXPECT_EQ(read, c.timing);
        if (error == SyntaxError::kNone) {
            EXPECT_EQ(Hex(BuildPicTiming(sps, timing)), c.built == nullptr ? c.payload : c.built);
        }
    }
}

TEST(AvcSei, BuildsTheNalUnit)
{
    // pic_struct 0 to 8, no HRD: four bits, a zero clock_timestamp_flag for
    // each clock timestamp, then the payload's alignment.
    AvcSps sps;
    sps.picStructPresent = true;
    const char* const payloads[] = {"04", "14", "24", "32", "42", "51", "61", "72", "81"};
    for (int picStruct = 0; picStruct <= kPicStructFrameTripling; ++picStruct) {
        PicTiming timing;
        timing.picStruct = picStruct;
        EXPECT_EQ(Hex(BuildSeiNal({kSeiPicTiming}, {BuildPicTiming(sps, timing)})),
                  std::string("060101") + payloads[picStruct] + "80");
    }
    // Builds what it reads: types and sizes of 255 and more, a zero-length
    // payload, emulation prevention within and across payloads.
    const std::vector<uint8_t> large = Bytes(Repeat("aa", 300));
    const std::vector<uint8_t> nal = BuildSeiNal({kSeiBufferingPeriod, 300, 255, kSeiPicTiming},
                                                 {Bytes("93c6704653"), large, {}, Bytes("000001")});
    EXPECT_EQ(Hex(nal), "06000593c6704653ff2dff2d" + Repeat("aa", 300) + "ff00000301030000030180");
    std::vector<uint8_t> rbsp;
    Unescape(nal.data() + 1, nal.size() - 1, rbsp);
    EXPECT_EQ(Messages(Hex(rbsp)), "0@2+5 300@11+300 255@314+0 1@316+3");
}

}  // namespace
