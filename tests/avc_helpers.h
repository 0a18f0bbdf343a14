// H.264 payloads written out element by element, and their results named,
// for the syntax tests.
#pragma once

#include <string>
#include <vector>

#include "avc/avc_syntax.h"
#include "stream_helpers.h"

// A syntax element to code: u(bits), or ue(v) and se(v).
constexpr int kUe = 0;
constexpr int kSe = -1;
struct Element {
    int bits;
    int64_t value;
};

inline Bytes Coded(const std::vector<Element>& elements)
{
    BitWriter writer;
    for (const auto& [bits, value] : elements) {
        if (bits == kUe) {
            WriteUe(writer, static_cast<uint32_t>(value));
        } else if (bits == kSe) {
            WriteSe(writer, static_cast<int32_t>(value));
        } else {
            WriteBits(writer, static_cast<uint32_t>(value), bits);
        }
    }
    return writer.bytes;
}

inline std::vector<Element> Join(std::vector<Element> head, const std::vector<Element>& tail)
{
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

inline std::string ToHex(const Bytes& bytes)
{
    std::string hex;
    for (const uint8_t byte : bytes) {
        hex += "0123456789abcdef"[byte >> 4];
        hex += "0123456789abcdef"[byte & 0xF];
    }
    return hex;
}

inline std::string ErrorName(SyntaxError error)
{
    const char* const names[] = {"none", "cut off", "out of range", "unknown SPS", "unknown PPS"};
    return names[static_cast<int>(error)];
}
