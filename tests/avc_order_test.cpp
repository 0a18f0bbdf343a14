// H.264 picture parameter sets, slice headers, where a picture begins and
// picture order counts (avc/slice.cpp).
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "avc_helpers.h"

namespace {

std::string Describe(const AvcPps& pps)
{
    char text[160];
    std::snprintf(text, sizeof text, "pps %d sps %d cabac %d bottom %d l0 %d l1 %d weighted %d bipred %d redundant %d",
                  pps.id, pps.spsId, pps.entropyCodingMode, pps.bottomFieldPicOrderInFramePresent,
                  pps.numRefIdxL0DefaultActive, pps.numRefIdxL1DefaultActive, pps.weightedPred, pps.weightedBipredIdc,
                  pps.redundantPicCntPresent);
    return text;
}

// A slice header's fields, those that are 0 left out.
std::string Describe(const SliceHeader& slice)
{
    std::string text = "nal " + std::to_string(slice.nalUnitType) + " " + std::to_string(slice.nalRefIdc) + " type " +
                       std::to_string(slice.sliceType);
    auto add = [&text](const char* name, int64_t value) {
        text += value != 0 ? std::string(" ") + name + " " + std::to_string(value) : "";
    };
    add("mb", slice.firstMbInSlice);
    add("pps", slice.ppsId);
    add("sps", slice.spsId);
    add("frame", slice.frameNum);
    text += slice.fieldPic ? (slice.bottomField ? " bottom field" : " top field") : "";
    add("bottom", slice.bottomField && !slice.fieldPic);
    add("idr", slice.idrPicId);
    add("lsb", slice.picOrderCntLsb);
    add("delta_bottom", slice.deltaPicOrderCntBottom);
    add("delta0", slice.deltaPicOrderCnt[0]);
    add("delta1", slice.deltaPicOrderCnt[1]);
    add("redundant", slice.redundantPicCnt);
    add("mmco5", slice.memoryManagement5);
    return text;
}

// What a parser makes of `bytes`: the fields it read, or its error. Where
// it reads them, the same bytes less the last must be cut off: it read up
// to the last byte, and not past it.
template <typename Parse, typename Parsed>
std::string Outcome(const Bytes& bytes, Parse parse, Parsed parsed)
{
    const SyntaxError error = parse(bytes.data(), bytes.size(), parsed);
    if (error != SyntaxError::kNone) {
        return ErrorName(error);
    }
    Parsed shorter;
    const SyntaxError cut = parse(bytes.data(), bytes.size() - 1, shorter);
    return Describe(parsed) + (cut == SyntaxError::kCutOff ? "" : ", without its last byte " + ErrorName(cut));
}

// The tail of a PPS after its slice groups: l0 and l1 default, weighted,
// bipred, pic_init_qp/qs, chroma_qp_index_offset, deblocking, constrained,
// redundant_pic_cnt_present_flag.
std::vector<Element> PpsTail(int64_t l0Minus1 = 0, int64_t l1Minus1 = 1, int64_t bipred = 0, int64_t qp = 0,
                             int64_t qs = 0, int64_t chroma = 0)
{
    return {{kUe, l0Minus1}, {kUe, l1Minus1}, {1, 1}, {2, bipred}, {kSe, qp},
            {kSe, qs},       {kSe, chroma},   {1, 1}, {1, 0},      {1, 1}};
}

TEST(AvcPps, ReadsWhatSlicesNeedAndRefusesTheRest)
{
    // Ids 0, CAVLC, no bottom field delta, one slice group.
    const std::vector<Element> head = {{kUe, 0}, {kUe, 0}, {1, 0}, {1, 0}, {kUe, 0}};
    const std::string tail = " l0 1 l1 2 weighted 1 bipred 0 redundant 1",
                      plain = "pps 0 sps 0 cabac 0 bottom 0" + tail;
    const std::pair<Bytes, std::string> cases[] = {
        // x264's, up to redundant_pic_cnt_present_flag: CABAC, 3 and 1
        // references, weighted P, implicit B; with --tff the bottom field's
        // delta is sent and P is not weighted; --bframes 0 has no B.
        {Hex("ebe3cb22"), "pps 0 sps 0 cabac 1 bottom 0 l0 3 l1 1 weighted 1 bipred 2 redundant 0"},
        {Hex("fba3cb22"), "pps 0 sps 0 cabac 1 bottom 1 l0 3 l1 1 weighted 0 bipred 2 redundant 0"},
        {Hex("ebc3cb22"), "pps 0 sps 0 cabac 1 bottom 0 l0 3 l1 1 weighted 1 bipred 0 redundant 0"},
        // Slice groups of each map type, read past.
        {Coded(Join({{kUe, 255}, {kUe, 31}, {1, 0}, {1, 1}, {kUe, 1}, {kUe, 0}, {kUe, 3}, {kUe, 5}}, PpsTail())),
         "pps 255 sps 31 cabac 0 bottom 1" + tail},
        {Coded(Join({{kUe, 1}, {kUe, 2}, {1, 1}, {1, 0}, {kUe, 2}, {kUe, 2}, {kUe, 0}, {kUe, 9}, {kUe, 3}, {kUe, 4}},
                    PpsTail())),
         "pps 1 sps 2 cabac 1 bottom 0" + tail},
        {Coded(Join({{kUe, 0}, {kUe, 0}, {1, 0}, {1, 0}, {kUe, 7}, {kUe, 3}, {1, 1}, {kUe, 6}}, PpsTail())), plain},
        {Coded(Join({{kUe, 0}, {kUe, 0}, {1, 0}, {1, 0}, {kUe, 7}, {kUe, 5}, {1, 1}, {kUe, 6}}, PpsTail())), plain},
        {Coded(Join({{kUe, 0}, {kUe, 0}, {1, 0}, {1, 0}, {kUe, 3}, {kUe, 6}, {kUe, 2}, {2, 3}, {2, 0}, {2, 1}},
                    PpsTail())),
         plain},
        {Coded(Join({{kUe, 0}, {kUe, 0}, {1, 0}, {1, 0}, {kUe, 1}, {kUe, 7}}, PpsTail())), "out of range"},
        {Coded(Join({{kUe, 0}, {kUe, 0}, {1, 0}, {1, 0}, {kUe, 8}}, PpsTail())), "out of range"},
        // The limits, taken and passed.
        {Coded(Join(head, PpsTail(31, 31, 2, -62, -26, -12))),
         "pps 0 sps 0 cabac 0 bottom 0 l0 32 l1 32 weighted 1 bipred 2 redundant 1"},
        {Coded(Join(head, PpsTail(0, 1, 0, 25, 25, 12))), plain},
        {Coded(Join({{kUe, 256}, {kUe, 0}, {1, 0}, {1, 0}, {kUe, 0}}, PpsTail())), "out of range"},
        {Coded(Join({{kUe, 0}, {kUe, 32}, {1, 0}, {1, 0}, {kUe, 0}}, PpsTail())), "out of range"},
        // Cut off in the explicit slice group map, and before any field.
        {Coded({{kUe, 0}, {kUe, 0}, {1, 0}, {1, 0}, {kUe, 1}, {kUe, 6}, {kUe, 40}, {1, 1}}), "cut off"},
        {Bytes{}, "cut off"},
    };
    for (const auto& [bytes, result] : cases) {
        EXPECT_EQ(Outcome(bytes, ParsePps, AvcPps{}), result) << testing::PrintToString(bytes);
    }
    for (const auto& beyond :
         {PpsTail(32), PpsTail(0, 32), PpsTail(0, 1, 3), PpsTail(0, 1, 0, -63), PpsTail(0, 1, 0, 26),
          PpsTail(0, 1, 0, 0, -27), PpsTail(0, 1, 0, 0, 26), PpsTail(0, 1, 0, 0, 0, -13), PpsTail(0, 1, 0, 0, 0, 13)}) {
        EXPECT_EQ(Outcome(Coded(Join(head, beyond)), ParsePps, AvcPps{}), "out of range")
            << testing::PrintToString(Coded(beyond));
    }
}

// Parameter sets for the syntax x264 does not write: SPS 0 with picture
// order count type 1 and fields, SPS 1 with its colour planes apart, SPS 2
// of type 0 with fields; PPS 0 (SPS 0) sending the bottom field's delta and
// redundant_pic_cnt, PPS 1 (SPS 0) with explicit B weights and two
// references a list, PPS 2 (SPS 1) with P weights, PPS 3 (SPS 2) sending
// the bottom field's delta, PPS 255 of an SPS not seen.
std::unique_ptr<ParameterSets> SyntheticSets()
{
    auto sets = std::make_unique<ParameterSets>();
    sets->sps[0].picOrderCntType = 1;
    sets->sps[0].frameMbsOnly = false;
    sets->sps[1].id = 1;
    sets->sps[1].picOrderCntType = 2;
    sets->sps[1].separateColourPlane = true;
    sets->sps[1].chromaFormatIdc = 3;
    sets->sps[2].frameMbsOnly = false;
    sets->hasSps[0] = sets->hasSps[1] = sets->hasSps[2] = true;
    sets->pps[0].bottomFieldPicOrderInFramePresent = true;
    sets->pps[0].redundantPicCntPresent = true;
    sets->pps[1].weightedBipredIdc = 1;
    sets->pps[1].numRefIdxL0DefaultActive = sets->pps[1].numRefIdxL1DefaultActive = 2;
    sets->pps[2].spsId = 1;
    sets->pps[2].weightedPred = true;
    sets->pps[3].spsId = 2;
    sets->pps[3].bottomFieldPicOrderInFramePresent = true;
    sets->pps[255].spsId = 5;
    for (const int id : {0, 1, 2, 3, 255}) {
        sets->pps[id].id = id;
        sets->hasPps[id] = true;
    }
    return sets;
}

TEST(AvcSliceHeader, ReadsEveryBranchAndRefusesWhatCannotBe)
{
    const auto sets = SyntheticSets();
    // first_mb_in_slice, slice_type, pic_parameter_set_id.
    auto start = [](int64_t mb, int64_t type, int64_t pps, const std::vector<Element>& rest) {
        return Join({{kUe, mb}, {kUe, type}, {kUe, pps}}, rest);
    };
    // Type 1 under PPS 0, a frame: frame_num, field_pic_flag 0, both deltas,
    // redundant_pic_cnt.
    const std::vector<Element> frame = {{4, 9}, {1, 0}, {kSe, -3}, {kSe, 2}, {kUe, 127}};
    const std::string framed = " frame 9 delta0 -3 delta1 2 redundant 127";
    const std::vector<Element> zero = {{1, 0}, {1, 0}};  // no override, no reordering
    // A B frame under PPS 0 with 1 and 16 references, reordering list 1.
    auto b16 = [](int64_t l1Minus1) {
        return std::vector<Element>{{4, 9},   {1, 0},          {kSe, 0}, {kSe, 0}, {kUe, 0}, {1, 0},   {1, 1},
                                    {kUe, 0}, {kUe, l1Minus1}, {1, 0},   {1, 1},   {kUe, 0}, {kUe, 5}, {kUe, 1},
                                    {kUe, 6}, {kUe, 0},        {kUe, 7}, {kUe, 0}, {kUe, 8}, {kUe, 3}};
    };
    struct Case {
        uint8_t nalHeader;
        std::vector<Element> elements;
        std::string result;
    };
    const Case cases[] = {
        {0x01, start(0, 0, 0, Join(frame, {{1, 1}, {kUe, 15}, {1, 0}})), "nal 1 0 type 0" + framed},
        // An IDR bottom field: one delta; both flags of the marking, the
        // last bit the first of its byte.
        {0x65, start(5, 2, 1, {{4, 0}, {1, 1}, {1, 1}, {kUe, 65535}, {kSe, 32}, {1, 1}, {1, 1}}),
         "nal 5 3 type 2 mb 5 pps 1 bottom field idr 65535 delta0 32"},
        // A top field B: reordering of list 0 by each command, explicit
        // weights with chroma for two references a list, every operation
        // but 5.
        {0x41, start(0, 6, 1, {{4, 3},   {1, 1},    {1, 0},   {kSe, -1}, {1, 1},    {1, 0},    {1, 1},   {kUe, 0},
                               {kUe, 2}, {kUe, 2},  {kUe, 0}, {kUe, 3},  {1, 0},    {kUe, 7},  {kUe, 7}, {1, 1},
                               {kSe, 3}, {kSe, -2}, {1, 1},   {kSe, 1},  {kSe, 0},  {kSe, -1}, {kSe, 2}, {1, 0},
                               {1, 0},   {1, 1},    {kSe, 1}, {kSe, 1},  {1, 0},    {1, 0},    {1, 1},   {kSe, 1},
                               {kSe, 1}, {kSe, 1},  {kSe, 1}, {1, 1},    {kUe, 1},  {kUe, 40}, {kUe, 2}, {kUe, 17},
                               {kUe, 3}, {kUe, 30}, {kUe, 9}, {kUe, 4},  {kUe, 12}, {kUe, 6},  {kUe, 8}, {kUe, 0}}),
         "nal 1 2 type 6 pps 1 frame 3 top field delta0 -1"},
        {0x41, start(0, 0, 0, Join(Join(frame, zero), {{1, 1}, {kUe, 5}, {kUe, 0}})),
         "nal 1 2 type 0" + framed + " mmco5 1"},
        {0x01, start(0, 1, 0, b16(15)), "nal 1 0 type 1 frame 9"},
        {0x01, start(0, 1, 0, b16(16)), "out of range"},
        // Type 0: the bottom field's delta in a frame only.
        {0x01, start(0, 2, 3, {{4, 9}, {1, 0}, {4, 5}, {kSe, -2}}),
         "nal 1 0 type 2 pps 3 sps 2 frame 9 lsb 5 delta_bottom -2"},
        {0x01, start(0, 2, 3, {{4, 9}, {1, 1}, {1, 1}, {4, 5}}),
         "nal 1 0 type 2 pps 3 sps 2 frame 9 bottom field lsb 5"},
        // SP and SI (8 and 9); SP with colour planes apart (ChromaArrayType
        // 0): colour_plane_id, weights for luma only.
        {0x01, start(0, 8, 2, {{2, 2}, {4, 1}, {1, 0}, {1, 0}, {kUe, 0}, {1, 1}, {kSe, 1}, {kSe, 0}}),
         "nal 1 0 type 8 pps 2 sps 1 frame 1"},
        {0x01, start(0, 8, 2, {{2, 3}, {4, 1}, {1, 0}, {1, 0}, {kUe, 0}, {1, 1}, {kSe, 1}, {kSe, 0}}), "out of range"},
        {0x41, start(0, 9, 0, Join(frame, {{1, 0}})), "nal 1 2 type 9" + framed},
        // In a frame, 16 references at most; in a field, 32.
        {0x01, start(0, 0, 0, Join(frame, {{1, 1}, {kUe, 16}, {1, 0}})), "out of range"},
        {0x01, start(0, 0, 0, {{4, 9}, {1, 1}, {1, 0}, {kSe, 0}, {kUe, 0}, {1, 1}, {kUe, 31}, {1, 0}}),
         "nal 1 0 type 0 frame 9 top field"},
        {0x01, start(0, 0, 0, {{4, 9}, {1, 1}, {1, 0}, {kSe, 0}, {kUe, 0}, {1, 1}, {kUe, 32}, {1, 0}}), "out of range"},
        {0x01, start(0, 10, 0, frame), "out of range"},
        {0x01, start(0, 0, 256, frame), "out of range"},
        {0x01, start(0, 0, 255, frame), "unknown SPS"},
        {0x01, start(0, 0, 4, frame), "unknown PPS"},
        {0x65, start(0, 2, 1, {{4, 0}, {1, 0}, {kUe, 65536}, {kSe, 0}, {1, 0}, {1, 0}}), "out of range"},
        {0x01, start(0, 0, 0, {{4, 9}, {1, 0}, {kSe, 0}, {kSe, 0}, {kUe, 128}, {1, 0}, {1, 0}}), "out of range"},
        // Reordering: a command 4, and more commands than references.
        {0x01, start(0, 0, 0, Join(frame, {{1, 0}, {1, 1}, {kUe, 4}, {kUe, 3}})), "out of range"},
        {0x01, start(0, 0, 0, Join(frame, {{1, 0}, {1, 1}, {kUe, 0}, {kUe, 0}, {kUe, 0}, {kUe, 0}, {kUe, 3}})),
         "out of range"},
        // Weights: luma_log2_weight_denom 8, chroma_log2_weight_denom 8.
        {0x01, start(0, 5, 2, {{2, 0}, {4, 1}, {1, 0}, {1, 0}, {kUe, 8}, {1, 0}}), "out of range"},
        {0x01, start(0, 1, 1, {{4, 1}, {1, 0}, {kSe, 0}, {1, 0}, {1, 0}, {1, 0}, {1, 0}, {kUe, 0}, {kUe, 8}}),
         "out of range"},
        // Operation 7; a list of operations cut off, and of commands.
        {0x41, start(0, 0, 0, Join(Join(frame, zero), {{1, 1}, {kUe, 7}, {kUe, 0}})), "out of range"},
        {0x41, start(0, 0, 0, Join(Join(frame, zero), {{1, 1}, {kUe, 1}, {kUe, 0}, {kUe, 1}})), "cut off"},
        {0x01, start(0, 0, 0, Join(frame, {{1, 0}, {1, 1}, {kUe, 0}})), "cut off"},
        {0x01, {}, "cut off"},
    };
    for (const auto& [nalHeader, elements, result] : cases) {
        const auto parse = [&, header = nalHeader](const uint8_t* data, std::size_t size, SliceHeader& out) {
            return ParseSliceHeader(data, size, header & 0x1f, header >> 5, *sets, out);
        };
        EXPECT_EQ(Outcome(Coded(elements), parse, SliceHeader{}), result) << testing::PrintToString(Coded(elements));
    }
}

TEST(AvcNewPicture, AnyFieldThatNamesThePictureBeginsANewOne)
{
    SliceHeader base;
    base.nalUnitType = kNalSliceIdr;
    base.nalRefIdc = 3;
    base.sliceType = 7;
    base.frameNum = 2;
    base.picOrderCntLsb = 4;
    const std::tuple<const char*, std::function<void(SliceHeader&)>, bool> cases[] = {
        {"nothing", [](SliceHeader&) {}, false},
        {"first_mb_in_slice and slice_type", [](SliceHeader& s) { s.firstMbInSlice = 80, s.sliceType = 2; }, false},
        {"nal_ref_idc, neither 0", [](SliceHeader& s) { s.nalRefIdc = 1; }, false},
        {"nal_ref_idc to 0", [](SliceHeader& s) { s.nalRefIdc = 0; }, true},
        {"frame_num", [](SliceHeader& s) { s.frameNum = 3; }, true},
        {"pic_parameter_set_id", [](SliceHeader& s) { s.ppsId = 1; }, true},
        {"field_pic_flag", [](SliceHeader& s) { s.fieldPic = true; }, true},
        {"bottom_field_flag", [](SliceHeader& s) { s.bottomField = true; }, true},
        {"pic_order_cnt_lsb", [](SliceHeader& s) { s.picOrderCntLsb = 6; }, true},
        {"delta_pic_order_cnt_bottom", [](SliceHeader& s) { s.deltaPicOrderCntBottom = 1; }, true},
        {"delta_pic_order_cnt[0]", [](SliceHeader& s) { s.deltaPicOrderCnt[0] = 1; }, true},
        {"delta_pic_order_cnt[1]", [](SliceHeader& s) { s.deltaPicOrderCnt[1] = -1; }, true},
        {"IdrPicFlag", [](SliceHeader& s) { s.nalUnitType = kNalSliceNonIdr; }, true},
        {"idr_pic_id", [](SliceHeader& s) { s.idrPicId = 1; }, true},
        {"frame_num of a redundant picture", [](SliceHeader& s) { s.frameNum = 3, s.redundantPicCnt = 1; }, false},
    };
    for (const auto& [what, change, newPicture] : cases) {
        SliceHeader slice = base;
        change(slice);
        EXPECT_EQ(FirstSliceOfNewPicture(base, slice), newPicture) << what;
    }
}

// One picture for the picture order count: its first slice's fields.
struct Picture {
    int nalUnitType;
    int nalRefIdc;
    uint32_t frameNum;
    uint32_t lsb;
    int32_t delta0;  // delta_pic_order_cnt_bottom for type 0, delta_pic_order_cnt[0] for type 1
    int32_t delta1;  // delta_pic_order_cnt[1]
    int field;       // 0 a frame, 1 a top field, 2 a bottom field
    bool mmco5;
    int64_t count;  // the PicOrderCnt expected
};

void ExpectCounts(const AvcSps& sps, const std::vector<Picture>& pictures)
{
    PocState state;
    for (std::size_t k = 0; k < pictures.size(); ++k) {
        const Picture& p = pictures[k];
        SliceHeader slice;
        slice.nalUnitType = p.nalUnitType;
        slice.nalRefIdc = p.nalRefIdc;
        slice.frameNum = p.frameNum;
        slice.picOrderCntLsb = p.lsb;
        slice.deltaPicOrderCntBottom = sps.picOrderCntType == 0 ? p.delta0 : 0;
        slice.deltaPicOrderCnt[0] = sps.picOrderCntType == 1 ? p.delta0 : 0;
        slice.deltaPicOrderCnt[1] = p.delta1;
        slice.fieldPic = p.field != 0;
        slice.bottomField = p.field == 2;
        slice.memoryManagement5 = p.mmco5;
        EXPECT_EQ(PictureOrderCount(state, sps, slice), p.count) << "type " << sps.picOrderCntType << " picture " << k;
    }
}

constexpr int kIdr = kNalSliceIdr, kNon = kNalSliceNonIdr;

TEST(AvcPictureOrderCount, EachTypeCarriesItsStateFromPictureToPicture)
{
    // Type 0 carries the most significant part from reference pictures.
    AvcSps sps;
    sps.log2MaxPicOrderCntLsb = 4;  // MaxPicOrderCntLsb 16
    ExpectCounts(
        sps,
        {
            {kIdr, 3, 0, 0, 0, 0, 0, false, 0},   {kNon, 2, 1, 8, 0, 0, 0, false, 8},   // half the range up: no wrap
            {kNon, 2, 2, 14, 0, 0, 0, false, 14}, {kNon, 2, 3, 2, 0, 0, 0, false, 18},  // wraps up
            {kNon, 0, 4, 14, 0, 0, 0, false, 14},                                       // wraps down, unreferenced
            {kNon, 2, 4, 10, 0, 0, 0, false, 26},                                       // from 18, not from the 14
            {kNon, 0, 5, 3, 0, 0, 0, false, 19},   // less than half the range down: no wrap
            {kNon, 2, 5, 2, -1, 0, 0, false, 33},  // down by half the range wraps; the bottom field first
            {kNon, 2, 6, 6, -1, 0, 0, true, 0},    // operation 5: 38 and 37 less 37
            {kNon, 0, 1, 9, 0, 0, 0, false, 9},    // from lsb 1 (the top field's 38 - 37)
            {kNon, 2, 1, 9, 0, 0, 0, false, 9},   {kNon, 2, 2, 1, 0, 0, 0, false, 17},
            {kNon, 2, 3, 9, 0, 0, 0, false, 25},  {kIdr, 3, 0, 0, 0, 0, 0, false, 0},  // 16 without either part reset
            {kNon, 2, 1, 12, 0, 0, 0, false, -4}, {kNon, 2, 2, 3, 0, 0, 2, true, 0},  // a bottom field with operation 5
            {kNon, 2, 3, 9, 0, 0, 0, false, -7},                                      // from lsb 0
            {kNon, 2, 4, 14, 0, 0, 1, false, -2},                                     // a top field
            {kNon, 2, 4, 15, 0, 0, 2, false, -1},
        });
    // Type 1 counts frame_num through the cycle.
    sps.picOrderCntType = 1;
    sps.offsetForRefFrame = {4, 2, 1};  // 7 a cycle
    sps.offsetForNonRefPic = -3;
    sps.offsetForTopToBottomField = 1;
    ExpectCounts(sps, {
                          {kIdr, 3, 0, 0, 0, 0, 0, false, 0},
                          {kNon, 2, 1, 0, 0, 0, 0, false, 4},
                          {kNon, 2, 2, 0, 0, 0, 0, false, 6},
                          {kNon, 0, 3, 0, 1, -3, 0, false, 2},   // (6 - 3 + 1) + 1 - 3 for the bottom field
                          {kNon, 2, 3, 0, 0, 0, 0, false, 7},    // the cycle's last
                          {kNon, 2, 15, 0, 0, 0, 0, false, 35},  // 4 cycles and 7
                          {kNon, 2, 0, 0, 0, 0, 0, false, 39},   // frame_num wraps: 16, 5 cycles and 4
                          {kNon, 0, 1, 0, 0, 0, 0, false, 36},   // 17 less one, less 3
                          {kNon, 2, 2, 0, 0, 0, 0, true, 0},     // operation 5
                          {kNon, 2, 1, 0, 0, 0, 0, false, 4},    // from frame_num 0, offset 0
                          {kNon, 2, 2, 0, 2, 0, 1, false, 8},    // a top field
                          {kNon, 2, 2, 0, 2, 0, 2, false, 9},    // a bottom field
                          {kIdr, 3, 0, 0, 5, 0, 0, false, 5},
                      });
    // No cycle: only the deltas and the non-reference offset; the bottom
    // field before the top.
    sps.offsetForRefFrame.clear();
    sps.offsetForTopToBottomField = -5;
    ExpectCounts(sps, {
                          {kIdr, 3, 0, 0, 5, 0, 0, false, 0},
                          {kNon, 2, 5, 0, 7, 0, 1, false, 7},   // a top field
                          {kNon, 0, 6, 0, 7, 0, 0, false, -1},  // (0 - 3 + 7) - 5
                      });
    // Type 2 follows frame_num across its wrap (MaxFrameNum 16).
    sps.picOrderCntType = 2;
    ExpectCounts(sps, {
                          {kIdr, 3, 0, 0, 0, 0, 0, false, 0},
                          {kNon, 2, 1, 0, 0, 0, 0, false, 2},
                          {kNon, 0, 2, 0, 0, 0, 0, false, 3},
                          {kNon, 2, 2, 0, 0, 0, 0, false, 4},
                          {kNon, 2, 15, 0, 0, 0, 0, false, 30},
                          {kNon, 0, 0, 0, 0, 0, 0, false, 31},  // wraps: 2 * 16 - 1
                          {kNon, 2, 0, 0, 0, 0, 0, false, 32},
                          {kNon, 2, 3, 0, 0, 0, 0, true, 0},     // operation 5
                          {kNon, 0, 15, 0, 0, 0, 0, false, 29},  // from frame_num 0, offset 0
                          {kNon, 2, 0, 0, 0, 0, 0, false, 32},   // from the picture before, not the operation 5
                          {kIdr, 3, 0, 0, 0, 0, 0, false, 0},
                          {kNon, 2, 5, 0, 0, 0, 0, false, 10},  // FrameNumOffset 0 again
                      });
}

// Counts beyond 32 bits are flagged, never computed (nor overflowed): an
// IDR picture, then reference pictures whose frame_num and
// pic_order_cnt_lsb wrap at every other one, each wrap adding 2^16.
TEST(AvcPictureOrderCount, CountsBeyondThirtyTwoBitsAreOutOfRange)
{
    const struct {
        int type;
        std::vector<int32_t> cycle;
        uint32_t firstOut;  // the first picture out of range
    } cases[] = {
        {0, {}, 65536},       // PicOrderCntMsb 2^31; the one before counts 2^31 - 2^15
        {1, {1}, 65536},      // FrameNumOffset 2^31; the one before counts 2^31 - 1
        {1, {INT32_MAX}, 1},  // 65535 cycles of 2^31 - 1
        {2, {}, 32768},       // 2 * FrameNumOffset: 2^31
    };
    for (const auto& [type, cycle, firstOut] : cases) {
        AvcSps sps;
        sps.picOrderCntType = type;
        sps.log2MaxFrameNum = sps.log2MaxPicOrderCntLsb = 16;
        sps.offsetForRefFrame = cycle;
        PocState state;
        uint32_t k = 0;
        for (; k <= firstOut && !state.outOfRange; ++k) {
            SliceHeader slice;
            slice.nalUnitType = k == 0 ? kIdr : kNon;
            slice.nalRefIdc = 2;
            slice.frameNum = k % 2 * 65535;
            slice.picOrderCntLsb = k % 2 * 32768;
            const int64_t count = PictureOrderCount(state, sps, slice);
            EXPECT_TRUE(state.outOfRange ? count == 0 : count >= 0 && count <= INT32_MAX) << k;
        }
        EXPECT_TRUE(state.outOfRange) << "type " << type;
        EXPECT_EQ(k - 1, firstOut) << "type " << type;
    }
}

}  // namespace
