// H.264 syntax: exp-Golomb codes and emulation prevention, the SPS read and
// its timing rewritten, SEI messages and the picture timing message. The
// parameter sets and messages are x264's and ffmpeg libx264's, with fields
// as ffmpeg's trace_headers bitstream filter prints them.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "avc_helpers.h"

namespace {

// "0010 0" as bytes, zero-padded.
Bytes FromBits(const std::string& bits)
{
    std::vector<Element> elements;
    for (const char bit : bits) {
        if (bit != ' ') {
            elements.push_back({1, bit == '1'});
        }
    }
    return Coded(elements);
}

TEST(AvcBits, ExpGolombCodesAndRoundTrips)
{
    // ue(v) where isUnsigned, else se(v); where the code is empty, only the
    // round trip is checked.
    const struct {
        int64_t value;
        bool isUnsigned;
        std::string code;
    } cases[] = {
        {0, true, "1"},         {1, true, "010"},           {2, true, "011"},
        {3, true, "00100"},     {7, true, "0001000"},       {254, true, "000000011111111"},
        {65535, true, ""},      {UINT32_MAX - 1, true, ""}, {UINT32_MAX, true, ""},
        {0, false, "1"},        {1, false, "010"},          {-1, false, "011"},
        {2, false, "00100"},    {-2, false, "00101"},       {70000, false, ""},
        {INT32_MAX, false, ""}, {-INT32_MAX, false, ""},
    };
    for (const auto& [value, isUnsigned, code] : cases) {
        SCOPED_TRACE((isUnsigned ? "ue " : "se ") + std::to_string(value));
        // Off the byte boundary, and followed by 101.
        const Bytes bytes = Coded({{1, 1}, {isUnsigned ? kUe : kSe, value}, {3, 5}});
        if (!code.empty()) {
            EXPECT_EQ(bytes, FromBits("1" + code + "101"));
        }
        BitReader reader{bytes.data(), bytes.size()};
        EXPECT_EQ(ReadBits(reader, 1), 1U);
        EXPECT_EQ(isUnsigned ? int64_t{ReadUe(reader)} : int64_t{ReadSe(reader)}, value);
        EXPECT_EQ(ReadBits(reader, 3), 5U);
        EXPECT_FALSE(reader.overrun);
    }
}

TEST(AvcBits, UeCodesCutOffOrTooLongAreOverruns)
{
    // Cut-off exp-Golomb codes (zero-padded to the byte's end), more than
    // 32 leading zeros, a value above 2^32 - 1.
    for (const char* bits : {"", "0000", "0000 0000 1", "0000 0000 0000 0000 0000 0000 0000 0000 01",
                             "0000 0000 0000 0000 0000 0000 0000 0000 1 0000 0000 0000 0000 0000 0000 0000 0001"}) {
        const Bytes code = FromBits(bits);
        BitReader ue{code.data(), code.size()};
        ReadUe(ue);
        EXPECT_TRUE(ue.overrun) << bits;
    }
}

TEST(AvcBits, MoreRbspDataStopsAtTheStopBit)
{
    const struct {
        const char* hex;
        std::size_t bit;
        bool more;
    } cases[] = {{"80", 0, false},  {"c0", 0, true},    {"c0", 1, false}, {"4000", 0, true}, {"4000", 1, false},
                 {"0180", 7, true}, {"0180", 8, false}, {"", 0, false},   {"0000", 0, false}};
    for (const auto& [hex, bit, more] : cases) {
        const Bytes bytes = Hex(hex);
        EXPECT_EQ(MoreRbspData(BitReader{bytes.data(), bytes.size(), bit}), more) << hex << " at " << bit;
    }
}

TEST(AvcBits, EmulationPreventionBothWays)
{
    // Escaped, then back; "000000" comes back with its last 0x03 kept, as
    // the lone last 0x03 is not one to take out.
    const std::pair<const char*, const char*> cases[] = {
        {"000000", "0000030003"},  // a last zero byte is followed by 0x03
        {"0000", "000003"},
        {"000001", "00000301"},
        {"000002", "00000302"},
        {"000003", "00000303"},
        {"00000480", "00000480"},
        {"0100000180", "010000030180"},
        {"00010080", "00010080"},
        {"000000000180", "0000030000030180"},  // the count starts again after the 0x03
        {"0001000001", "000100000301"},
        {"", ""},
    };
    for (const auto& [rbsp, escaped] : cases) {
        const Bytes bytes = Hex(rbsp);
        Bytes out{0x67};  // appended after what is there
        Escape(bytes.data(), bytes.size(), out);
        EXPECT_EQ(ToHex(out), std::string("67") + escaped);
        Bytes back{0xAA};  // replaced
        Unescape(out.data() + 1, out.size() - 1, back);
        EXPECT_EQ(ToHex(back), std::string(rbsp) == "000000" ? "00000003" : rbsp);
    }
    // Unescape takes out a 0x03 only after two zero bytes.
    for (const auto& [payload, rbsp] : std::vector<std::pair<const char*, const char*>>{
             {"0003", "0003"}, {"00000303", "000003"}, {"00000300030000", "000000030000"}}) {
        const Bytes bytes = Hex(payload);
        Bytes out;
        Unescape(bytes.data(), bytes.size(), out);
        EXPECT_EQ(ToHex(out), rbsp) << payload;
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
        << (s.frameMbsOnly           ? " frames"
            : s.mbAdaptiveFrameField ? " mbaff"
                                     : " fields")
        << " shown " << s.width << "x" << s.height << " vui " << s.vuiPresent << " timing " << s.timingInfoPresent
        << " " << s.numUnitsInTick << "/" << s.timeScale << (s.fixedFrameRate ? " fixed" : "") << " hrd " << s.nalHrd
        << s.vclHrd << " " << s.cpbRemovalDelayLength << "/" << s.dpbOutputDelayLength << "/" << s.timeOffsetLength
        << " pic_struct " << s.picStructPresent << " bits " << s.timingBit << "/" << s.picStructBit;
    return out.str();
}

// An SPS NAL unit (header byte first, as in the stream) read.
SyntaxError ParseNal(const std::string& hex, AvcSps& sps, Bytes& rbsp)
{
    const Bytes nal = Hex(hex);
    Unescape(nal.data() + 1, nal.size() - 1, rbsp);
    return ParseSps(rbsp.data(), rbsp.size(), sps);
}

// x264 defaults, 320x240 at 24000/1001; with --pulldown 32: time_scale
// 60000, pic_struct_present_flag 1.
const std::string kX264Sps = "6764000dacd94141fb011000003e90000bb808f1429960";
const std::string kX264PulldownSps = "6764000dacd94141fb011000003e90000ea609f1429960";
// x264 --nal-hrd vbr --vbv-maxrate 2000 --vbv-bufsize 2000, and with --pulldown 32.
const std::string kX264HrdSps = "67640014acd94141fb011000003e90000bb80e26000f424001e84a4c30078a14cb";
const std::string kX264HrdPulldownSps = "67640014acd94141fb011000003e90000ea60e26000f424001e84a4c300f8a14cb";
// x264 --tff: MBAFF, pic_struct_present_flag 1.
const std::string kX264TffSps = "67640015acd941410fcb808800001f480005dc04f8a14cb0";
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
    const std::pair<std::string, const char*> cases[] = {
        {kWrittenSps,
         "profile 244 level 51 id 5 chroma 3 planes frame_num 16 poc 1 1 -2 3 [ 2 -5 70000 ] refs 4 mbs 45x18 mbaff "
         "shown 716x562 vui 1 timing 1 1/50 hrd 11 20/18/12 pic_struct 1 bits 437/652"},
        {kX264Sps,
         "profile 100 level 13 id 0 chroma 1 frame_num 4 poc 0/6 refs 4 mbs 20x15 frames shown 320x240 vui 1 "
         "timing 1 1001/48000 fixed hrd 00 24/24/24 pic_struct 0 bits 76/143"},
        {kX264TffSps,
         "profile 100 level 21 id 0 chroma 1 frame_num 4 poc 0/6 refs 4 mbs 20x8 mbaff shown 320x240 vui 1 "
         "timing 1 1001/48000 fixed hrd 00 24/24/24 pic_struct 1 bits 85/152"},
        {kLibx264Sps,
         "profile 244 level 13 id 0 chroma 3 frame_num 4 poc 0/6 refs 4 mbs 20x15 frames shown 320x240 vui "
         "1 timing 1 1/48 hrd 00 24/24/24 pic_struct 0 bits 79/146"},
    };
    AvcSps sps;  // each read starts afresh
    for (const auto& [nal, fields] : cases) {
        Bytes rbsp;
        ASSERT_EQ(ParseNal(nal, sps, rbsp), SyntaxError::kNone) << nal;
        EXPECT_EQ(Summary(sps), fields);
        // Cut anywhere before its last byte (which holds rbsp_stop_one_bit),
        // it is refused as cut off.
        for (std::size_t size = 0; size + 1 < rbsp.size(); ++size) {
            AvcSps cut;
            ASSERT_EQ(ParseSps(rbsp.data(), size, cut), SyntaxError::kCutOff) << nal << " in " << size << " bytes";
        }
    }
}

TEST(AvcSps, RewritesTheTimingBitExactWithEmulationPreventionRedone)
{
    const struct {
        std::string nal;
        uint32_t numUnitsInTick;
        uint32_t timeScale;
        std::string rewritten;
    } cases[] = {
        // As x264 writes it itself with --pulldown 32.
        {kX264Sps, 1001, 60000, kX264PulldownSps},
        // 1/60: zero bytes in the new fields, 0x03 put in; 1001/60000 where
        // 1/48 was: the 0x03s go.
        {kX264Sps, 1, 60, "6764000dacd94141fb0110000003001000000303c9f1429960"},
        {kLibx264Sps, 1001, 60000, "67f4000d919b28283f6022000007d20001d4c13e28532c"},
    };
    for (const auto& [nal, numUnitsInTick, timeScale, rewritten] : cases) {
        AvcSps sps;
        Bytes rbsp;
        ASSERT_EQ(ParseNal(nal, sps, rbsp), SyntaxError::kNone);
        EXPECT_EQ(ToHex(RewriteSps(0x67, rbsp.data(), rbsp.size(), sps, numUnitsInTick, timeScale)), rewritten);
    }
    // Given less of the payload than was read, it writes nothing.
    AvcSps tff;
    Bytes rbsp;
    ASSERT_EQ(ParseNal(kX264TffSps, tff, rbsp), SyntaxError::kNone);
    ASSERT_EQ(tff.picStructBit, 19 * 8);
    EXPECT_TRUE(RewriteSps(0x67, rbsp.data(), 19, tff, 1001, 60000).empty());
    EXPECT_FALSE(RewriteSps(0x67, rbsp.data(), 20, tff, 1001, 60000).empty());
}

// The fields of a small SPS (x264's 320x240 but for what a case changes).
struct SpsFields {
    int64_t profileIdc = 100, id = 0, chromaFormatIdc = 1, bitDepthLumaMinus8 = 0, bitDepthChromaMinus8 = 0;
    std::vector<int32_t> deltaScales;  // of scaling list `scalingList`, where any
    int scalingList = 0;
    int64_t log2MaxFrameNumMinus4 = 0, picOrderCntType = 0, log2MaxPocLsbMinus4 = 0;
    int64_t refFramesInCycle = -1;  // pic_order_cnt_type 1 with this many, where not -1
    int64_t maxNumRefFrames = 1, widthMinus1 = 19, heightMinus1 = 14, cropRight = 0, cropBottom = 0;
    int64_t vui = 1, chromaLocTop = 0, chromaLocBottom = 0, numUnitsInTick = 1001, timeScale = 48000;
    int64_t cpbCntMinus1 = 0;
    int64_t extraBits = 0;  // a one bit before rbsp_trailing_bits, where 1
};

// The profiles whose SPS carries chroma_format_idc and the rest.
const int kHighProfiles[] = {100, 110, 122, 244, 44, 83, 86, 118, 128, 138, 139, 134, 135};

Bytes WriteSps(const SpsFields& f)
{
    std::vector<Element> e = {{8, f.profileIdc}, {8, 0}, {8, 30}, {kUe, f.id}};  // level_idc 30
    const auto add = [&e](const std::vector<Element>& more) { e.insert(e.end(), more.begin(), more.end()); };
    if (std::find(std::begin(kHighProfiles), std::end(kHighProfiles), f.profileIdc) != std::end(kHighProfiles)) {
        e.push_back({kUe, f.chromaFormatIdc});
        if (f.chromaFormatIdc == 3) {
            e.push_back({1, 0});  // separate_colour_plane_flag
        }
        add({{kUe, f.bitDepthLumaMinus8}, {kUe, f.bitDepthChromaMinus8}, {1, 0}, {1, !f.deltaScales.empty()}});
        for (int list = 0; !f.deltaScales.empty() && list < (f.chromaFormatIdc == 3 ? 12 : 8); ++list) {
            e.push_back({1, list == f.scalingList});
            for (std::size_t k = 0; list == f.scalingList && k < f.deltaScales.size(); ++k) {
                e.push_back({kSe, f.deltaScales[k]});
            }
        }
    }
    add({{kUe, f.log2MaxFrameNumMinus4}, {kUe, f.refFramesInCycle >= 0 ? 1 : f.picOrderCntType}});
    if (f.refFramesInCycle >= 0) {
        add({{1, 0}, {kSe, 1}, {kSe, -1}, {kUe, f.refFramesInCycle}});
        for (int64_t k = 0; k < f.refFramesInCycle && k < 300; ++k) {
            e.push_back({kSe, k});
        }
    } else if (f.picOrderCntType == 0) {
        e.push_back({kUe, f.log2MaxPocLsbMinus4});
    }
    // frame_mbs_only_flag and direct_8x8_inference_flag 1, cropping.
    const bool crop = f.cropRight != 0 || f.cropBottom != 0;
    add({{kUe, f.maxNumRefFrames}, {1, 0}, {kUe, f.widthMinus1}, {kUe, f.heightMinus1}, {2, 3}, {1, crop}});
    if (crop) {
        add({{kUe, 0}, {kUe, f.cropRight}, {kUe, 0}, {kUe, f.cropBottom}});
    }
    e.push_back({1, f.vui});
    if (f.vui != 0) {
        // No aspect ratio, overscan or video signal type; chroma location,
        // timing, NAL HRD of lengths 24.
        add({{3, 0},
             {1, 1},
             {kUe, f.chromaLocTop},
             {kUe, f.chromaLocBottom},
             {1, 1},
             {32, f.numUnitsInTick},
             {32, f.timeScale},
             {1, 1},
             {1, 1},
             {kUe, f.cpbCntMinus1},
             {8, 0}});
        for (int64_t k = 0; k <= f.cpbCntMinus1 && k < 40; ++k) {
            add({{kUe, 0}, {kUe, 0}, {1, 0}});
        }
        add({{5, 23}, {5, 23}, {5, 23}, {5, 24}, {4, 0}});  // no VCL HRD, pic_struct or bitstream_restriction
    }
    if (f.extraBits != 0) {
        e.push_back({1, 1});
    }
    e.push_back({1, 1});  // rbsp_stop_one_bit
    return Coded(e);
}

SyntaxError ParseFields(const SpsFields& fields, AvcSps& sps)
{
    const Bytes rbsp = WriteSps(fields);
    return ParseSps(rbsp.data(), rbsp.size(), sps);
}

TEST(AvcSps, RefusesValuesOutOfRange)
{
    // The most each field may be, then one more (for the timing, the least
    // and one less).
    constexpr int64_t kMostMbs = (int64_t{1} << 27) - 2;  // 2^27 macroblocks are 2^31 samples
    const struct {
        const char* name;
        int64_t SpsFields::*field;
        int64_t most;
        int64_t beyond;
    } cases[] = {
        {"seq_parameter_set_id", &SpsFields::id, 31, 32},
        {"chroma_format_idc", &SpsFields::chromaFormatIdc, 3, 4},
        {"bit_depth_luma_minus8", &SpsFields::bitDepthLumaMinus8, 6, 7},
        {"bit_depth_chroma_minus8", &SpsFields::bitDepthChromaMinus8, 6, 7},
        {"log2_max_frame_num_minus4", &SpsFields::log2MaxFrameNumMinus4, 12, 13},
        {"pic_order_cnt_type", &SpsFields::picOrderCntType, 2, 3},
        {"log2_max_pic_order_cnt_lsb_minus4", &SpsFields::log2MaxPocLsbMinus4, 12, 13},
        {"num_ref_frames_in_pic_order_cnt_cycle", &SpsFields::refFramesInCycle, 255, 256},
        {"max_num_ref_frames", &SpsFields::maxNumRefFrames, 16, 17},
        {"pic_width_in_mbs_minus1", &SpsFields::widthMinus1, kMostMbs, kMostMbs + 1},
        {"pic_height_in_map_units_minus1", &SpsFields::heightMinus1, kMostMbs, kMostMbs + 1},
        {"frame_crop_right_offset", &SpsFields::cropRight, 159, 160},
        {"frame_crop_bottom_offset", &SpsFields::cropBottom, 119, 120},
        {"chroma_sample_loc_type_top_field", &SpsFields::chromaLocTop, 5, 6},
        {"chroma_sample_loc_type_bottom_field", &SpsFields::chromaLocBottom, 5, 6},
        {"num_units_in_tick", &SpsFields::numUnitsInTick, 1, 0},
        {"time_scale", &SpsFields::timeScale, 1, 0},
        {"cpb_cnt_minus1", &SpsFields::cpbCntMinus1, 31, 32},
        {"more before rbsp_trailing_bits", &SpsFields::extraBits, 0, 1},
    };
    for (const auto& [name, field, most, beyond] : cases) {
        SCOPED_TRACE(name);
        SpsFields fields;
        fields.*field = beyond;
        AvcSps sps;
        EXPECT_EQ(ParseFields(fields, sps), SyntaxError::kOutOfRange);
        // The most is read, and what follows it in step up to
        // rbsp_trailing_bits (where a bit left over is refused).
        fields.*field = most;
        EXPECT_EQ(ParseFields(fields, sps), SyntaxError::kNone);
    }
}

TEST(AvcSps, ReadsScalingListsProfilesCroppingAndNoVui)
{
    // A list ends where the next scale would be 0 (a first delta_scale
    // taking it there picks the default list), else after 16 or 64.
    constexpr SyntaxError kOk = SyntaxError::kNone, kRange = SyntaxError::kOutOfRange;
    const struct {
        int list;
        std::vector<int32_t> deltas;
        SyntaxError error;
    } lists[] = {
        {0, {-8}, kOk},
        {0, {3, -11}, kOk},
        {0, {-128, 120}, kOk},      // 136 + 120 wraps to 0
        {0, {100, 120, 28}, kOk},   // 108, 228, then 256 wraps to 0
        {0, {127, -128, -7}, kOk},  // 135, 7, 0
        {5, std::vector<int32_t>(16, 0), kOk},
        {6, std::vector<int32_t>(64, 0), kOk},
        {7, std::vector<int32_t>(64, 0), kOk},
        // Out of range, in a list that would otherwise read well.
        {0, {128, -136}, kRange},
        {0, {-129, 121}, kRange},
    };
    for (const auto& [list, deltas, error] : lists) {
        SpsFields fields;
        fields.scalingList = list;
        fields.deltaScales = deltas;
        AvcSps sps;
        EXPECT_EQ(ParseFields(fields, sps), error) << list << ": " << deltas.size();
    }
    // chroma_format_idc and what follows it only in the high profiles.
    std::vector<std::pair<int, int>> profileChroma{{66, 1}, {77, 1}, {88, 1}};  // Baseline, Main, Extended
    for (const int profile : kHighProfiles) {
        profileChroma.emplace_back(profile, 2);
    }
    for (const auto& [profile, chroma] : profileChroma) {
        SpsFields fields;
        fields.profileIdc = profile;
        fields.chromaFormatIdc = 2;
        AvcSps sps;
        ASSERT_EQ(ParseFields(fields, sps), SyntaxError::kNone) << profile;
        EXPECT_EQ(sps.chromaFormatIdc, chroma) << profile;
        EXPECT_EQ(sps.timeScale, 48000U) << profile;
    }
    // Cropping in units of the chroma samples (frames only); the largest
    // size shown, what an int holds, cropped by one sample.
    constexpr int64_t kMost = (int64_t{1} << 27) - 1;
    const struct {
        int64_t chroma, widthMinus1, heightMinus1, right, bottom;
        int width, height;
    } crops[] = {{0, 19, 14, 3, 5, 317, 235},
                 {1, 19, 14, 3, 5, 314, 230},
                 {2, 19, 14, 3, 5, 314, 235},
                 {3, 19, 14, 3, 5, 317, 235},
                 {0, kMost, kMost, 1, 1, INT32_MAX, INT32_MAX}};
    for (const auto& [chroma, widthMinus1, heightMinus1, right, bottom, width, height] : crops) {
        SpsFields fields;
        fields.chromaFormatIdc = chroma;
        fields.widthMinus1 = widthMinus1;
        fields.heightMinus1 = heightMinus1;
        fields.cropRight = right;
        fields.cropBottom = bottom;
        AvcSps sps;
        ASSERT_EQ(ParseFields(fields, sps), SyntaxError::kNone);
        EXPECT_EQ(sps.width, width) << "chroma_format_idc " << chroma;
        EXPECT_EQ(sps.height, height) << "chroma_format_idc " << chroma;
    }
    // Without a VUI there is no timing to rewrite.
    SpsFields noVui;
    noVui.vui = 0;
    const Bytes rbsp = WriteSps(noVui);
    AvcSps sps;
    ASSERT_EQ(ParseSps(rbsp.data(), rbsp.size(), sps), SyntaxError::kNone);
    EXPECT_FALSE(sps.vuiPresent);
    EXPECT_EQ(sps.timingBit, -1);
    EXPECT_EQ(sps.picStructBit, -1);
    EXPECT_TRUE(RewriteSps(0x67, rbsp.data(), rbsp.size(), sps, 1001, 60000).empty());
}

// The messages of an SEI payload, "type@offset+size" each, or the error.
std::string Messages(const Bytes& rbsp)
{
    std::vector<SeiMessage> messages(1);  // replaced
    const SyntaxError error = ParseSeiMessages(rbsp.data(), rbsp.size(), messages);
    std::string text = error != SyntaxError::kNone ? ErrorName(error) : "";
    for (std::size_t k = 0; error == SyntaxError::kNone && k < messages.size(); ++k) {
        text += (k == 0 ? "" : " ") + std::to_string(messages[k].type) + "@" + std::to_string(messages[k].offset) +
                "+" + std::to_string(messages[k].size);
    }
    return text;
}

// Two pic_timing messages for kTimeOffsetSps, with clock timestamps: full,
// absent, and seconds and minutes (pic_struct 6); seconds absent, seconds
// to hours, absent (pic_struct 8).
const std::string kClockTimestampSei = "01121e2400001dac9477beaff38c0203955000b001101e2400001e30080c00b804072aa4e00a80";

TEST(AvcSei, FindsTheMessagesOfAPayload)
{
    const std::pair<std::string, std::string> cases[] = {
        {"000593c670465380", "0@2+5"},  // x264's buffering_period
        {kClockTimestampSei, "1@2+18 1@22+16"},
        {"ffff0501aa80", "515@4+1"},
        {"05ff01" + std::string(512, 'a') + "80", "5@3+256"},
        {"050080", "5@2+0"},
        {"010151", "1@2+1"},          // no trailing bits
        {"010500004580", "cut off"},  // the payload runs past the end
        {"01015101050080", "cut off"},
        {"ffff", "cut off"},
        {"01", "cut off"},
        {"01ff", "cut off"},
    };
    for (const auto& [rbsp, messages] : cases) {
        EXPECT_EQ(Messages(Hex(rbsp)), messages) << rbsp;
    }
}

TEST(AvcSei, ReadsAndBuildsPictureTiming)
{
    const struct {
        std::string sps;
        std::string payload;
        const char* timing;  // "cpb_removal_delay dpb_output_delay pic_struct", or the error
        const char* built;   // BuildPicTiming of it; nullptr: the payload itself
    } cases[] = {
        // x264 --nal-hrd vbr --pulldown 32; x264 --pulldown 32 and --tff.
        {kX264HrdPulldownSps, "00004510", "0 4 5", nullptr},
        {kX264HrdPulldownSps, "00581320", "11 1 3", nullptr},
        {kX264PulldownSps, "51", "0 0 5", nullptr},
        {kX264PulldownSps, "42", "0 0 4", nullptr},
        {kX264PulldownSps, "32", "0 0 3", nullptr},
        {kTimeOffsetSps, kClockTimestampSei.substr(4, 36), "123456 7 6", "1e2400001d84"},
        {kTimeOffsetSps, kClockTimestampSei.substr(44, 32), "123456 7 8", "1e2400001e04"},
        // HRD without pic_struct; neither.
        {kX264HrdSps, "0018b8", "3 11 -1", nullptr},
        {kX264Sps, "", "0 0 -1", nullptr},
        // Not ending as sei_payload does: more bytes, or bits other than
        // bit_equal_to_one and then zeros.
        {kX264HrdPulldownSps, "0058132000", "out of range", nullptr},
        {kX264HrdPulldownSps, "00581300", "out of range", nullptr},
        {kX264HrdPulldownSps, "00581321", "out of range", nullptr},
        {kX264Sps, "ff", "out of range", nullptr},
        {kX264PulldownSps, "90", "out of range", nullptr},  // pic_struct 9
        {kX264PulldownSps, "", "cut off", nullptr},
        {kX264HrdPulldownSps, "000045", "cut off", nullptr},
        {kTimeOffsetSps, kClockTimestampSei.substr(4, 34), "cut off", nullptr},
        {kTimeOffsetSps, kClockTimestampSei.substr(44, 30), "cut off", nullptr},
    };
    for (const auto& [spsNal, hex, expected, built] : cases) {
        SCOPED_TRACE(hex);
        AvcSps sps;
        Bytes rbsp;
        ASSERT_EQ(ParseNal(spsNal, sps, rbsp), SyntaxError::kNone);
        const Bytes payload = Hex(hex);
        PicTiming timing;
        timing.picStruct = 99;
        const SyntaxError error = ParsePicTiming(payload.data(), payload.size(), sps, timing);
        EXPECT_EQ(error != SyntaxError::kNone
                      ? ErrorName(error)
                      : std::to_string(timing.cpbRemovalDelay) + " " + std::to_string(timing.dpbOutputDelay) + " " +
                            std::to_string(timing.picStruct),
                  expected);
        if (error == SyntaxError::kNone) {
            EXPECT_EQ(ToHex(BuildPicTiming(sps, timing)), built == nullptr ? hex : built);
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
        EXPECT_EQ(ToHex(BuildSeiNal({kSeiPicTiming}, {BuildPicTiming(sps, timing)})),
                  std::string("060101") + payloads[picStruct] + "80");
    }
    // Builds what it reads: types and sizes of 255 and more, a zero-length
    // payload, emulation prevention within and across payloads.
    const Bytes nal = BuildSeiNal({kSeiBufferingPeriod, 300, 255, kSeiPicTiming},
                                  {Hex("93c6704653"), Hex(std::string(600, 'a')), {}, Hex("000001")});
    EXPECT_EQ(ToHex(nal), "06000593c6704653ff2dff2d" + std::string(600, 'a') + "ff00000301030000030180");
    Bytes rbsp;
    Unescape(nal.data() + 1, nal.size() - 1, rbsp);
    EXPECT_EQ(Messages(rbsp), "0@2+5 300@11+300 255@314+0 1@316+3");
}

}  // namespace
