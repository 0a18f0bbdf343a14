// Soft pulldown on an H.264 Annex B byte stream (ISO/IEC 14496-10, Annex
// B): the stream is cut into NAL units and access units, each picture's
// place in display order is found from its picture order count, and every
// access unit is written again with its sequence parameter sets timed at
// the output's rate and a picture timing SEI message that says how many
// fields (or frames) it shows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "avc/avc_syntax.h"
#include "stream/stream_counters.h"

// What the first bytes of an input are.
enum class InputKind : uint8_t {
    kMpegVideo,  // a start code naming a sequence header, or something else
    kAvc,        // an H.264 access unit delimiter, SEI, SPS or PPS
    kHevc,       // an H.265 VPS, SPS, PPS, access unit delimiter or SEI
};

// Tells the kind from the first bytes: zero bytes, a start code prefix and
// a NAL unit header, within the first kRecognizedBytes (bytes after those
// are not looked at). Anything that is not H.264 or H.265 is left to the
// MPEG-2 scanner, which refuses what it does not know.
constexpr std::size_t kRecognizedBytes = 64;
InputKind RecognizeInput(const uint8_t* bytes, std::size_t size);

// One NAL unit among its access unit's bytes: from the first zero byte of
// its start code to its last byte (trailing zero bytes are the next one's).
struct NalUnit {
    std::size_t begin = 0;
    std::size_t header = 0;  // its nal_unit_header byte
    std::size_t end = 0;
    int type = 0;
};

// One access unit (7.4.1.2.3), from its first NAL unit to the next access
// unit's, held until it is shown and every one before it is written.
struct AccessUnit {
    std::vector<uint8_t> bytes;
    std::vector<NalUnit> nals;
    // The SPS NAL units anew, by index in nals (empty: as they are).
    std::vector<std::vector<uint8_t>> replaced;
    std::size_t replacedBytes = 0;
    bool hasSlice = false;
    SliceHeader slice;        // its primary coded picture's first slice
    AvcSps sps;               // the SPS that slice named, as it stood then
    int64_t sliceOffset = 0;  // that slice's place in the input
    uint64_t coded = 0;
    int64_t period = 0;  // picture order counts start again from each IDR or mmco 5
    int64_t order = 0;   // PicOrderCnt
    int64_t display = -1;
    // The input's timing of the picture, from its pic_timing message if any.
    bool hasPicTiming = false;
    PicTiming timing;
    bool bufferingPeriod = false;
    bool pairedField = false;  // a field whose other field follows it
};

// The most memory that the bytes of the stream not yet written, and their
// NAL units' places, may take (kAvcTooLarge beyond): far more than the
// pictures that a decoder holds at any level need.
constexpr std::size_t kMostHeldBytes = std::size_t{256} << 20;
// The longest SPS, PPS or SEI NAL unit taken (each is read whole, an SEI
// message's place kept for every two bytes): no stream's is near it.
constexpr std::size_t kMostHeaderNalBytes = std::size_t{1} << 20;

// Where the converter may write long runs of bytes itself, in order after
// those it has handed back; unset, everything is handed back.
struct AvcSink {
    bool (*write)(void* context, const uint8_t* bytes, std::size_t count) = nullptr;
    void* context = nullptr;
    // NAL units at least this long go to it without a copy.
    std::size_t directBytes = std::size_t{64} << 10;
    bool failed = false;  // a write failed: nothing more is written
};

// The converter's state between chunks.
struct AvcConverter {
    AvcSink sink;
    std::vector<uint8_t> input;  // bytes not yet cut into NAL units
    std::size_t scanned = 0;     // input searched for a start code up to here
    bool started = false;        // the first start code has been found
    ParameterSets sets;
    int activeSps = -1;  // of the last slice, or the last SPS before any
    AccessUnit building;
    bool buildingHasSlice = false;
    std::deque<AccessUnit> queue;                // complete, in coded order, not yet written
    std::size_t queuedBytes = 0;                 // the memory the queue takes, as kMostHeldBytes counts it
    std::size_t mostHeldBytes = kMostHeldBytes;  // lowered by the tests
    uint64_t codedCount = 0;
    int64_t period = 0;
    PocState poc;
    // The last field picture, while its other field may still come.
    bool unpairedField = false;
    SliceHeader lastField;
    int pending = 0;  // access units in the queue not shown yet
    // The output's HRD clock, in its ticks from the first access unit's
    // removal from the coded picture buffer: the removal of the last access
    // unit that began a buffering period, and the tick that picture 0 (in
    // display order) is output at.
    int64_t newAnchorRemoval = 0;
    int64_t newOutputBase = 0;
    uint64_t written = 0;
    std::vector<uint8_t> rbsp;                       // the payload of the NAL unit being read
    std::vector<uint8_t> writing;                    // that of the SEI NAL unit being written
    std::vector<std::vector<uint8_t>> spareBuffers;  // of access units written, emptied
};

// Takes the next bytes of the input (split anywhere) and appends to `out`
// the output's bytes that are final; stops taking at a refusal, which the
// counters say.
void AvcTake(AvcConverter& converter, const uint8_t* bytes, std::size_t length, StreamCounters& counters,
             std::vector<uint8_t>& out);

// At the end of the input: the rest is shown and written.
void AvcFinish(AvcConverter& converter, StreamCounters& counters, std::vector<uint8_t>& out);
