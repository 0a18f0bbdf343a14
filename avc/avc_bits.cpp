// Bit-level reading and writing of H.264 payloads: fixed-length and
// exp-Golomb codes (9.1) and emulation prevention (7.4.1.1).
#include "avc/avc_syntax.h"

namespace {

constexpr int kBitsPerByte = 8;
// ue(v) codes of more than 32 bits of value do not occur in any syntax
// element ratefold reads (the largest is 2^32 - 2, 32 leading zeros).
constexpr int kMostLeadingZeros = 32;
// emulation_prevention_three_byte (7.4.1.1).
constexpr uint8_t kEmulationPrevention = 0x03;

}  // namespace

uint32_t ReadBits(BitReader& reader, int count)
{
    uint32_t value = 0;
    for (int k = 0; k < count; ++k) {
        const std::size_t byte = reader.bit / kBitsPerByte;
        uint32_t bit = 0;
        if (byte < reader.size) {
            bit = (reader.data[byte] >> (kBitsPerByte - 1 - reader.bit % kBitsPerByte)) & 1U;
        } else {
            reader.overrun = true;
        }
        value = value << 1 | bit;
        ++reader.bit;
    }
    return value;
}

bool ReadFlag(BitReader& reader)
{
    return ReadBits(reader, 1) != 0;
}

uint32_t ReadUe(BitReader& reader)
{
    // codeNum = 2^leadingZeroBits - 1 + read_bits(leadingZeroBits) (9.1).
    int leadingZeros = 0;
    while (!ReadFlag(reader)) {
        if (reader.overrun || ++leadingZeros > kMostLeadingZeros) {
            reader.overrun = true;
            return 0;
        }
    }
    const uint64_t value = (uint64_t{1} << leadingZeros) - 1 + ReadBits(reader, leadingZeros);
    if (value > UINT32_MAX) {
        reader.overrun = true;
        return 0;
    }
    return static_cast<uint32_t>(value);
}

int32_t ReadSe(BitReader& reader)
{
    // Table 9-3: codeNum k is (-1)^(k+1) * Ceil(k / 2).
    const uint32_t k = ReadUe(reader);
    const auto magnitude = static_cast<int64_t>((uint64_t{k} + 1) / 2);
    return static_cast<int32_t>(k % 2 == 1 ? magnitude : -magnitude);
}

bool MoreRbspData(const BitReader& reader)
{
    // The last one bit of the payload is rbsp_stop_one_bit: data remains if
    // any one bit lies after the next bit to read, besides that one.
    std::size_t last = reader.size;
    while (last > 0 && reader.data[last - 1] == 0) {
        --last;
    }
    if (last == 0) {
        return false;
    }
    const uint8_t lastByte = reader.data[last - 1];
    int trailing = 0;
    while (((lastByte >> trailing) & 1U) == 0) {
        ++trailing;
    }
    const std::size_t stopBit = (last - 1) * kBitsPerByte + static_cast<std::size_t>(kBitsPerByte - 1 - trailing);
    return reader.bit < stopBit;
}

void WriteBits(BitWriter& writer, uint32_t value, int count)
{
    for (int k = count - 1; k >= 0; --k) {
        if (writer.freeBits == 0) {
            writer.bytes.push_back(0);
            writer.freeBits = kBitsPerByte;
        }
        --writer.freeBits;
        writer.bytes.back() = static_cast<uint8_t>(writer.bytes.back() | ((value >> k) & 1U) << writer.freeBits);
    }
}

void WriteUe(BitWriter& writer, uint32_t value)
{
    const uint64_t code = uint64_t{value} + 1;
    int bits = 0;
    while ((code >> bits) > 1) {
        ++bits;
    }
    WriteBits(writer, 0, bits);
    WriteBits(writer, 1, 1);
    WriteBits(writer, static_cast<uint32_t>(code & ((uint64_t{1} << bits) - 1)), bits);
}

void WriteSe(BitWriter& writer, int32_t value)
{
    const int64_t v = value;
    WriteUe(writer, static_cast<uint32_t>(v > 0 ? 2 * v - 1 : -2 * v));
}

void WriteTrailingBits(BitWriter& writer)
{
    WriteBits(writer, 1, 1);
    writer.freeBits = 0;
}

void Unescape(const uint8_t* payload, std::size_t size, std::vector<uint8_t>& rbsp)
{
    rbsp.clear();
    rbsp.reserve(size);
    int zeros = 0;
    for (std::size_t k = 0; k < size; ++k) {
        const uint8_t byte = payload[k];
        if (zeros >= 2 && byte == kEmulationPrevention) {
            zeros = 0;  // dropped: it only kept a start code from forming
            continue;
        }
        rbsp.push_back(byte);
        zeros = byte == 0 ? zeros + 1 : 0;
    }
}

void Escape(const uint8_t* rbsp, std::size_t size, std::vector<uint8_t>& out)
{
    int zeros = 0;
    for (std::size_t k = 0; k < size; ++k) {
        const uint8_t byte = rbsp[k];
        if (zeros >= 2 && byte <= kEmulationPrevention) {
            out.push_back(kEmulationPrevention);
            zeros = 0;
        }
        out.push_back(byte);
        zeros = byte == 0 ? zeros + 1 : 0;
    }
    // A payload may not end in a zero byte (its trailing bits end in a one);
    // cabac_zero_words, which may, are followed by 0x03.
    if (zeros > 0) {
        out.push_back(kEmulationPrevention);
    }
}
