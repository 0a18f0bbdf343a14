// Soft pulldown on an H.264 byte stream: NAL units and access units found, held until shown, and written with their new
// timing.
#include "avc/avc_stream.h"

#include <algorithm>
#include <cstring>
#include <numeric>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "stream/display_order.h"
#include "stream/rewriters.h"
#include "stream/timeline.h"

namespace {

// A start code prefix is two zero bytes and a one (B.1.1); zero bytes
// before it are leading_zero_8bits, zero_byte or trailing_zero_8bits.
constexpr uint8_t kPrefixLastByte = 0x01;
constexpr std::size_t kPrefixZeroBytes = 2;

// nal_unit_header (7.3.1): forbidden_zero_bit, nal_ref_idc (2 bits),
// nal_unit_type (5 bits).
constexpr uint8_t kForbiddenZeroBit = 0x80;
int NalUnitType(uint8_t header)
{
    return header & 0x1F;
}
int NalRefIdc(uint8_t header)
{
    return (header >> 5) & 0x03;
}

// H.265's two-byte nal_unit_header (ISO/IEC 23008-2, 7.3.1.2):
// forbidden_zero_bit, nal_unit_type (6 bits), nuh_layer_id (6 bits),
// nuh_temporal_id_plus1 (3 bits, never 0). The types that begin a stream:
// VPS 32, SPS 33, PPS 34, access unit delimiter 35, prefix SEI 39.
constexpr int kHevcVps = 32;
constexpr int kHevcAud = 35;
constexpr int kHevcPrefixSei = 39;

// Types 14 to 18 (prefix NAL unit, subset SPS, reserved) also begin an
// access unit when they follow a picture (7.4.1.2.3).
constexpr int kFirstOtherStarter = 14;
constexpr int kLastOtherStarter = 18;

// The most frames a decoded picture buffer holds at any level (A.3.1,
// MaxDpbFrames): a picture is never shown after more than this many
// pictures decoded after it.
constexpr int kMaxDpbFrames = 16;
// Access units held before the first of them is shown: far more than a
// stream that a decoder can show needs.
constexpr std::size_t kMostHeldAccessUnits = 1024;

// picture_structure as MPEG-2 counts it (ISO/IEC 13818-2, Table 6-14).
constexpr uint8_t kTopField = 1;
constexpr uint8_t kBottomField = 2;
constexpr uint8_t kFramePicture = 3;

// Buffers of access units written, kept for the next ones: as many as a
// decoder holds pictures, and one more.
constexpr std::size_t kSpareBuffers = kMaxDpbFrames + 1;

// The bytes of a slice read for its header first.
constexpr std::size_t kSliceHeaderBytes = 256;

// slice_type modulo 5 (Table 7-6).
constexpr int kSliceP = 0;
constexpr int kSliceB = 1;
constexpr int kSliceSp = 3;

bool IsSlice(int type)
{
    return type == kNalSliceNonIdr || type == kNalSliceIdr;
}

bool BeginsAccessUnit(int type)
{
    return type == kNalSei || type == kNalSps || type == kNalPps || type == kNalAccessUnitDelimiter ||
           (type >= kFirstOtherStarter && type <= kLastOtherStarter);
}

bool Converting(const StreamCounters& counters)
{
    return counters.job.kind != JobKind::kDescribe;
}

void RefuseSyntax(StreamCounters& counters, int64_t offset, int type)
{
    counters.refusal = Refusal::kAvcSyntax;
    counters.refusalValue = offset;
    counters.refusalCount = type;
}

// The NAL unit at `offset` would take more than `most` bytes.
void RefuseTooLarge(StreamCounters& counters, int64_t offset, std::size_t most)
{
    counters.refusal = Refusal::kAvcTooLarge;
    counters.refusalValue = offset;
    counters.refusalCount = static_cast<int64_t>(most);
}

// The memory an access unit takes, as kMostHeldBytes counts it: its bytes,
// its SPS anew, and each NAL unit's place.
constexpr std::size_t kNalPlaceBytes = sizeof(NalUnit) + sizeof(std::vector<uint8_t>);
std::size_t Footprint(const AccessUnit& au)
{
    return au.bytes.size() + au.replacedBytes + au.nals.size() * kNalPlaceBytes;
}

// How many bytes the next NAL unit (with its place) may take.
std::size_t Room(const AvcConverter& c)
{
    const std::size_t held = Footprint(c.building) + c.queuedBytes + kNalPlaceBytes;
    return c.mostHeldBytes - std::min(c.mostHeldBytes, held);
}

// The frame_rate_code of the SPS's timing (E.2.1): a frame lasts two
// ticks of num_units_in_tick / time_scale seconds; 0 for a rate with none.
int RateCodeOfTiming(const AvcSps& sps)
{
    for (int code = kFirstFrameRateCode; code <= kLastFrameRateCode; ++code) {
        const FrameRate rate = RateOfCode(code);
        if (int64_t{sps.timeScale} * rate.denominator == 2 * int64_t{sps.numUnitsInTick} * rate.numerator) {
            return code;
        }
    }
    return 0;
}

// The output's timing: a tick is one field at its rate, num_units_in_tick
// kept where time_scale can follow it exactly.
void OutputTiming(const AvcSps& sps, int rateCode, uint32_t& numUnitsInTick, uint32_t& timeScale)
{
    const FrameRate rate = RateOfCode(rateCode);
    const int64_t scaled = 2 * rate.numerator * int64_t{sps.numUnitsInTick};
    if (scaled % rate.denominator == 0 && scaled / rate.denominator <= int64_t{UINT32_MAX}) {
        numUnitsInTick = sps.numUnitsInTick;
        timeScale = static_cast<uint32_t>(scaled / rate.denominator);
    } else {
        numUnitsInTick = static_cast<uint32_t>(rate.denominator);
        timeScale = static_cast<uint32_t>(2 * rate.numerator);
    }
}

// A sequence parameter set: the stream's rate, size and kind of coding for
// the counters; converting, the rate planned and the set written anew.
void TakeSps(AvcConverter& c, StreamCounters& counters, const AvcSps& sps, uint8_t nalHeader,
             std::vector<uint8_t>& replacement)
{
    c.sets.sps[sps.id] = sps;
    c.sets.hasSps[sps.id] = true;
    c.activeSps = sps.id;
    counters.sequenceSeen = true;
    counters.avc = true;
    counters.horizontalSize = sps.width;
    counters.verticalSize = sps.height;
    counters.verticalSizeValue = sps.height;
    counters.chromaFormat = sps.chromaFormatIdc;
    counters.frameMbsOnly = sps.frameMbsOnly;
    if (!sps.vuiPresent || !sps.timingInfoPresent) {
        counters.frameRateCode = 0;
        if (Converting(counters)) {
            counters.refusal = Refusal::kAvcNoTiming;
            counters.refusalValue = sps.vuiPresent ? 1 : 0;
        }
        return;
    }
    counters.frameRateCode = RateCodeOfTiming(sps);
    if (!Converting(counters)) {
        return;
    }
    Refusal refusal = PlanRate(counters);
    // Frame doubling and tripling (pic_struct 7 and 8) show a frame as a
    // whole: only where every picture is coded as a frame (D.2.2).
    if (refusal == Refusal::kNone && counters.cadence.unitsPerFrame == 1 && !sps.frameMbsOnly &&
        counters.job.kind == JobKind::kPulldown) {
        refusal = Refusal::kInterlacedFrameRepetition;
    }
    if (refusal != Refusal::kNone) {
        counters.refusal = refusal;
        return;
    }
    uint32_t numUnitsInTick = 0;
    uint32_t timeScale = 0;
    OutputTiming(sps, counters.targetCode, numUnitsInTick, timeScale);
    replacement = RewriteSps(nalHeader, c.rbsp.data(), c.rbsp.size(), sps, numUnitsInTick, timeScale);
}

// The pictures a decoder shows next: the smallest picture order count of
// those not shown yet, counted from the last IDR picture or mmco 5.
void ShowNext(AvcConverter& c, StreamCounters& counters);

void ShowAll(AvcConverter& c, StreamCounters& counters)
{
    while (c.pending > 0 && counters.refusal == Refusal::kNone) {
        ShowNext(c, counters);
    }
}

// How the input shows a picture, in the terms of MPEG-2's flags that the
// counters count in: pic_struct (Table D-1) 3 and 4 are two fields, 5 and
// 6 three, starting on the top field or the bottom; 7 and 8 two and three
// frames. A frame (0, or no pic_struct) is two fields, or one frame in a
// stream at 50 fps or more.
PictureRecord RecordOf(const AccessUnit& au, const StreamCounters& counters)
{
    PictureRecord picture;
    picture.coded = au.coded;
    picture.temporalReference = static_cast<int32_t>(std::clamp<int64_t>(au.order, INT32_MIN, INT32_MAX));
    const int type = au.slice.sliceType % 5;
    picture.type = type == kSliceB                       ? PictureType::kBidirectional
                   : type == kSliceP || type == kSliceSp ? PictureType::kPredictive
                                                         : PictureType::kIntra;
    picture.hasCodingExtension = true;
    // A pair of fields (each its own access unit, 7.4.1.2.4) is shown as
    // one frame when its second field comes; describing only: converting
    // refuses the first.
    picture.pictureStructure = !au.slice.fieldPic ? kFramePicture : au.slice.bottomField ? kBottomField : kTopField;
    picture.secondField = au.slice.fieldPic && au.pairedField;
    picture.progressiveFrame = true;
    picture.frameRateCode = counters.frameRateCode;
    const int picStruct = au.hasPicTiming ? au.timing.picStruct : -1;
    picture.topFieldFirst = picStruct != kPicStructBottomTop && picStruct != kPicStructBottomTopBottom &&
                            picStruct != kPicStructFrameDoubling;
    picture.repeatFirstField = picStruct >= kPicStructTopBottomTop && picStruct <= kPicStructFrameTripling;
    picture.progressiveSequence =
        picStruct >= kPicStructFrameDoubling || (picStruct <= kPicStructFrame && counters.frameRateCode >= kRate50);
    return picture;
}

void ShowNext(AvcConverter& c, StreamCounters& counters)
{
    AccessUnit* next = nullptr;
    for (AccessUnit& au : c.queue) {
        if (au.display == -1 &&
            (next == nullptr || au.period < next->period || (au.period == next->period && au.order < next->order))) {
            next = &au;
        }
    }
    if (next == nullptr) {
        c.pending = 0;
        return;
    }
    --c.pending;
    next->display = ShowWholeFrame(counters, RecordOf(*next, counters));
    Timeline* timeline = counters.job.timeline;
    if (timeline != nullptr && counters.refusal == Refusal::kNone &&
        TimelineRefuses(*timeline, static_cast<int64_t>(counters.shownCount))) {
        counters.refusal = Refusal::kTimestamps;
    }
}

// pic_struct of picture n as the output shows it.
int OutputPicStruct(const AccessUnit& au, const StreamCounters& counters)
{
    if (counters.job.kind == JobKind::kUndo) {
        // Video in a hybrid keeps its field order; film shows each frame once.
        const int input = au.hasPicTiming ? au.timing.picStruct : -1;
        const bool video = input == kPicStructTopBottom || input == kPicStructBottomTop;
        return counters.job.keepTiming && video ? input : kPicStructFrame;
    }
    const PulldownFlags flags = OutputFlags(counters, au.display);
    if (counters.cadence.unitsPerFrame == 1) {
        return !flags.repeatFirstField ? kPicStructFrame
               : flags.topFieldFirst   ? kPicStructFrameTripling
                                       : kPicStructFrameDoubling;
    }
    if (flags.topFieldFirst) {
        return flags.repeatFirstField ? kPicStructTopBottomTop : kPicStructTopBottom;
    }
    return flags.repeatFirstField ? kPicStructBottomTopBottom : kPicStructBottomTop;
}

// The tick of the output's clock (a field at its rate) at which picture n
// starts.
int64_t OutputTick(const StreamCounters& counters, int64_t n)
{
    const int64_t frame = OutputFrame(counters, n);
    if (counters.cadence.unitsPerFrame == 1) {
        return 2 * frame;
    }
    return 2 * frame + (OutputFlags(counters, n).topFieldFirst ? 0 : 1);
}

int64_t CeilDiv(int64_t a, int64_t b)
{
    const int64_t q = a / b;
    return q * b < a ? q + 1 : q;
}

bool Fits(int64_t value, int bits)
{
    return value >= 0 && (bits >= 32 || value < (int64_t{1} << bits));
}

// The HRD's delays of the picture in the output's ticks (C.1.2, C.2.2):
// each picture is output at the tick of its first field, and leaves the
// coded picture buffer no later, before that, than it did before its
// output in the input: dpb_output_delay is the input's, in the new ticks,
// rounded up; the removal time follows from it, and cpb_removal_delay
// counts it from the removal of the access unit that began the last
// buffering period before this one, as in the input.
bool RetimeDelays(AvcConverter& c, StreamCounters& counters, const AccessUnit& au, const AvcSps& sps,
                  uint32_t numUnitsInTick, uint32_t timeScale, PicTiming& timing)
{
    const bool first = c.written == 0;
    // Seconds per input tick over seconds per output tick, in lowest
    // terms: the output's frame rate over the input's (each SPS converted
    // has the timing of a frame rate that RateOfCode gives), so that
    // either term is below 2^26 and the delay times it fits in 64 bits.
    const uint64_t numerator = uint64_t{sps.numUnitsInTick} * timeScale;
    const uint64_t denominator = uint64_t{sps.timeScale} * numUnitsInTick;
    const uint64_t divisor = std::gcd(numerator, denominator);
    const int64_t outputDelay = CeilDiv(int64_t{au.timing.dpbOutputDelay} * static_cast<int64_t>(numerator / divisor),
                                        static_cast<int64_t>(denominator / divisor));
    const int64_t tick = OutputTick(counters, au.display);
    if (first) {
        c.newOutputBase = outputDelay - tick;
    }
    const int64_t newRemoval = c.newOutputBase + tick - outputDelay;
    const int64_t removalDelay = first ? 0 : newRemoval - c.newAnchorRemoval;
    if (au.bufferingPeriod || first) {
        c.newAnchorRemoval = newRemoval;
    }
    if (!Fits(removalDelay, sps.cpbRemovalDelayLength)) {
        counters.refusal = Refusal::kCpbRemovalDelay;
        counters.refusalValue = au.display;
        counters.refusalCount = removalDelay;
        return false;
    }
    if (!Fits(outputDelay, sps.dpbOutputDelayLength)) {
        counters.refusal = Refusal::kDpbOutputDelay;
        counters.refusalValue = au.display;
        counters.refusalCount = outputDelay;
        return false;
    }
    timing.cpbRemovalDelay = static_cast<uint32_t>(removalDelay);
    timing.dpbOutputDelay = static_cast<uint32_t>(outputDelay);
    return true;
}

// The picture's pic_timing payload as the output times it.
bool OutputPicTiming(AvcConverter& c, StreamCounters& counters, const AccessUnit& au, std::vector<uint8_t>& payload)
{
    const AvcSps& input = au.sps;
    AvcSps output = input;
    output.picStructPresent = true;
    OutputTiming(input, counters.targetCode, output.numUnitsInTick, output.timeScale);
    PicTiming timing;
    timing.picStruct = OutputPicStruct(au, counters);
    if (CpbDpbDelaysPresent(input)) {
        if (!au.hasPicTiming) {
            counters.refusal = Refusal::kAvcNoPicTiming;
            counters.refusalValue = static_cast<int64_t>(au.coded);
            return false;
        }
        if (!RetimeDelays(c, counters, au, input, output.numUnitsInTick, output.timeScale, timing)) {
            return false;
        }
    }
    payload = BuildPicTiming(output, timing);
    return true;
}

void AppendPrefix(std::vector<uint8_t>& out, bool zeroByte)
{
    if (zeroByte) {
        out.push_back(0x00);
    }
    out.insert(out.end(), {0x00, 0x00, kPrefixLastByte});
}

// An SEI NAL unit with its pic_timing message's payload replaced, or left
// out where `payload` is empty; empty where no message is left.
std::vector<uint8_t> WithPicTiming(AvcConverter& c, const AccessUnit& au, const NalUnit& nal,
                                   const std::vector<uint8_t>& payload)
{
    std::vector<uint8_t>& rbsp = c.writing;
    Unescape(au.bytes.data() + nal.header + 1, nal.end - nal.header - 1, rbsp);
    std::vector<SeiMessage> messages;
    ParseSeiMessages(rbsp.data(), rbsp.size(), messages);  // read once already
    std::vector<int> types;
    std::vector<std::vector<uint8_t>> payloads;
    for (const SeiMessage& m : messages) {
        if (m.type == kSeiPicTiming && payload.empty()) {
            continue;
        }
        types.push_back(m.type);
        if (m.type == kSeiPicTiming) {
            payloads.push_back(payload);
        } else {
            payloads.emplace_back(rbsp.begin() + static_cast<std::ptrdiff_t>(m.offset),
                                  rbsp.begin() + static_cast<std::ptrdiff_t>(m.offset + m.size));
        }
    }
    return types.empty() ? std::vector<uint8_t>() : BuildSeiNal(types, payloads);
}

// Appends bytes to the output; a long run of them, where the converter has
// a sink, goes to it at once after what waits, rather than through a copy.
void Emit(AvcConverter& c, std::vector<uint8_t>& out, const uint8_t* bytes, std::size_t count)
{
    if (c.sink.write == nullptr || count < c.sink.directBytes) {
        out.insert(out.end(), bytes, bytes + count);
        return;
    }
    if (c.sink.failed || (!out.empty() && !c.sink.write(c.sink.context, out.data(), out.size())) ||
        !c.sink.write(c.sink.context, bytes, count)) {
        c.sink.failed = true;
    }
    out.clear();
}

// Writes an access unit shown and every one before it written: its SPS
// anew, its pic_timing message rewritten, or one put in front of its first
// slice (after any buffering period message, which comes in an SEI NAL unit
// before the slices).
void WriteAccessUnit(AvcConverter& c, StreamCounters& counters, const AccessUnit& au, std::vector<uint8_t>& out)
{
    std::vector<uint8_t> payload;
    const bool timed = Converting(counters) && au.hasSlice;
    if (timed && !OutputPicTiming(c, counters, au, payload)) {
        return;
    }
    bool inserted = !timed || au.hasPicTiming;
    for (std::size_t i = 0; i < au.nals.size(); ++i) {
        const NalUnit& nal = au.nals[i];
        const uint8_t* bytes = au.bytes.data();
        if (!inserted && IsSlice(nal.type)) {
            AppendPrefix(out, i == 0);
            const std::vector<uint8_t> sei = BuildSeiNal({kSeiPicTiming}, {payload});
            out.insert(out.end(), sei.begin(), sei.end());
            inserted = true;
        }
        if (!au.replaced[i].empty()) {
            out.insert(out.end(), bytes + nal.begin, bytes + nal.header);
            out.insert(out.end(), au.replaced[i].begin(), au.replaced[i].end());
        } else if (Converting(counters) && nal.type == kNalSei && au.hasPicTiming) {
            // Its pic_timing message rewritten; left out where there is no
            // picture (the stream cut before its slices): nothing to time,
            // and the message, read by the SPS before, would not read by
            // the SPS anew.
            const std::vector<uint8_t> sei = WithPicTiming(c, au, nal, payload);
            if (!sei.empty()) {
                out.insert(out.end(), bytes + nal.begin, bytes + nal.header);
                out.insert(out.end(), sei.begin(), sei.end());
            }
        } else {
            Emit(c, out, bytes + nal.begin, nal.end - nal.begin);
        }
    }
    // Zero bytes after the stream's last NAL unit stay.
    const std::size_t tail = au.nals.empty() ? 0 : au.nals.back().end;
    out.insert(out.end(), au.bytes.begin() + static_cast<std::ptrdiff_t>(tail), au.bytes.end());
    if (au.hasSlice) {
        ++c.written;
    }
}

void WriteShown(AvcConverter& c, StreamCounters& counters, std::vector<uint8_t>& out)
{
    while (!c.queue.empty() && c.queue.front().display != -1 && counters.refusal == Refusal::kNone) {
        const AccessUnit& au = c.queue.front();
        if (Converting(counters)) {
            WriteAccessUnit(c, counters, au, out);
        } else {
            out.insert(out.end(), au.bytes.begin(), au.bytes.end());  // described as it is
        }
        c.queuedBytes -= Footprint(au);
        // Its buffer serves a later access unit: no new memory for each.
        if (c.spareBuffers.size() < kSpareBuffers) {
            c.spareBuffers.push_back(std::move(c.queue.front().bytes));
            c.spareBuffers.back().clear();
        }
        c.queue.pop_front();
    }
}

// An access unit is complete: its picture's order count, then the pictures
// a decoder shows by now, and the access units that can be written.
void FinishAccessUnit(AvcConverter& c, StreamCounters& counters, std::vector<uint8_t>& out)
{
    AccessUnit au = std::move(c.building);
    c.building = AccessUnit();
    if (!c.spareBuffers.empty()) {
        c.building.bytes = std::move(c.spareBuffers.back());
        c.spareBuffers.pop_back();
    }
    c.buildingHasSlice = false;
    if (au.bytes.empty()) {
        return;
    }
    if (!au.hasSlice) {
        au.display = -2;  // no picture: written in its place
    } else {
        // Kept: a later SPS with the same id may come before it is written.
        au.sps = c.sets.sps[au.slice.spsId];
        au.order = PictureOrderCount(c.poc, au.sps, au.slice);
        if (c.poc.outOfRange) {
            RefuseSyntax(counters, au.sliceOffset, au.slice.nalUnitType);
            return;
        }
        // An IDR picture, or one with memory_management_control_operation
        // 5, has every picture before it shown first (C.4.4, C.4.5.3); its
        // own count is then 0 (8.2.1).
        if (au.slice.nalUnitType == kNalSliceIdr || au.slice.memoryManagement5) {
            ShowAll(c, counters);
            ++c.period;
            if (au.slice.memoryManagement5) {
                au.order = 0;
            }
        }
        // The second field of a pair follows the first at once, with the
        // same frame_num and the other parity (7.4.3): the pair is one
        // frame, shown with the first field.
        if (au.slice.fieldPic && c.unpairedField && c.lastField.frameNum == au.slice.frameNum &&
            c.lastField.bottomField != au.slice.bottomField) {
            c.unpairedField = false;
            au.display = -2;
            c.queuedBytes += Footprint(au);
            c.queue.push_back(std::move(au));
            WriteShown(c, counters, out);
            return;
        }
        if (c.unpairedField) {
            // The field before has no other: shown alone, as no frame.
            for (AccessUnit& waiting : c.queue) {
                if (waiting.coded + 1 == c.codedCount) {
                    waiting.pairedField = false;
                }
            }
        }
        c.unpairedField = au.slice.fieldPic;
        c.lastField = au.slice;
        au.pairedField = au.slice.fieldPic;  // until a lone field is found
        au.period = c.period;
        au.coded = c.codedCount++;
        ++counters.pictureCount;
        ++c.pending;
    }
    c.queuedBytes += Footprint(au);
    c.queue.push_back(std::move(au));
    while (c.pending > kMaxDpbFrames && counters.refusal == Refusal::kNone) {
        ShowNext(c, counters);
    }
    if (c.queue.size() > kMostHeldAccessUnits && c.queue.front().display == -1) {
        counters.refusal = Refusal::kAvcDisplayOrder;
        counters.refusalValue = static_cast<int64_t>(c.queue.front().coded);
        return;
    }
    WriteShown(c, counters, out);
}

// One NAL unit: `unit` holds it from the first zero byte of its start code,
// its header at `header`. offset: its place in the input.
void TakeNal(AvcConverter& c, StreamCounters& counters, const uint8_t* unit, std::size_t size, std::size_t header,
             int64_t offset, std::vector<uint8_t>& out)
{
    const uint8_t nalHeader = unit[header];
    const int type = NalUnitType(nalHeader);
    if ((nalHeader & kForbiddenZeroBit) != 0) {
        RefuseSyntax(counters, offset, type);
        return;
    }
    SliceHeader slice;
    const bool isSlice = IsSlice(type);
    const std::size_t payloadSize = size - header - 1;
    if (type == kNalSps || type == kNalPps || type == kNalSei) {
        if (payloadSize > kMostHeaderNalBytes) {
            RefuseTooLarge(counters, offset, kMostHeaderNalBytes);
            return;
        }
        Unescape(unit + header + 1, payloadSize, c.rbsp);
    }
    if (isSlice) {
        // Only the header is read: the first bytes of the slice are almost
        // always enough, the whole slice where they are not.
        Unescape(unit + header + 1, std::min(payloadSize, kSliceHeaderBytes), c.rbsp);
        SyntaxError error = ParseSliceHeader(c.rbsp.data(), c.rbsp.size(), type, NalRefIdc(nalHeader), c.sets, slice);
        if (error == SyntaxError::kCutOff && payloadSize > kSliceHeaderBytes) {
            Unescape(unit + header + 1, payloadSize, c.rbsp);
            error = ParseSliceHeader(c.rbsp.data(), c.rbsp.size(), type, NalRefIdc(nalHeader), c.sets, slice);
        }
        if (error != SyntaxError::kNone) {
            RefuseSyntax(counters, offset, type);
            return;
        }
        if (c.buildingHasSlice && FirstSliceOfNewPicture(c.building.slice, slice)) {
            FinishAccessUnit(c, counters, out);
        }
    } else if (c.buildingHasSlice && BeginsAccessUnit(type)) {
        FinishAccessUnit(c, counters, out);
    }
    if (counters.refusal != Refusal::kNone) {
        return;
    }
    AccessUnit& au = c.building;
    NalUnit nal;
    nal.begin = au.bytes.size();
    nal.header = nal.begin + header;
    nal.end = nal.begin + size;
    nal.type = type;
    au.bytes.insert(au.bytes.end(), unit, unit + size);
    au.nals.push_back(nal);
    au.replaced.emplace_back();
    if (isSlice) {
        if (!c.buildingHasSlice) {
            if (slice.fieldPic && Converting(counters)) {
                counters.refusal = Refusal::kFieldPicture;
                return;
            }
            au.slice = slice;
            au.sliceOffset = offset;
            au.hasSlice = true;
            c.buildingHasSlice = true;
            c.activeSps = slice.spsId;
        }
        return;
    }
    if (type == kNalSps) {
        AvcSps sps;
        if (ParseSps(c.rbsp.data(), c.rbsp.size(), sps) != SyntaxError::kNone) {
            RefuseSyntax(counters, offset, type);
            return;
        }
        TakeSps(c, counters, sps, nalHeader, au.replaced.back());
        au.replacedBytes += au.replaced.back().size();
    } else if (type == kNalPps) {
        AvcPps pps;
        if (ParsePps(c.rbsp.data(), c.rbsp.size(), pps) != SyntaxError::kNone) {
            RefuseSyntax(counters, offset, type);
            return;
        }
        c.sets.pps[pps.id] = pps;
        c.sets.hasPps[pps.id] = true;
    } else if (type == kNalSei) {
        std::vector<SeiMessage> messages;
        if (ParseSeiMessages(c.rbsp.data(), c.rbsp.size(), messages) != SyntaxError::kNone) {
            RefuseSyntax(counters, offset, type);
            return;
        }
        for (const SeiMessage& m : messages) {
            if (m.type == kSeiBufferingPeriod) {
                au.bufferingPeriod = true;
            } else if (m.type == kSeiPicTiming) {
                if (c.activeSps < 0 || ParsePicTiming(c.rbsp.data() + m.offset, m.size, c.sets.sps[c.activeSps],
                                                      au.timing) != SyntaxError::kNone) {
                    RefuseSyntax(counters, offset, type);
                    return;
                }
                au.hasPicTiming = true;
            }
        }
    }
}

// Where the zero bytes before the start code prefix whose last byte is at
// `one` begin, not before `from`.
std::size_t ZerosBefore(const std::vector<uint8_t>& bytes, std::size_t one, std::size_t from)
{
    std::size_t k = one - kPrefixZeroBytes;
    while (k > from && bytes[k - 1] == 0x00) {
        --k;
    }
    return k;
}

// The next start code prefix's last byte at or after `from`, or the end.
std::size_t FindPrefix(const std::vector<uint8_t>& bytes, std::size_t from)
{
    const uint8_t* data = bytes.data();
    const std::size_t size = bytes.size();
    std::size_t k = std::max(from, kPrefixZeroBytes);
    if (k >= size) {
        return size;
    }
#if defined(__SSE2__)
    // Sixteen places at a time: a bit a byte for the zeros and the ones;
    // few blocks of coded data hold a one at all.
    constexpr std::size_t kBlock = 16;
    unsigned zeroBits = (data[k - 2] == 0x00 ? 1U : 0U) | (data[k - 1] == 0x00 ? 2U : 0U);  // bytes k-2, k-1
    for (; k + kBlock <= size; k += kBlock) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + k));
        const auto ones = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, _mm_set1_epi8(1))));
        const auto zeros = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, _mm_setzero_si128())));
        // Bit j of `window`: byte k - 2 + j is zero.
        const unsigned window = zeros << 2 | zeroBits;
        const unsigned found = ones & window & window >> 1;
        if (found != 0) {
            return k + static_cast<std::size_t>(__builtin_ctz(found));
        }
        zeroBits = window >> kBlock;
    }
#endif
    // A byte other than zero rules out a prefix ending there or in the two
    // places after it.
    while (k < size) {
        const uint8_t byte = data[k];
        if (byte == kPrefixLastByte && data[k - 1] == 0x00 && data[k - 2] == 0x00) {
            return k;
        }
        k += byte == 0x00 ? 1 : kPrefixZeroBytes + 1;
    }
    return size;
}

}  // namespace

InputKind RecognizeInput(const uint8_t* bytes, std::size_t size)
{
    size = std::min(size, kRecognizedBytes);
    std::size_t k = 0;
    while (k < size && bytes[k] == 0x00) {
        ++k;
    }
    if (k < kPrefixZeroBytes || k + 2 >= size || bytes[k] != kPrefixLastByte) {
        return InputKind::kMpegVideo;
    }
    const uint8_t first = bytes[k + 1];
    const uint8_t second = bytes[k + 2];
    if ((first & kForbiddenZeroBit) != 0) {
        return InputKind::kMpegVideo;
    }
    const int type = NalUnitType(first);
    const int refIdc = NalRefIdc(first);
    // SEI and access unit delimiters have nal_ref_idc 0, parameter sets
    // never (7.4.1).
    if (((type == kNalSei || type == kNalAccessUnitDelimiter) && refIdc == 0) ||
        ((type == kNalSps || type == kNalPps) && refIdc != 0)) {
        return InputKind::kAvc;
    }
    const int hevcType = (first >> 1) & 0x3F;
    const int layerId = (first & 0x01) << 5 | second >> 3;
    const int temporalIdPlus1 = second & 0x07;
    if (((hevcType >= kHevcVps && hevcType <= kHevcAud) || hevcType == kHevcPrefixSei) && layerId == 0 &&
        temporalIdPlus1 != 0) {
        return InputKind::kHevc;
    }
    return InputKind::kMpegVideo;
}

void AvcTake(AvcConverter& c, const uint8_t* bytes, std::size_t length, StreamCounters& counters,
             std::vector<uint8_t>& out)
{
    if (counters.refusal != Refusal::kNone) {
        return;
    }
    c.input.insert(c.input.end(), bytes, bytes + length);
    std::size_t unitStart = 0;  // the current unit's first byte in input
    if (!c.started) {
        const std::size_t first = FindPrefix(c.input, 0);
        if (first == c.input.size()) {
            if (c.input.size() > Room(c)) {
                RefuseTooLarge(counters, counters.streamOffset, c.mostHeldBytes);
            }
            return;  // the first start code is still to come
        }
        c.started = true;
        c.scanned = first + 1;
    }
    for (;;) {
        // The current unit's header follows its prefix.
        const std::size_t header = FindPrefix(c.input, unitStart) + 1;
        const std::size_t next = FindPrefix(c.input, std::max(c.scanned, header + 1));
        // The unit and the zero bytes after it, up to the next start code
        // found or the input's end (where none is found yet), must fit
        // beside what is held: the same refusal whatever the reads.
        if (next - unitStart > Room(c)) {
            RefuseTooLarge(counters, counters.streamOffset + static_cast<int64_t>(unitStart), c.mostHeldBytes);
            return;
        }
        if (next == c.input.size()) {
            c.scanned = c.input.size();  // every prefix ending before here is found
            break;
        }
        const std::size_t end = ZerosBefore(c.input, next, header + 1);
        const int64_t offset = counters.streamOffset + static_cast<int64_t>(unitStart);
        TakeNal(c, counters, c.input.data() + unitStart, end - unitStart, header - unitStart, offset, out);
        if (counters.refusal != Refusal::kNone) {
            return;
        }
        unitStart = end;
        c.scanned = next + 1;
    }
    // What is left begins the next unit.
    c.input.erase(c.input.begin(), c.input.begin() + static_cast<std::ptrdiff_t>(unitStart));
    c.scanned -= unitStart;
    counters.streamOffset += static_cast<int64_t>(unitStart);
}

void AvcFinish(AvcConverter& c, StreamCounters& counters, std::vector<uint8_t>& out)
{
    if (counters.refusal != Refusal::kNone) {
        return;
    }
    if (c.started && !c.input.empty()) {
        // The last unit runs to the end of the input; trailing zero bytes
        // after it stay where they are.
        const std::size_t header = FindPrefix(c.input, 0) + 1;
        std::size_t end = c.input.size();
        while (end > header + 1 && c.input[end - 1] == 0x00) {
            --end;
        }
        if (header < c.input.size()) {
            TakeNal(c, counters, c.input.data(), end, header, counters.streamOffset, out);
        } else {
            end = 0;  // a start code prefix and no NAL unit: kept as it is
        }
        if (counters.refusal != Refusal::kNone) {
            return;
        }
        c.building.bytes.insert(c.building.bytes.end(), c.input.begin() + static_cast<std::ptrdiff_t>(end),
                                c.input.end());
        c.input.clear();
    }
    FinishAccessUnit(c, counters, out);
    ShowAll(c, counters);
    WriteShown(c, counters, out);
}
