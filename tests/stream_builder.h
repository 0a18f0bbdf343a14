// Small builders for the headers of an MPEG-2 video elementary stream, for
// tests: each appends the start code and the bytes the converter reads. And
// the driver's way of scanning a stream in reads, on bytes in memory.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <ostream>
#include <utility>
#include <vector>

#include "stream/scanner.h"

using Bytes = std::vector<uint8_t>;

inline bool operator==(const StreamCounters& a, const StreamCounters& b)
{
    return a.pictureCount == b.pictureCount && a.temporalReference == b.temporalReference &&
           a.gopPictureBase == b.gopPictureBase;
}

inline std::ostream& operator<<(std::ostream& out, const StreamCounters& c)
{
    return out << "{" << c.pictureCount << ", " << c.temporalReference << ", "
               << c.gopPictureBase << "}";
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

// Sequence extension (identifier 1): progressive_sequence 0, 4:2:0.
inline void AppendSequenceExtension(Bytes& s)
{
    AppendStartCode(s, 0xB5);
    s.insert(s.end(), {0x14, 0x8A, 0x00, 0x01, 0x00, 0x00});
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

using ChunkFunction = int32_t (*)(uint8_t* chunk, int32_t length, StreamCounters& counters);

// Scans the bytes as the driver does, with `scan`: the held-back bytes of
// each chunk go in front of the next one; at the end the held bytes that are
// only the beginning of a start code are kept. Every chunk lives in a buffer
// of its exact size, so a read past it is caught by the address sanitizer.
inline Bytes ScanInPieces(const Bytes& input, std::vector<std::size_t> cuts,
                          StreamCounters& counters, ChunkFunction scan = ScanChunk)
{
    Bytes output;
    Bytes held;
    std::size_t from = 0;
    cuts.push_back(input.size());
    for (std::size_t end : cuts) {
        end = std::min(std::max(end, from), input.size());
        const std::size_t length = held.size() + (end - from);
        std::unique_ptr<uint8_t[]> chunk(new uint8_t[length]);
        std::copy(held.begin(), held.end(), chunk.get());
        std::copy(input.begin() + from, input.begin() + end, chunk.get() + held.size());
        from = end;
        const int32_t done = scan(chunk.get(), static_cast<int32_t>(length), counters);
        output.insert(output.end(), chunk.get(), chunk.get() + done);
        held.assign(chunk.get() + done, chunk.get() + length);
    }
    const int32_t tail = CountHeldBytesToWrite(held.data(), static_cast<int32_t>(held.size()));
    output.insert(output.end(), held.begin(), held.begin() + tail);
    return output;
}

inline Bytes ScanWhole(const Bytes& input, StreamCounters& counters)
{
    return ScanInPieces(input, {}, counters);
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
