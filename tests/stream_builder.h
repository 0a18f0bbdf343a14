// Small builders for the headers of an MPEG-2 video elementary stream, for
// tests: each appends the start code and the bytes the converter reads. And
// the program's conversion loop on bytes in memory.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <ostream>
#include <utility>
#include <vector>

#include "app/convert.h"
#include "stream/scanner.h"

using Bytes = std::vector<uint8_t>;

inline bool operator==(const StreamCounters& a, const StreamCounters& b)
{
    return a.pictureCount == b.pictureCount && a.temporalReference == b.temporalReference &&
           a.gopPictureBase == b.gopPictureBase && a.chromaFormat == b.chromaFormat &&
           a.verticalSizeValue == b.verticalSizeValue &&
           a.sequenceExtensionDue == b.sequenceExtensionDue;
}

inline std::ostream& operator<<(std::ostream& out, const StreamCounters& c)
{
    return out << "{" << c.pictureCount << ", " << c.temporalReference << ", "
               << c.gopPictureBase << ", chroma " << c.chromaFormat << ", lines "
               << c.verticalSizeValue << (c.sequenceExtensionDue ? ", extension due}" : "}");
}

inline void AppendStartCode(Bytes& s, uint8_t code)
{
    s.insert(s.end(), {0x00, 0x00, 0x01, code});
}

// Sequence header: 720x480, aspect ratio 2 (4:3), the given frame_rate_code,
// then bit_rate and the rest.
inline void AppendSequenceHeader(Bytes& s, uint8_t frameRateCode)
{
    AppendStartCode(s, 0xB3);
    s.insert(s.end(), {0x2D, 0x01, 0xE0, static_cast<uint8_t>(0x20 | frameRateCode), 0x03, 0x0D,
                       0x48, 0x20});
}

// Sequence extension (identifier 1), Main Profile at Main Level:
// progressive_sequence as given, chroma_format 1 (4:2:0) unless given.
inline void AppendSequenceExtension(Bytes& s, bool progressiveSequence = false, int chromaFormat = 1)
{
    AppendStartCode(s, 0xB5);
    s.insert(s.end(), {0x14,
                       static_cast<uint8_t>(0x80 | (progressiveSequence ? 0x08 : 0) | chromaFormat << 1),
                       0x00, 0x01, 0x00, 0x00});
}

// GOP header with a time code of zero, as encoders write it.
inline void AppendGopHeader(Bytes& s, bool closedGop, bool brokenLink)
{
    AppendStartCode(s, 0xB8);
    s.insert(s.end(), {0x00, 0x08, 0x00,
                       static_cast<uint8_t>((closedGop ? 0x40 : 0) | (brokenLink ? 0x20 : 0))});
}

// Picture header: temporal_reference (10 bits), picture_coding_type 1..3.
inline void AppendPictureHeader(Bytes& s, int temporalReference, int codingType)
{
    AppendStartCode(s, 0x00);
    s.insert(s.end(), {static_cast<uint8_t>(temporalReference >> 2),
                       static_cast<uint8_t>(((temporalReference & 3) << 6) | (codingType << 3) | 7),
                       0xFF, 0xF8});
}

// Picture coding extension (identifier 8), progressive_frame 1.
inline void AppendPictureCodingExtension(Bytes& s, int pictureStructure, bool topFieldFirst,
                                         bool repeatFirstField)
{
    AppendStartCode(s, 0xB5);
    s.insert(s.end(), {0x8F, 0xFF, static_cast<uint8_t>(0xF0 | pictureStructure),
                       static_cast<uint8_t>((topFieldFirst ? 0x80 : 0) | 0x40 |
                                            (repeatFirstField ? 0x02 : 0) | 0x01),
                       0x80});
}

// One slice start code and coded bytes that hold no start code.
inline void AppendSlice(Bytes& s, int codedBytes)
{
    AppendStartCode(s, 0x01);
    for (int i = 0; i < codedBytes; ++i) {
        s.push_back(static_cast<uint8_t>(0x11 + (i * 37) % 200));
    }
}

inline void AppendSequenceEnd(Bytes& s)
{
    AppendStartCode(s, 0xB7);
}

// Converts the bytes with the program's own loop, the reads ending at the
// given offsets (in rising order; each read at most the loop's capacity).
struct Pieces {
    const Bytes& input;
    std::vector<std::size_t> cuts;
    std::size_t from = 0;
    std::size_t nextCut = 0;
    Bytes output;
};

inline int32_t ReadPiece(void* context, uint8_t* into, int32_t capacity)
{
    Pieces& p = *static_cast<Pieces*>(context);
    while (p.nextCut < p.cuts.size() && p.cuts[p.nextCut] <= p.from) {
        ++p.nextCut;
    }
    std::size_t end = p.nextCut < p.cuts.size() ? p.cuts[p.nextCut] : p.input.size();
    end = std::min(end, p.input.size());
    const std::size_t n = std::min(end - p.from, static_cast<std::size_t>(capacity));
    std::copy_n(p.input.begin() + static_cast<std::ptrdiff_t>(p.from), n, into);
    p.from += n;
    return static_cast<int32_t>(n);
}

inline void WritePiece(void* context, const uint8_t* bytes, int32_t count)
{
    Bytes& output = static_cast<Pieces*>(context)->output;
    output.insert(output.end(), bytes, bytes + count);
}

inline void IgnoreProgress(void*, int64_t) {}

inline Bytes ScanInPieces(const Bytes& input, std::vector<std::size_t> cuts)
{
    Pieces pieces{input, std::move(cuts), 0, 0, {}};
    ConvertStream(ReadPiece, WritePiece, IgnoreProgress, &pieces);
    return pieces.output;
}

// The bytes in one chunk, as the loop writes them at the end of the input.
inline Bytes ScanWhole(Bytes input, StreamCounters& counters)
{
    const int32_t length = static_cast<int32_t>(input.size());
    const int32_t done = ScanChunk(input.data(), length, counters);
    input.resize(static_cast<std::size_t>(done + CountHeldBytesToWrite(input.data() + done, length - done)));
    return input;
}

// A film-style stream: GOPs of `gopLength` pictures in coded order
// I P B B P B B ..., each GOP after a sequence header, each picture with its
// picture coding extension (top_field_first 1, repeat_first_field 0) and a
// slice.
inline Bytes MakeFilmStream(int gops, int gopLength, uint8_t frameRateCode)
{
    Bytes s;
    for (int g = 0; g < gops; ++g) {
        AppendSequenceHeader(s, frameRateCode);
        AppendSequenceExtension(s);
        AppendGopHeader(s, g == 0, false);
        // Coded order: I0, then P(k+3) B(k+1) B(k+2) ...
        std::vector<std::pair<int, int>> coded = {{0, 1}};  // temporal_reference, type
        for (int k = 0; k < gopLength - 1;) {
            const int p = std::min(k + 3, gopLength - 1);
            coded.push_back({p, 2});
            for (int b = k + 1; b < p; ++b) {
                coded.push_back({b, 3});
            }
            k = p;
        }
        for (const auto& [tref, type] : coded) {
            AppendPictureHeader(s, tref, type);
            AppendPictureCodingExtension(s, 3, true, false);
            AppendSlice(s, 40 + tref);
        }
    }
    AppendSequenceEnd(s);
    return s;
}
