// The picture parameter set and slice header as far as they decide which
// slices make a picture and in what order pictures are shown, and the
// picture order count that gives that order.
#include <algorithm>
#include <climits>

#include "avc/avc_syntax.h"

namespace {

// pic_parameter_set_id (7.4.2.2), seq_parameter_set_id (7.4.2.1.1).
constexpr uint32_t kMostPpsId = 255;
constexpr uint32_t kMostSpsId = 31;
// num_slice_groups_minus1 (A.2: at most 8 slice groups).
constexpr uint32_t kMostSliceGroupsMinus1 = 7;
// slice_group_map_type (7.4.2.2).
constexpr uint32_t kSliceGroupInterleaved = 0;
constexpr uint32_t kSliceGroupForeground = 2;
constexpr uint32_t kSliceGroupBoxOut = 3;
constexpr uint32_t kSliceGroupWipe = 5;
constexpr uint32_t kSliceGroupExplicit = 6;
// num_ref_idx_l0/l1_default_active_minus1 (7.4.2.2) and their overrides in
// a field (7.4.3).
constexpr uint32_t kMostRefIdxMinus1Field = 31;
// num_ref_idx_l0/l1_active_minus1 in a frame (7.4.3).
constexpr uint32_t kMostRefIdxMinus1Frame = 15;
// weighted_bipred_idc (7.4.2.2): 1 explicit, 2 implicit.
constexpr uint32_t kMostWeightedBipredIdc = 2;
constexpr int kWeightedBipredExplicit = 1;
// pic_init_qp_minus26 goes down to -(26 + QpBdOffsetY), QpBdOffsetY at most
// 6 * 6 for 14-bit samples; pic_init_qs_minus26 to -26; both up to 25.
constexpr int32_t kLeastPicInitQpMinus26 = -(26 + 36);
constexpr int32_t kLeastPicInitQsMinus26 = -26;
constexpr int32_t kMostPicInitMinus26 = 25;
// chroma_qp_index_offset (7.4.2.2).
constexpr int32_t kMostChromaQpIndexOffset = 12;

// slice_type modulo 5 (Table 7-6), at most 9.
constexpr uint32_t kMostSliceType = 9;
constexpr int kSliceTypes = 5;
constexpr int kSliceP = 0;
constexpr int kSliceB = 1;
constexpr int kSliceI = 2;
constexpr int kSliceSp = 3;
constexpr int kSliceSi = 4;
// colour_plane_id (7.4.3), idr_pic_id, redundant_pic_cnt.
constexpr uint32_t kMostColourPlaneId = 2;
constexpr uint32_t kMostIdrPicId = 65535;
constexpr uint32_t kMostRedundantPicCnt = 127;
// modification_of_pic_nums_idc (Table 7-7): 3 ends the list; 4 and 5 are
// for other NAL unit types than 1 and 5.
constexpr uint32_t kModificationShortTermSubtract = 0;
constexpr uint32_t kModificationShortTermAdd = 1;
constexpr uint32_t kModificationLongTerm = 2;
constexpr uint32_t kModificationEnd = 3;
// luma_log2_weight_denom and chroma_log2_weight_denom (7.4.3.2).
constexpr uint32_t kMostLog2WeightDenom = 7;
constexpr int kChromaComponents = 2;
// memory_management_control_operation (Table 7-9).
constexpr uint32_t kMmcoEnd = 0;
constexpr uint32_t kMmcoShortTermUnused = 1;
constexpr uint32_t kMmcoLongTermUnused = 2;
constexpr uint32_t kMmcoShortTermToLongTerm = 3;
constexpr uint32_t kMmcoMaxLongTermIdx = 4;
constexpr uint32_t kMmcoAllUnused = 5;
constexpr uint32_t kMmcoCurrentToLongTerm = 6;

// Ceil(Log2(n)) for n >= 1.
int CeilLog2(uint32_t n)
{
    int bits = 0;
    while ((uint64_t{1} << bits) < n) {
        ++bits;
    }
    return bits;
}

SyntaxError Finished(const BitReader& reader)
{
    return reader.overrun ? SyntaxError::kCutOff : SyntaxError::kNone;
}

// The slice group syntax of a PPS (7.3.2.2), read past: the slice header
// needs nothing from it before dec_ref_pic_marking.
SyntaxError SkipSliceGroups(BitReader& reader, uint32_t numSliceGroupsMinus1)
{
    const uint32_t sliceGroupMapType = ReadUe(reader);  // slice_group_map_type (7.3.2.2)
    if (sliceGroupMapType > kSliceGroupExplicit) {
        return SyntaxError::kOutOfRange;
    }
    if (sliceGroupMapType == kSliceGroupInterleaved) {
        for (uint32_t group = 0; group <= numSliceGroupsMinus1; ++group) {
            ReadUe(reader);  // run_length_minus1 (7.3.2.2)
        }
    } else if (sliceGroupMapType == kSliceGroupForeground) {
        for (uint32_t group = 0; group < numSliceGroupsMinus1; ++group) {
            ReadUe(reader);  // top_left (7.3.2.2)
            ReadUe(reader);  // bottom_right (7.3.2.2)
        }
    } else if (sliceGroupMapType >= kSliceGroupBoxOut && sliceGroupMapType <= kSliceGroupWipe) {
        ReadFlag(reader);  // slice_group_change_direction_flag (7.3.2.2)
        ReadUe(reader);    // slice_group_change_rate_minus1 (7.3.2.2)
    } else if (sliceGroupMapType == kSliceGroupExplicit) {
        const uint32_t picSizeInMapUnitsMinus1 = ReadUe(reader);  // pic_size_in_map_units_minus1 (7.3.2.2)
        const int idBits = CeilLog2(numSliceGroupsMinus1 + 1);
        for (uint64_t unit = 0; unit <= picSizeInMapUnitsMinus1 && !reader.overrun; ++unit) {
            ReadBits(reader, idBits);  // slice_group_id (7.3.2.2)
        }
    }
    return Finished(reader);
}

bool IsP(int sliceType)
{
    return sliceType == kSliceP || sliceType == kSliceSp;
}

// ref_pic_list_modification's loop for one list (7.3.3.1), read past.
SyntaxError SkipRefPicListModification(BitReader& reader, int numRefIdxActive)
{
    if (!ReadFlag(reader)) {  // ref_pic_list_modification_flag_l0 / _l1 (7.3.3.1)
        return Finished(reader);
    }
    // Each entry fills one index; one more ends the list.
    for (int entry = 0; entry <= numRefIdxActive; ++entry) {
        const uint32_t idc = ReadUe(reader);  // modification_of_pic_nums_idc (7.3.3.1)
        if (reader.overrun) {
            return SyntaxError::kCutOff;
        }
        if (idc == kModificationShortTermSubtract || idc == kModificationShortTermAdd) {
            ReadUe(reader);  // abs_diff_pic_num_minus1 (7.3.3.1)
        } else if (idc == kModificationLongTerm) {
            ReadUe(reader);  // long_term_pic_num (7.3.3.1)
        } else if (idc == kModificationEnd) {
            return Finished(reader);
        } else {
            return SyntaxError::kOutOfRange;
        }
    }
    return SyntaxError::kOutOfRange;
}

// pred_weight_table's entries for one list (7.3.3.2), read past.
void SkipWeights(BitReader& reader, int numRefIdxActive, int chromaArrayType)
{
    for (int index = 0; index < numRefIdxActive && !reader.overrun; ++index) {
        if (ReadFlag(reader)) {  // luma_weight_l0_flag / l1 (7.3.3.2)
            ReadSe(reader);      // luma_weight_l0 / l1 (7.3.3.2)
            ReadSe(reader);      // luma_offset_l0 / l1 (7.3.3.2)
        }
        if (chromaArrayType != 0 && ReadFlag(reader)) {  // chroma_weight_l0_flag / l1 (7.3.3.2)
            for (int component = 0; component < kChromaComponents; ++component) {
                ReadSe(reader);  // chroma_weight_l0 / l1 (7.3.3.2)
                ReadSe(reader);  // chroma_offset_l0 / l1 (7.3.3.2)
            }
        }
    }
}

SyntaxError SkipPredWeightTable(BitReader& reader, int sliceType, int numRefIdxL0Active, int numRefIdxL1Active,
                                int chromaArrayType)
{
    if (ReadUe(reader) > kMostLog2WeightDenom) {  // luma_log2_weight_denom (7.3.3.2)
        return SyntaxError::kOutOfRange;
    }
    if (chromaArrayType != 0 && ReadUe(reader) > kMostLog2WeightDenom) {  // chroma_log2_weight_denom (7.3.3.2)
        return SyntaxError::kOutOfRange;
    }
    SkipWeights(reader, numRefIdxL0Active, chromaArrayType);
    if (sliceType == kSliceB) {
        SkipWeights(reader, numRefIdxL1Active, chromaArrayType);
    }
    return Finished(reader);
}

// dec_ref_pic_marking (7.3.3.3): read past, noting an operation 5.
SyntaxError ReadDecRefPicMarking(BitReader& reader, SliceHeader& slice)
{
    if (slice.nalUnitType == kNalSliceIdr) {
        ReadFlag(reader);  // no_output_of_prior_pics_flag (7.3.3.3)
        ReadFlag(reader);  // long_term_reference_flag (7.3.3.3)
        return Finished(reader);
    }
    if (!ReadFlag(reader)) {  // adaptive_ref_pic_marking_mode_flag (7.3.3.3)
        return Finished(reader);
    }
    // Each operation takes a bit at least, and a cut-off reads as 0, which
    // ends the list.
    for (;;) {
        const uint32_t mmco = ReadUe(reader);  // memory_management_control_operation (7.3.3.3)
        if (reader.overrun) {
            return SyntaxError::kCutOff;
        }
        if (mmco == kMmcoEnd) {
            return Finished(reader);
        }
        if (mmco > kMmcoCurrentToLongTerm) {
            return SyntaxError::kOutOfRange;
        }
        if (mmco == kMmcoAllUnused) {
            slice.memoryManagement5 = true;
        }
        if (mmco == kMmcoShortTermUnused || mmco == kMmcoShortTermToLongTerm) {
            ReadUe(reader);  // difference_of_pic_nums_minus1 (7.3.3.3)
        }
        if (mmco == kMmcoLongTermUnused) {
            ReadUe(reader);  // long_term_pic_num (7.3.3.3)
        }
        if (mmco == kMmcoShortTermToLongTerm || mmco == kMmcoCurrentToLongTerm) {
            ReadUe(reader);  // long_term_frame_idx (7.3.3.3)
        }
        if (mmco == kMmcoMaxLongTermIdx) {
            ReadUe(reader);  // max_long_term_frame_idx_plus1 (7.3.3.3)
        }
    }
}

}  // namespace

SyntaxError ParsePps(const uint8_t* rbsp, std::size_t size, AvcPps& pps)
{
    BitReader reader{rbsp, size};
    AvcPps read;
    const uint32_t ppsId = ReadUe(reader);  // pic_parameter_set_id (7.3.2.2)
    const uint32_t spsId = ReadUe(reader);  // seq_parameter_set_id (7.3.2.2)
    if (reader.overrun) {
        return SyntaxError::kCutOff;
    }
    if (ppsId > kMostPpsId || spsId > kMostSpsId) {
        return SyntaxError::kOutOfRange;
    }
    read.id = static_cast<int>(ppsId);
    read.spsId = static_cast<int>(spsId);
    read.entropyCodingMode = ReadFlag(reader);                  // entropy_coding_mode_flag (7.3.2.2)
    read.bottomFieldPicOrderInFramePresent = ReadFlag(reader);  // bottom_field_pic_order_in_frame_present_flag
    const uint32_t numSliceGroupsMinus1 = ReadUe(reader);       // num_slice_groups_minus1 (7.3.2.2)
    if (numSliceGroupsMinus1 > kMostSliceGroupsMinus1) {
        return reader.overrun ? SyntaxError::kCutOff : SyntaxError::kOutOfRange;
    }
    if (numSliceGroupsMinus1 > 0) {
        const SyntaxError error = SkipSliceGroups(reader, numSliceGroupsMinus1);
        if (error != SyntaxError::kNone) {
            return error;
        }
    }
    const uint32_t l0Minus1 = ReadUe(reader);                // num_ref_idx_l0_default_active_minus1 (7.3.2.2)
    const uint32_t l1Minus1 = ReadUe(reader);                // num_ref_idx_l1_default_active_minus1 (7.3.2.2)
    read.weightedPred = ReadFlag(reader);                    // weighted_pred_flag (7.3.2.2)
    const uint32_t weightedBipredIdc = ReadBits(reader, 2);  // weighted_bipred_idc (7.3.2.2)
    const int32_t picInitQpMinus26 = ReadSe(reader);         // pic_init_qp_minus26 (7.3.2.2)
    const int32_t picInitQsMinus26 = ReadSe(reader);         // pic_init_qs_minus26 (7.3.2.2)
    const int32_t chromaQpIndexOffset = ReadSe(reader);      // chroma_qp_index_offset (7.3.2.2)
    ReadFlag(reader);                                        // deblocking_filter_control_present_flag (7.3.2.2)
    ReadFlag(reader);                                        // constrained_intra_pred_flag (7.3.2.2)
    read.redundantPicCntPresent = ReadFlag(reader);          // redundant_pic_cnt_present_flag (7.3.2.2)
    if (reader.overrun) {
        return SyntaxError::kCutOff;
    }
    if (l0Minus1 > kMostRefIdxMinus1Field || l1Minus1 > kMostRefIdxMinus1Field ||
        weightedBipredIdc > kMostWeightedBipredIdc || picInitQpMinus26 < kLeastPicInitQpMinus26 ||
        picInitQpMinus26 > kMostPicInitMinus26 || picInitQsMinus26 < kLeastPicInitQsMinus26 ||
        picInitQsMinus26 > kMostPicInitMinus26 || chromaQpIndexOffset < -kMostChromaQpIndexOffset ||
        chromaQpIndexOffset > kMostChromaQpIndexOffset) {
        return SyntaxError::kOutOfRange;
    }
    read.numRefIdxL0DefaultActive = static_cast<int>(l0Minus1) + 1;
    read.numRefIdxL1DefaultActive = static_cast<int>(l1Minus1) + 1;
    read.weightedBipredIdc = static_cast<int>(weightedBipredIdc);
    pps = read;
    return SyntaxError::kNone;
}

SyntaxError ParseSliceHeader(const uint8_t* rbsp, std::size_t size, int nalUnitType, int nalRefIdc,
                             const ParameterSets& sets, SliceHeader& slice)
{
    BitReader reader{rbsp, size};
    SliceHeader read;
    read.nalUnitType = nalUnitType;
    read.nalRefIdc = nalRefIdc;
    read.firstMbInSlice = ReadUe(reader);       // first_mb_in_slice (7.3.3)
    const uint32_t sliceType = ReadUe(reader);  // slice_type (7.3.3)
    const uint32_t ppsId = ReadUe(reader);      // pic_parameter_set_id (7.3.3)
    if (reader.overrun) {
        return SyntaxError::kCutOff;
    }
    if (sliceType > kMostSliceType || ppsId > kMostPpsId) {
        return SyntaxError::kOutOfRange;
    }
    if (!sets.hasPps[ppsId]) {
        return SyntaxError::kUnknownPps;
    }
    const AvcPps& pps = sets.pps[ppsId];
    if (!sets.hasSps[pps.spsId]) {
        return SyntaxError::kUnknownSps;
    }
    const AvcSps& sps = sets.sps[pps.spsId];
    read.sliceType = static_cast<int>(sliceType);
    read.ppsId = static_cast<int>(ppsId);
    read.spsId = pps.spsId;
    const int type = read.sliceType % kSliceTypes;
    const bool idr = nalUnitType == kNalSliceIdr;

    if (sps.separateColourPlane && ReadBits(reader, 2) > kMostColourPlaneId) {  // colour_plane_id (7.3.3)
        return SyntaxError::kOutOfRange;
    }
    read.frameNum = ReadBits(reader, sps.log2MaxFrameNum);  // frame_num (7.3.3)
    if (!sps.frameMbsOnly) {
        read.fieldPic = ReadFlag(reader);  // field_pic_flag (7.3.3)
        if (read.fieldPic) {
            read.bottomField = ReadFlag(reader);  // bottom_field_flag (7.3.3)
        }
    }
    if (idr) {
        read.idrPicId = ReadUe(reader);  // idr_pic_id (7.3.3)
    }
    if (sps.picOrderCntType == 0) {
        read.picOrderCntLsb = ReadBits(reader, sps.log2MaxPicOrderCntLsb);  // pic_order_cnt_lsb (7.3.3)
        if (pps.bottomFieldPicOrderInFramePresent && !read.fieldPic) {
            read.deltaPicOrderCntBottom = ReadSe(reader);  // delta_pic_order_cnt_bottom (7.3.3)
        }
    }
    if (sps.picOrderCntType == 1 && !sps.deltaPicOrderAlwaysZero) {
        read.deltaPicOrderCnt[0] = ReadSe(reader);  // delta_pic_order_cnt[ 0 ] (7.3.3)
        if (pps.bottomFieldPicOrderInFramePresent && !read.fieldPic) {
            read.deltaPicOrderCnt[1] = ReadSe(reader);  // delta_pic_order_cnt[ 1 ] (7.3.3)
        }
    }
    if (pps.redundantPicCntPresent) {
        read.redundantPicCnt = ReadUe(reader);  // redundant_pic_cnt (7.3.3)
    }
    if (reader.overrun) {
        return SyntaxError::kCutOff;
    }
    if (read.idrPicId > kMostIdrPicId || read.redundantPicCnt > kMostRedundantPicCnt) {
        return SyntaxError::kOutOfRange;
    }
    if (type == kSliceB) {
        ReadFlag(reader);  // direct_spatial_mv_pred_flag (7.3.3)
    }
    uint32_t l0Minus1 = static_cast<uint32_t>(pps.numRefIdxL0DefaultActive - 1);
    uint32_t l1Minus1 = static_cast<uint32_t>(pps.numRefIdxL1DefaultActive - 1);
    if (IsP(type) || type == kSliceB) {
        if (ReadFlag(reader)) {         // num_ref_idx_active_override_flag (7.3.3)
            l0Minus1 = ReadUe(reader);  // num_ref_idx_l0_active_minus1 (7.3.3)
            if (type == kSliceB) {
                l1Minus1 = ReadUe(reader);  // num_ref_idx_l1_active_minus1 (7.3.3)
            }
            const uint32_t most = read.fieldPic ? kMostRefIdxMinus1Field : kMostRefIdxMinus1Frame;
            if (reader.overrun) {
                return SyntaxError::kCutOff;
            }
            if (l0Minus1 > most || l1Minus1 > most) {
                return SyntaxError::kOutOfRange;
            }
        }
    }
    const int l0Active = static_cast<int>(l0Minus1) + 1;
    const int l1Active = static_cast<int>(l1Minus1) + 1;
    // ref_pic_list_modification (7.3.3.1): NAL unit types 1 and 5 only.
    if (type != kSliceI && type != kSliceSi) {
        const SyntaxError error = SkipRefPicListModification(reader, l0Active);
        if (error != SyntaxError::kNone) {
            return error;
        }
    }
    if (type == kSliceB) {
        const SyntaxError error = SkipRefPicListModification(reader, l1Active);
        if (error != SyntaxError::kNone) {
            return error;
        }
    }
    if ((pps.weightedPred && IsP(type)) || (pps.weightedBipredIdc == kWeightedBipredExplicit && type == kSliceB)) {
        // ChromaArrayType (7.4.2.1.1): 0 where the colour planes are coded apart.
        const int chromaArrayType = sps.separateColourPlane ? 0 : sps.chromaFormatIdc;
        const SyntaxError error = SkipPredWeightTable(reader, type, l0Active, l1Active, chromaArrayType);
        if (error != SyntaxError::kNone) {
            return error;
        }
    }
    if (nalRefIdc != 0) {
        const SyntaxError error = ReadDecRefPicMarking(reader, read);
        if (error != SyntaxError::kNone) {
            return error;
        }
    }
    if (reader.overrun) {
        return SyntaxError::kCutOff;
    }
    slice = read;
    return SyntaxError::kNone;
}

bool FirstSliceOfNewPicture(const SliceHeader& previous, const SliceHeader& slice)
{
    // A redundant coded picture follows its primary picture in the same
    // access unit (7.4.1.2.3).
    if (slice.redundantPicCnt > 0) {
        return false;
    }
    const bool previousIdr = previous.nalUnitType == kNalSliceIdr;
    const bool idr = slice.nalUnitType == kNalSliceIdr;
    // Fields a slice does not code are 0, so comparing all of them compares
    // those that the picture order count type codes (7.4.1.2.4).
    return previous.frameNum != slice.frameNum || previous.ppsId != slice.ppsId ||
           previous.fieldPic != slice.fieldPic || previous.bottomField != slice.bottomField ||
           ((previous.nalRefIdc == 0) != (slice.nalRefIdc == 0)) || previous.picOrderCntLsb != slice.picOrderCntLsb ||
           previous.deltaPicOrderCntBottom != slice.deltaPicOrderCntBottom ||
           previous.deltaPicOrderCnt[0] != slice.deltaPicOrderCnt[0] ||
           previous.deltaPicOrderCnt[1] != slice.deltaPicOrderCnt[1] || previousIdr != idr ||
           (idr && previous.idrPicId != slice.idrPicId);
}

namespace {

bool FitsInt32(int64_t value)
{
    return value >= INT32_MIN && value <= INT32_MAX;
}

}  // namespace

int64_t PictureOrderCount(PocState& state, const AvcSps& sps, const SliceHeader& slice)
{
    const bool idr = slice.nalUnitType == kNalSliceIdr;
    const bool reference = slice.nalRefIdc != 0;
    const bool bottomFieldOnly = slice.fieldPic && slice.bottomField;
    const bool topFieldOnly = slice.fieldPic && !slice.bottomField;
    int64_t top = 0;
    int64_t bottom = 0;
    if (sps.picOrderCntType == 0) {
        // 8.2.1.1: the most significant part carried from the previous
        // reference picture, across a wrap of pic_order_cnt_lsb.
        if (idr) {
            state.prevPicOrderCntMsb = 0;
            state.prevPicOrderCntLsb = 0;
        } else if (state.prevMemoryManagement5) {
            state.prevPicOrderCntMsb = 0;
            state.prevPicOrderCntLsb = state.prevTopFieldOrderCnt;
        }
        const int64_t maxLsb = int64_t{1} << sps.log2MaxPicOrderCntLsb;
        const int64_t lsb = slice.picOrderCntLsb;
        int64_t msb = state.prevPicOrderCntMsb;
        if (lsb < state.prevPicOrderCntLsb && state.prevPicOrderCntLsb - lsb >= maxLsb / 2) {
            msb += maxLsb;
        } else if (lsb > state.prevPicOrderCntLsb && lsb - state.prevPicOrderCntLsb > maxLsb / 2) {
            msb -= maxLsb;
        }
        if (!FitsInt32(msb)) {
            state.outOfRange = true;
            return 0;
        }
        top = msb + lsb;
        bottom = slice.fieldPic ? msb + lsb : top + slice.deltaPicOrderCntBottom;
        if (reference) {
            state.prevPicOrderCntMsb = msb;
            state.prevPicOrderCntLsb = lsb;
        }
    } else {
        // 8.2.1.2 and 8.2.1.3: counted from frame_num, with FrameNumOffset
        // carried across its wraps.
        const int64_t maxFrameNum = int64_t{1} << sps.log2MaxFrameNum;
        const int64_t frameNum = slice.frameNum;
        const int64_t prevFrameNumOffset = state.prevMemoryManagement5 ? 0 : state.prevFrameNumOffset;
        const int64_t prevFrameNum = state.prevMemoryManagement5 ? 0 : state.prevFrameNum;
        int64_t frameNumOffset = prevFrameNumOffset;
        if (idr) {
            frameNumOffset = 0;
        } else if (prevFrameNum > frameNum) {
            frameNumOffset += maxFrameNum;
        }
        // Within 32 bits, the count of a cycle below cannot overflow.
        if (!FitsInt32(frameNumOffset)) {
            state.outOfRange = true;
            return 0;
        }
        if (sps.picOrderCntType == 1) {
            const auto cycle = static_cast<int64_t>(sps.offsetForRefFrame.size());
            int64_t absFrameNum = cycle != 0 ? frameNumOffset + frameNum : 0;
            if (!reference && absFrameNum > 0) {
                --absFrameNum;
            }
            int64_t expected = 0;
            if (absFrameNum > 0) {
                int64_t expectedDeltaPerCycle = 0;
                for (const int32_t offset : sps.offsetForRefFrame) {
                    expectedDeltaPerCycle += offset;
                }
                const int64_t frameNumInCycle = (absFrameNum - 1) % cycle;
                expected = (absFrameNum - 1) / cycle * expectedDeltaPerCycle;
                for (int64_t k = 0; k <= frameNumInCycle; ++k) {
                    expected += sps.offsetForRefFrame[static_cast<std::size_t>(k)];
                }
            }
            if (!reference) {
                expected += sps.offsetForNonRefPic;
            }
            if (!slice.fieldPic) {
                top = expected + slice.deltaPicOrderCnt[0];
                bottom = top + sps.offsetForTopToBottomField + slice.deltaPicOrderCnt[1];
            } else {
                top = expected + slice.deltaPicOrderCnt[0];
                bottom = expected + sps.offsetForTopToBottomField + slice.deltaPicOrderCnt[0];
            }
        } else {
            int64_t temp = 0;
            if (!idr) {
                temp = 2 * (frameNumOffset + frameNum) - (reference ? 0 : 1);
            }
            top = temp;
            bottom = temp;
        }
        state.prevFrameNumOffset = frameNumOffset;
        state.prevFrameNum = frameNum;
    }
    if ((!bottomFieldOnly && !FitsInt32(top)) || (!topFieldOnly && !FitsInt32(bottom))) {
        state.outOfRange = true;
        return 0;
    }
    int64_t count = bottomFieldOnly ? bottom : topFieldOnly ? top : std::min(top, bottom);
    // The picture order count type 0 carries its state from reference
    // pictures only; types 1 and 2 from every picture.
    if (reference || sps.picOrderCntType != 0) {
        state.prevMemoryManagement5 = slice.memoryManagement5;
    }
    if (slice.memoryManagement5) {
        // After the picture is decoded its counts are taken relative to
        // tempPicOrderCnt, its own count (8.2.1): it counts 0, as an IDR
        // picture does, and those after it count on from there. A bottom
        // field has no top field count: 0 stands in for it.
        state.prevTopFieldOrderCnt = bottomFieldOnly ? 0 : top - count;
        count = 0;
    }
    return count;
}
