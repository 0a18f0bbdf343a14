// Streams written out in hex (spaces are for reading), and one scan over a
// whole stream, for the scanner's tests.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include "stream/scanner.h"

using Bytes = std::vector<uint8_t>;

inline Bytes Hex(const std::string& hex)
{
    Bytes bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += hex[i] == ' ' ? 1 : 2) {
        if (hex[i] != ' ') {
            bytes.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
        }
    }
    return bytes;
}

// Film as mpeg2enc writes it (6.2.2, 6.2.3): 720x480 at 24, progressive_sequence
// 0, 4:2:0; a closed GOP at 0; frame pictures with top_field_first 1,
// frame_pred_frame_dct 1, repeat_first_field 0, chroma_420_type 1, progressive_frame 1.
inline const std::string kSequence = "000001b3 2d01e0 22 030d4820 ", kSequenceExtension = "000001b5 14 82 00 010000 ",
                         kGop = "000001b8 00080040 ", kSlice = "00000101 1122334455 ";

inline std::string Extension(const std::string& flags = "c1", const std::string& progressiveFrame = "80")
{
    return "000001b5 8fff f3 " + flags + " " + progressiveFrame + " ";
}

// A sequence header of the given frame_rate_code, and a sequence extension,
// progressive or not.
inline std::string Sequence(int frameRateCode)
{
    char hex[40];
    std::snprintf(hex, sizeof hex, "000001b3 2d01e0 2%x 030d4820 ", frameRateCode);
    return hex;
}

inline std::string SequenceExtension(bool progressive)
{
    return progressive ? "000001b5 14 8a 00 010000 " : kSequenceExtension;
}

// A picture header: temporal_reference, picture_coding_type ('I', 'P' or
// 'B': 1, 2, 3) and vbv_delay.
inline std::string Picture(int temporalReference, char type = 'I')
{
    const int code = type == 'B' ? 3 : type == 'P' ? 2 : 1;
    char hex[32];
    std::snprintf(hex, sizeof hex, "00000100 %02x%02x fff8 ", temporalReference >> 2 & 0xff,
                  (temporalReference & 3) << 6 | code << 3 | 0x07);
    return hex;
}

// The types of a GOP coded in this order of temporal_references: a
// B-picture where one coded before it is shown after it.
inline std::string CodedTypes(const std::vector<int>& references)
{
    std::string types;
    int latest = -1;
    for (const int reference : references) {
        types += reference < latest ? 'B' : latest < 0 ? 'I' : 'P';
        latest = std::max(latest, reference);
    }
    return types;
}

// The bytes written for a stream scanned in one chunk, and why it was refused
// ("" if not); by default as the middle of a stream that began as it must.
struct Scanned {
    Bytes bytes;
    std::string refusal;
    bool operator==(const Scanned& other) const
    {
        return bytes == other.bytes && refusal == other.refusal;
    }
};

inline void PrintTo(const Scanned& scanned, std::ostream* out)
{
    for (const uint8_t byte : scanned.bytes) {
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02x", byte);
        *out << hex;
    }
    *out << " " << testing::PrintToString(scanned.refusal);
}

// The middle of a 24 fps stream that the classic job converts.
inline StreamCounters MidStream()
{
    StreamCounters counters;
    counters.sequenceSeen = true;
    counters.frameRateCode = kRate24;
    counters.cadenceSet = true;
    counters.targetCode = kRate30;
    return counters;
}

inline Scanned ScanWhole(Bytes s, StreamCounters counters = MidStream())
{
    const int32_t done = ScanChunk(s.data(), static_cast<int32_t>(s.size()), counters);
    if (counters.refusal == Refusal::kNone) {
        FinishStream(counters);
    }
    for (const Patch& patch : counters.patches) {
        s[static_cast<std::size_t>(patch.offset)] = patch.value;
    }
    if (counters.refusal != Refusal::kNone) {
        s.resize(static_cast<std::size_t>(done));
    }
    return {s, DescribeRefusal(counters)};
}

// What the scanner counted of a whole stream in one chunk for a job, finished
// unless refused; with each picture shown listed if asked.
inline StreamCounters Counted(const std::string& hex, const Job& job, bool listPictures = false)
{
    StreamCounters counters;
    counters.job = job;
    counters.listPictures = listPictures;
    Bytes bytes = Hex(hex);
    ScanChunk(bytes.data(), static_cast<int32_t>(bytes.size()), counters);
    if (counters.refusal == Refusal::kNone) {
        FinishStream(counters);
    }
    return counters;
}
