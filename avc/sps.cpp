// The sequence parameter set (7.3.2.1.1) with its VUI (E.1.1): read for what
// orders and times the pictures, and written anew with a new timing.
#include <climits>

#include "avc/avc_syntax.h"

namespace {

constexpr int kBitsPerByte = 8;

// profile_idc values whose SPS carries chroma_format_idc, the bit depths and
// the scaling matrix (7.3.2.1.1).
constexpr int kChromaProfiles[] = {100, 110, 122, 244, 44, 83, 86, 118, 128, 138, 139, 134, 135};

// Ranges of the syntax elements (7.4.2.1.1, E.2.1).
constexpr uint32_t kMostSpsId = 31;
constexpr uint32_t kMostChromaFormatIdc = 3;
constexpr uint32_t kMostBitDepthMinus8 = 6;
constexpr uint32_t kMostLog2Minus4 = 12;  // log2_max_frame_num and the order count lsb: 4 to 16
constexpr int kLog2Base = 4;
constexpr uint32_t kMostPicOrderCntType = 2;
constexpr uint32_t kMostRefFramesInCycle = 255;
constexpr uint32_t kMostRefFrames = 16;  // MaxDpbFrames is at most 16 (A.3.1)
constexpr uint32_t kMostCpbCntMinus1 = 31;

// chroma_format_idc 3: 4:4:4, with its own scaling lists for Cb and Cr.
constexpr uint32_t kChroma444 = 3;
// seq_scaling_list_present_flag: six 4x4 lists, then two 8x8 lists, or six
// for 4:4:4 (7.3.2.1.1); scaling_list() sizes 16 and 64 (7.3.2.1.1.1).
constexpr int kScalingLists4x4 = 6;
constexpr int kScalingLists8x8 = 2;
constexpr int kScalingLists8x8Chroma444 = 6;
constexpr int kScalingList4x4Size = 16;
constexpr int kScalingList8x8Size = 64;
// scaling_list(): lastScale and nextScale start at 8; delta_scale is -128 to
// 127 and the scale wraps at 256.
constexpr int kScaleStart = 8;
constexpr int kScaleWrap = 256;
constexpr int32_t kLeastDeltaScale = -128;
constexpr int32_t kMostDeltaScale = 127;

// CropUnitX and, for frames, CropUnitY by ChromaArrayType (7.4.2.1.1): 1
// where there is no chroma array (0), else SubWidthC and SubHeightC
// (Table 6-1) of chroma_format_idc 1 (4:2:0), 2 (4:2:2) and 3 (4:4:4).
constexpr int kCropUnitX[] = {1, 2, 2, 1};
constexpr int kCropUnitY[] = {1, 2, 1, 1};
constexpr int kMacroblockSize = 16;

// aspect_ratio_idc Extended_SAR (Table E-1).
constexpr uint32_t kExtendedSar = 255;
constexpr uint32_t kMostChromaSampleLocType = 5;

// num_units_in_tick and time_scale, u(32) (E.1.1).
constexpr int kFieldBits = 32;

bool HasChromaSyntax(int profileIdc)
{
    for (const int profile : kChromaProfiles) {
        if (profile == profileIdc) {
            return true;
        }
    }
    return false;
}

// scaling_list() (7.3.2.1.1.1), read past: the values do not matter here.
bool SkipScalingList(BitReader& reader, int size)
{
    int lastScale = kScaleStart;
    int nextScale = kScaleStart;
    for (int j = 0; j < size && nextScale != 0; ++j) {
        const int32_t deltaScale = ReadSe(reader);  // delta_scale
        if (deltaScale < kLeastDeltaScale || deltaScale > kMostDeltaScale) {
            return false;
        }
        nextScale = (lastScale + deltaScale + kScaleWrap) % kScaleWrap;
        lastScale = nextScale == 0 ? lastScale : nextScale;
    }
    return true;
}

// hrd_parameters() (E.1.2); the lengths are kept from the first present.
SyntaxError ReadHrd(BitReader& reader, bool first, AvcSps& sps)
{
    const uint32_t cpbCntMinus1 = ReadUe(reader);  // cpb_cnt_minus1
    if (cpbCntMinus1 > kMostCpbCntMinus1) {
        return reader.overrun ? SyntaxError::kCutOff : SyntaxError::kOutOfRange;
    }
    ReadBits(reader, 4);  // bit_rate_scale
    ReadBits(reader, 4);  // cpb_size_scale
    for (uint32_t k = 0; k <= cpbCntMinus1; ++k) {
        ReadUe(reader);    // bit_rate_value_minus1[SchedSelIdx]
        ReadUe(reader);    // cpb_size_value_minus1[SchedSelIdx]
        ReadFlag(reader);  // cbr_flag[SchedSelIdx]
    }
    ReadBits(reader, 5);  // initial_cpb_removal_delay_length_minus1
    const int cpbRemovalDelayLength = static_cast<int>(ReadBits(reader, 5)) + 1;  // cpb_removal_delay_length_minus1
    const int dpbOutputDelayLength = static_cast<int>(ReadBits(reader, 5)) + 1;   // dpb_output_delay_length_minus1
    const int timeOffsetLength = static_cast<int>(ReadBits(reader, 5));           // time_offset_length
    if (first) {
        sps.cpbRemovalDelayLength = cpbRemovalDelayLength;
        sps.dpbOutputDelayLength = dpbOutputDelayLength;
        sps.timeOffsetLength = timeOffsetLength;
    }
    return reader.overrun ? SyntaxError::kCutOff : SyntaxError::kNone;
}

// vui_parameters() (E.1.1).
SyntaxError ReadVui(BitReader& reader, AvcSps& sps)
{
    if (ReadFlag(reader)) {                         // aspect_ratio_info_present_flag
        if (ReadBits(reader, 8) == kExtendedSar) {  // aspect_ratio_idc
            ReadBits(reader, 16);                   // sar_width
            ReadBits(reader, 16);                   // sar_height
        }
    }
    if (ReadFlag(reader)) {  // overscan_info_present_flag
        ReadFlag(reader);    // overscan_appropriate_flag
    }
    if (ReadFlag(reader)) {       // video_signal_type_present_flag
        ReadBits(reader, 3);      // video_format
        ReadFlag(reader);         // video_full_range_flag
        if (ReadFlag(reader)) {   // colour_description_present_flag
            ReadBits(reader, 8);  // colour_primaries
            ReadBits(reader, 8);  // transfer_characteristics
            ReadBits(reader, 8);  // matrix_coefficients
        }
    }
    if (ReadFlag(reader)) {                      // chroma_loc_info_present_flag
        const uint32_t top = ReadUe(reader);     // chroma_sample_loc_type_top_field
        const uint32_t bottom = ReadUe(reader);  // chroma_sample_loc_type_bottom_field
        if (!reader.overrun && (top > kMostChromaSampleLocType || bottom > kMostChromaSampleLocType)) {
            return SyntaxError::kOutOfRange;
        }
    }
    sps.timingInfoPresent = ReadFlag(reader);  // timing_info_present_flag
    if (sps.timingInfoPresent) {
        sps.timingBit = static_cast<int64_t>(reader.bit);
        sps.numUnitsInTick = ReadBits(reader, kFieldBits);  // num_units_in_tick
        sps.timeScale = ReadBits(reader, kFieldBits);       // time_scale
        sps.fixedFrameRate = ReadFlag(reader);              // fixed_frame_rate_flag
        // Both are greater than 0 (E.2.1): a rate is divided by them.
        if (!reader.overrun && (sps.numUnitsInTick == 0 || sps.timeScale == 0)) {
            return SyntaxError::kOutOfRange;
        }
    }
    sps.nalHrd = ReadFlag(reader);  // nal_hrd_parameters_present_flag
    if (sps.nalHrd) {
        const SyntaxError error = ReadHrd(reader, true, sps);
        if (error != SyntaxError::kNone) {
            return error;
        }
    }
    sps.vclHrd = ReadFlag(reader);  // vcl_hrd_parameters_present_flag
    if (sps.vclHrd) {
        const SyntaxError error = ReadHrd(reader, !sps.nalHrd, sps);
        if (error != SyntaxError::kNone) {
            return error;
        }
    }
    if (sps.nalHrd || sps.vclHrd) {
        ReadFlag(reader);  // low_delay_hrd_flag
    }
    sps.picStructBit = static_cast<int64_t>(reader.bit);
    sps.picStructPresent = ReadFlag(reader);  // pic_struct_present_flag
    if (ReadFlag(reader)) {                   // bitstream_restriction_flag
        ReadFlag(reader);                     // motion_vectors_over_pic_boundaries_flag
        ReadUe(reader);                       // max_bytes_per_pic_denom
        ReadUe(reader);                       // max_bits_per_mb_denom
        ReadUe(reader);                       // log2_max_mv_length_horizontal
        ReadUe(reader);                       // log2_max_mv_length_vertical
        ReadUe(reader);                       // max_num_reorder_frames
        ReadUe(reader);                       // max_dec_frame_buffering
    }
    return reader.overrun ? SyntaxError::kCutOff : SyntaxError::kNone;
}

// The width or height shown, in luma samples: `mbs` macroblocks less the
// cropped units (7.4.2.1.1).
int64_t ShownSize(int64_t mbs, int64_t cropUnit, uint32_t cropStart, uint32_t cropEnd)
{
    return mbs * kMacroblockSize - cropUnit * (int64_t{cropStart} + cropEnd);
}

}  // namespace

SyntaxError ParseSps(const uint8_t* rbsp, std::size_t size, AvcSps& sps)
{
    sps = AvcSps{};
    BitReader reader{rbsp, size};
    sps.profileIdc = static_cast<int>(ReadBits(reader, 8));  // profile_idc
    ReadBits(reader, 6);                                     // constraint_set0_flag to constraint_set5_flag
    ReadBits(reader, 2);                                     // reserved_zero_2bits
    sps.levelIdc = static_cast<int>(ReadBits(reader, 8));    // level_idc
    const uint32_t id = ReadUe(reader);                      // seq_parameter_set_id
    if (reader.overrun) {
        return SyntaxError::kCutOff;
    }
    if (id > kMostSpsId) {
        return SyntaxError::kOutOfRange;
    }
    sps.id = static_cast<int>(id);
    if (HasChromaSyntax(sps.profileIdc)) {
        const uint32_t chromaFormatIdc = ReadUe(reader);  // chroma_format_idc
        if (!reader.overrun && chromaFormatIdc > kMostChromaFormatIdc) {
            return SyntaxError::kOutOfRange;
        }
        sps.chromaFormatIdc = static_cast<int>(chromaFormatIdc);
        if (chromaFormatIdc == kChroma444) {
            sps.separateColourPlane = ReadFlag(reader);  // separate_colour_plane_flag
        }
        const uint32_t lumaDepth = ReadUe(reader);    // bit_depth_luma_minus8
        const uint32_t chromaDepth = ReadUe(reader);  // bit_depth_chroma_minus8
        if (!reader.overrun && (lumaDepth > kMostBitDepthMinus8 || chromaDepth > kMostBitDepthMinus8)) {
            return SyntaxError::kOutOfRange;
        }
        ReadFlag(reader);        // qpprime_y_zero_transform_bypass_flag
        if (ReadFlag(reader)) {  // seq_scaling_matrix_present_flag
            const int lists =
                kScalingLists4x4 + (chromaFormatIdc == kChroma444 ? kScalingLists8x8Chroma444 : kScalingLists8x8);
            for (int k = 0; k < lists; ++k) {
                if (ReadFlag(reader) &&  // seq_scaling_list_present_flag[i]
                    !SkipScalingList(reader, k < kScalingLists4x4 ? kScalingList4x4Size : kScalingList8x8Size)) {
                    return reader.overrun ? SyntaxError::kCutOff : SyntaxError::kOutOfRange;
                }
            }
        }
    }
    const uint32_t log2MaxFrameNumMinus4 = ReadUe(reader);  // log2_max_frame_num_minus4
    const uint32_t picOrderCntType = ReadUe(reader);        // pic_order_cnt_type
    if (reader.overrun) {
        return SyntaxError::kCutOff;
    }
    if (log2MaxFrameNumMinus4 > kMostLog2Minus4 || picOrderCntType > kMostPicOrderCntType) {
        return SyntaxError::kOutOfRange;
    }
    sps.log2MaxFrameNum = static_cast<int>(log2MaxFrameNumMinus4) + kLog2Base;
    sps.picOrderCntType = static_cast<int>(picOrderCntType);
    if (picOrderCntType == 0) {
        const uint32_t log2Minus4 = ReadUe(reader);  // log2_max_pic_order_cnt_lsb_minus4
        if (!reader.overrun && log2Minus4 > kMostLog2Minus4) {
            return SyntaxError::kOutOfRange;
        }
        sps.log2MaxPicOrderCntLsb = static_cast<int>(log2Minus4) + kLog2Base;
    } else if (picOrderCntType == 1) {
        sps.deltaPicOrderAlwaysZero = ReadFlag(reader);  // delta_pic_order_always_zero_flag
        sps.offsetForNonRefPic = ReadSe(reader);         // offset_for_non_ref_pic
        sps.offsetForTopToBottomField = ReadSe(reader);  // offset_for_top_to_bottom_field
        const uint32_t cycle = ReadUe(reader);           // num_ref_frames_in_pic_order_cnt_cycle
        if (reader.overrun) {
            return SyntaxError::kCutOff;
        }
        if (cycle > kMostRefFramesInCycle) {
            return SyntaxError::kOutOfRange;
        }
        for (uint32_t k = 0; k < cycle; ++k) {
            sps.offsetForRefFrame.push_back(ReadSe(reader));  // offset_for_ref_frame[i]
        }
    }
    const uint32_t maxNumRefFrames = ReadUe(reader);  // max_num_ref_frames
    ReadFlag(reader);                                 // gaps_in_frame_num_value_allowed_flag
    const uint32_t widthMinus1 = ReadUe(reader);      // pic_width_in_mbs_minus1
    const uint32_t heightMinus1 = ReadUe(reader);     // pic_height_in_map_units_minus1
    sps.frameMbsOnly = ReadFlag(reader);              // frame_mbs_only_flag
    if (!sps.frameMbsOnly) {
        sps.mbAdaptiveFrameField = ReadFlag(reader);  // mb_adaptive_frame_field_flag
    }
    ReadFlag(reader);  // direct_8x8_inference_flag
    uint32_t crop[4] = {0, 0, 0, 0};
    if (ReadFlag(reader)) {  // frame_cropping_flag
        // frame_crop_left_offset, frame_crop_right_offset,
        // frame_crop_top_offset, frame_crop_bottom_offset
        for (uint32_t& offset : crop) {
            offset = ReadUe(reader);
        }
    }
    if (reader.overrun) {
        return SyntaxError::kCutOff;
    }
    if (maxNumRefFrames > kMostRefFrames) {
        return SyntaxError::kOutOfRange;
    }
    sps.maxNumRefFrames = static_cast<int>(maxNumRefFrames);
    // ChromaArrayType is 0 where the colour planes are coded apart; the
    // crop unit is doubled vertically where fields may be coded.
    const int frameFactor = sps.frameMbsOnly ? 1 : 2;
    const int chromaArrayType = sps.separateColourPlane ? 0 : sps.chromaFormatIdc;
    const int64_t widthInMbs = int64_t{widthMinus1} + 1;
    const int64_t frameHeightInMbs = (int64_t{heightMinus1} + 1) * frameFactor;
    const int64_t width = ShownSize(widthInMbs, kCropUnitX[chromaArrayType], crop[0], crop[1]);
    const int64_t height = ShownSize(frameHeightInMbs, kCropUnitY[chromaArrayType] * frameFactor, crop[2], crop[3]);
    if (width <= 0 || height <= 0 || width > INT_MAX || height > INT_MAX) {
        return SyntaxError::kOutOfRange;
    }
    sps.width = static_cast<int>(width);
    sps.height = static_cast<int>(height);
    sps.widthInMbs = static_cast<int>(widthInMbs);
    sps.heightInMapUnits = static_cast<int>(heightMinus1 + 1);
    sps.vuiPresent = ReadFlag(reader);  // vui_parameters_present_flag
    if (sps.vuiPresent) {
        const SyntaxError error = ReadVui(reader, sps);
        if (error != SyntaxError::kNone) {
            return error;
        }
    }
    if (reader.overrun) {
        return SyntaxError::kCutOff;
    }
    // rbsp_trailing_bits (7.3.2.1): more before them is a parameter set
    // read wrong, not one to rewrite.
    return MoreRbspData(reader) ? SyntaxError::kOutOfRange : SyntaxError::kNone;
}

namespace {

// Sets `count` bits of `rbsp` from bit `bit` on (the first byte's highest
// bit is bit 0) to `value`, highest first.
void OverwriteBits(std::vector<uint8_t>& rbsp, int64_t bit, uint32_t value, int count)
{
    for (int k = 0; k < count; ++k, ++bit) {
        const auto byte = static_cast<std::size_t>(bit / kBitsPerByte);
        const auto mask = static_cast<uint8_t>(1U << (kBitsPerByte - 1 - bit % kBitsPerByte));
        const bool one = ((value >> (count - 1 - k)) & 1U) != 0;
        rbsp[byte] = static_cast<uint8_t>(one ? rbsp[byte] | mask : rbsp[byte] & ~mask);
    }
}

}  // namespace

std::vector<uint8_t> RewriteSps(uint8_t nalHeader, const uint8_t* rbsp, std::size_t size, const AvcSps& sps,
                                uint32_t numUnitsInTick, uint32_t timeScale)
{
    // num_units_in_tick, time_scale and fixed_frame_rate_flag, then
    // pic_struct_present_flag (E.1.1): fixed lengths, so every other bit
    // stays where it was. pic_struct_present_flag comes after the others:
    // where it lies within `rbsp`, they do too.
    if (sps.timingBit < 0 || sps.picStructBit >= static_cast<int64_t>(size) * kBitsPerByte) {
        return {};
    }
    std::vector<uint8_t> copy(rbsp, rbsp + size);
    OverwriteBits(copy, sps.timingBit, numUnitsInTick, kFieldBits);
    OverwriteBits(copy, sps.timingBit + kFieldBits, timeScale, kFieldBits);
    OverwriteBits(copy, sps.timingBit + 2 * kFieldBits, 1, 1);
    OverwriteBits(copy, sps.picStructBit, 1, 1);
    std::vector<uint8_t> nal{nalHeader};
    Escape(copy.data(), copy.size(), nal);
    return nal;
}
