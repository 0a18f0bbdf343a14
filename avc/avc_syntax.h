// The H.264 syntax that soft pulldown touches (ISO/IEC 14496-10): the bits
// of a NAL unit's payload, the sequence and picture parameter sets, the
// slice header up to what decides a picture's order, and the SEI messages
// that time a picture.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// nal_unit_type (Table 7-1).
constexpr int kNalSliceNonIdr = 1;
constexpr int kNalSliceIdr = 5;
constexpr int kNalSei = 6;
constexpr int kNalSps = 7;
constexpr int kNalPps = 8;
constexpr int kNalAccessUnitDelimiter = 9;

// A NAL unit's payload with its emulation_prevention_three_bytes taken out
// (7.4.1): the raw byte sequence payload, read bit by bit. A read past the
// end gives zero bits and sets `overrun`, so that a cut-off header is
// refused once, where it is read, rather than at every bit.
struct BitReader {
    const uint8_t* data = nullptr;
    std::size_t size = 0;
    std::size_t bit = 0;  // the next bit to read, from the first byte's highest
    bool overrun = false;
};

uint32_t ReadBits(BitReader& reader, int count);  // u(n), count 0 to 32
bool ReadFlag(BitReader& reader);                 // u(1)
uint32_t ReadUe(BitReader& reader);               // ue(v), 9.1; more than 32 bits of value is an overrun
int32_t ReadSe(BitReader& reader);                // se(v), 9.1.1
// more_rbsp_data() (7.2): bits remain before the rbsp_stop_one_bit.
bool MoreRbspData(const BitReader& reader);

// Writes bits, highest first, into whole bytes.
struct BitWriter {
    std::vector<uint8_t> bytes;
    int freeBits = 0;  // unused low bits of the last byte
};

void WriteBits(BitWriter& writer, uint32_t value, int count);  // count 0 to 32
void WriteUe(BitWriter& writer, uint32_t value);
void WriteSe(BitWriter& writer, int32_t value);
// rbsp_trailing_bits (7.3.2.11): a one, then zeros to the byte's end.
void WriteTrailingBits(BitWriter& writer);

// The payload of a NAL unit (the bytes after its one-byte header, up to the
// next start code): emulation_prevention_three_byte removed (7.4.1.1).
void Unescape(const uint8_t* payload, std::size_t size, std::vector<uint8_t>& rbsp);
// The reverse: a 0x03 inserted wherever two zero bytes are followed by a
// byte of 0 to 3, and after a last zero byte (7.4.1.1), appended to `out`.
void Escape(const uint8_t* rbsp, std::size_t size, std::vector<uint8_t>& out);

// Why a parameter set, slice header or SEI message could not be read.
enum class SyntaxError : uint8_t {
    kNone,
    kCutOff,      // it ends before its last syntax element
    kOutOfRange,  // a value its clause does not allow
    kUnknownSps,  // refers to a sequence parameter set not seen
    kUnknownPps,  // refers to a picture parameter set not seen
};

// seq_parameter_set_data (7.3.2.1.1) with the VUI (E.1.1): what decides how
// pictures are ordered and timed, and where the timing fields lie.
struct AvcSps {
    int profileIdc = 0;
    int levelIdc = 0;
    int id = 0;  // seq_parameter_set_id, 0 to 31
    int chromaFormatIdc = 1;
    bool separateColourPlane = false;
    int log2MaxFrameNum = 4;
    int picOrderCntType = 0;
    int log2MaxPicOrderCntLsb = 4;
    bool deltaPicOrderAlwaysZero = false;
    int32_t offsetForNonRefPic = 0;
    int32_t offsetForTopToBottomField = 0;
    std::vector<int32_t> offsetForRefFrame;  // num_ref_frames_in_pic_order_cnt_cycle of them
    int maxNumRefFrames = 0;
    int widthInMbs = 0;        // pic_width_in_mbs_minus1 + 1
    int heightInMapUnits = 0;  // pic_height_in_map_units_minus1 + 1
    bool frameMbsOnly = true;
    bool mbAdaptiveFrameField = false;
    // frame_cropping: in luma samples, the width and height shown.
    int width = 0;
    int height = 0;
    bool vuiPresent = false;
    bool timingInfoPresent = false;
    uint32_t numUnitsInTick = 0;
    uint32_t timeScale = 0;
    bool fixedFrameRate = false;
    bool nalHrd = false;
    bool vclHrd = false;
    // Of the first HRD parameters present (E.1.2); 24 when there are none.
    int cpbRemovalDelayLength = 24;
    int dpbOutputDelayLength = 24;
    int timeOffsetLength = 24;
    bool picStructPresent = false;
    // Where, in the parameter set's payload (after the NAL header, emulation
    // prevention taken out), the bits of num_units_in_tick start (time_scale
    // and fixed_frame_rate_flag follow it), and pic_struct_present_flag's
    // bit; -1 where the VUI lacks them.
    int64_t timingBit = -1;
    int64_t picStructBit = -1;
};

// CpbDpbDelaysPresentFlag (E.2.1): HRD parameters of either kind present.
inline bool CpbDpbDelaysPresent(const AvcSps& sps)
{
    return sps.nalHrd || sps.vclHrd;
}

// Reads an SPS from its payload (rbsp, emulation prevention taken out).
// Bits left before rbsp_trailing_bits are kOutOfRange: it was read wrong.
SyntaxError ParseSps(const uint8_t* rbsp, std::size_t size, AvcSps& sps);

// The SPS NAL unit anew (its header byte, then the payload with emulation
// prevention redone), every syntax element kept but num_units_in_tick and
// time_scale as given, fixed_frame_rate_flag 1 and pic_struct_present_flag
// 1. `rbsp` is the payload ParseSps read into `sps`, which must have
// timingBit and picStructBit.
std::vector<uint8_t> RewriteSps(uint8_t nalHeader, const uint8_t* rbsp, std::size_t size, const AvcSps& sps,
                                uint32_t numUnitsInTick, uint32_t timeScale);

// pic_parameter_set_rbsp (7.3.2.2), as far as the slice header needs it.
struct AvcPps {
    int id = 0;  // pic_parameter_set_id, 0 to 255
    int spsId = 0;
    bool entropyCodingMode = false;
    bool bottomFieldPicOrderInFramePresent = false;
    int numRefIdxL0DefaultActive = 1;
    int numRefIdxL1DefaultActive = 1;
    bool weightedPred = false;
    int weightedBipredIdc = 0;
    bool redundantPicCntPresent = false;
};

SyntaxError ParsePps(const uint8_t* rbsp, std::size_t size, AvcPps& pps);

// The parameter sets seen so far, by id; a later one with the same id
// replaces the earlier.
struct ParameterSets {
    AvcSps sps[32];
    bool hasSps[32] = {};
    AvcPps pps[256];
    bool hasPps[256] = {};
};

// slice_header (7.3.3) up to dec_ref_pic_marking, and what it names.
struct SliceHeader {
    int nalUnitType = 0;
    int nalRefIdc = 0;
    uint32_t firstMbInSlice = 0;
    int sliceType = 0;  // 0 to 9; modulo 5: 0 P, 1 B, 2 I, 3 SP, 4 SI
    int ppsId = 0;
    int spsId = 0;
    uint32_t frameNum = 0;
    bool fieldPic = false;
    bool bottomField = false;
    uint32_t idrPicId = 0;
    uint32_t picOrderCntLsb = 0;
    int32_t deltaPicOrderCntBottom = 0;
    int32_t deltaPicOrderCnt[2] = {0, 0};
    uint32_t redundantPicCnt = 0;
    // memory_management_control_operation 5 among its dec_ref_pic_marking.
    bool memoryManagement5 = false;
};

// Reads a slice header from a slice NAL unit's payload (types 1 and 5).
SyntaxError ParseSliceHeader(const uint8_t* rbsp, std::size_t size, int nalUnitType, int nalRefIdc,
                             const ParameterSets& sets, SliceHeader& slice);

// True if `slice` begins a new primary coded picture after `previous`, the
// first slice of the picture before (7.4.1.2.4).
bool FirstSliceOfNewPicture(const SliceHeader& previous, const SliceHeader& slice);

// The decoding process for picture order count (8.2.1), carried from one
// picture to the next.
struct PocState {
    int64_t prevPicOrderCntMsb = 0;
    int64_t prevPicOrderCntLsb = 0;
    int64_t prevFrameNumOffset = 0;
    int64_t prevFrameNum = 0;
    bool prevMemoryManagement5 = false;
    // Of the picture before, where it had mmco 5: its TopFieldOrderCnt less
    // tempPicOrderCnt (8.2.1), 0 for a top field; 0 for a bottom field.
    int64_t prevTopFieldOrderCnt = 0;
    // A count, PicOrderCntMsb or FrameNumOffset left 32 bits, which no
    // stream a decoder takes does (8.2.1): the count given is then 0.
    bool outOfRange = false;
};

// PicOrderCnt of the picture whose first slice is `slice` (8.2.1: the
// smaller of its two fields' counts for a frame), from types 0, 1 and 2.
// An IDR picture, or one with memory_management_control_operation 5,
// starts the counts again: it counts 0 (the latter its counts less its
// own, tempPicOrderCnt), and the pictures after it count on from there.
// Type 0 carries its state from reference pictures only, types 1 and 2
// from every picture.
int64_t PictureOrderCount(PocState& state, const AvcSps& sps, const SliceHeader& slice);

// pic_struct (Table D-1).
constexpr int kPicStructFrame = 0;
constexpr int kPicStructTopBottom = 3;
constexpr int kPicStructBottomTop = 4;
constexpr int kPicStructTopBottomTop = 5;
constexpr int kPicStructBottomTopBottom = 6;
constexpr int kPicStructFrameDoubling = 7;
constexpr int kPicStructFrameTripling = 8;

// payloadType (Annex D).
constexpr int kSeiBufferingPeriod = 0;
constexpr int kSeiPicTiming = 1;

// One SEI message of an SEI NAL unit's payload (7.3.2.3.1): its type and
// where its payload lies in that payload.
struct SeiMessage {
    int type = 0;
    std::size_t offset = 0;
    std::size_t size = 0;
};

// The messages of an SEI NAL unit's payload, up to rbsp_trailing_bits.
SyntaxError ParseSeiMessages(const uint8_t* rbsp, std::size_t size, std::vector<SeiMessage>& messages);

// pic_timing (D.1.3) as far as pulldown goes.
struct PicTiming {
    uint32_t cpbRemovalDelay = 0;
    uint32_t dpbOutputDelay = 0;
    int picStruct = -1;  // -1: not present
};

// A reserved pic_struct (9 to 15), or a payload that does not end as
// sei_payload does (D.1), is kOutOfRange.
SyntaxError ParsePicTiming(const uint8_t* payload, std::size_t size, const AvcSps& sps, PicTiming& timing);

// A pic_timing payload for the SPS: the two delays where
// CpbDpbDelaysPresent, pic_struct with no clock timestamps
// (clock_timestamp_flag 0 for each), byte-aligned as sei_payload ends it.
std::vector<uint8_t> BuildPicTiming(const AvcSps& sps, const PicTiming& timing);

// An SEI NAL unit (header byte 0x06, payload escaped, rbsp_trailing_bits)
// holding the given messages, whose payloads are given in order.
std::vector<uint8_t> BuildSeiNal(const std::vector<int>& types, const std::vector<std::vector<uint8_t>>& payloads);
