// SEI messages (7.3.2.3.1) and the picture timing message (D.1.3): read to
// find a picture's pic_struct and delays, written for the new timing.
#include <algorithm>
#include <climits>

#include "avc/avc_syntax.h"

namespace {

constexpr std::size_t kBitsPerByte = 8;

// payloadType and payloadSize (7.3.2.3.1): each 0xFF byte adds 255, the
// last byte (below 0xFF) adds itself.
constexpr uint8_t kFfByte = 0xFF;
constexpr uint8_t kNalHeaderSei = kNalSei;  // forbidden_zero_bit 0, nal_ref_idc 0
constexpr int kPicStructBits = 4;           // pic_struct u(4)
constexpr int kMostPicStruct = kPicStructFrameTripling;
// NumClockTS by pic_struct 0 to 8 (Table D-1).
constexpr int kNumClockTs[] = {1, 1, 1, 2, 2, 3, 3, 2, 3};

// A payloadType or payloadSize: false if it runs past the payload.
bool ReadFfCoded(const uint8_t* rbsp, std::size_t size, std::size_t& at, std::size_t& value)
{
    std::size_t sum = 0;
    while (at < size && rbsp[at] == kFfByte) {  // ff_byte
        sum += kFfByte;
        ++at;
    }
    if (at >= size) {
        return false;
    }
    value = sum + rbsp[at++];  // last_payload_type_byte or last_payload_size_byte
    return true;
}

// The end of sei_payload (D.1): where the message ends mid-byte,
// bit_equal_to_one and then bit_equal_to_zero to the byte's end; nothing
// after. Anything else means the message was read wrong.
bool AtPayloadEnd(BitReader& reader)
{
    if (reader.bit % kBitsPerByte != 0 && !ReadFlag(reader)) {  // bit_equal_to_one
        return false;
    }
    while (reader.bit % kBitsPerByte != 0) {
        if (ReadFlag(reader)) {  // bit_equal_to_zero
            return false;
        }
    }
    return reader.bit == reader.size * kBitsPerByte;
}

void WriteFfCoded(std::size_t value, std::vector<uint8_t>& rbsp)
{
    for (; value >= kFfByte; value -= kFfByte) {
        rbsp.push_back(kFfByte);
    }
    rbsp.push_back(static_cast<uint8_t>(value));
}

}  // namespace

SyntaxError ParseSeiMessages(const uint8_t* rbsp, std::size_t size, std::vector<SeiMessage>& messages)
{
    messages.clear();
    std::size_t at = 0;
    do {
        SeiMessage message;
        std::size_t type = 0;
        if (!ReadFfCoded(rbsp, size, at, type) || !ReadFfCoded(rbsp, size, at, message.size)) {
            return SyntaxError::kCutOff;
        }
        if (type > INT_MAX) {
            return SyntaxError::kOutOfRange;
        }
        message.type = static_cast<int>(type);
        message.offset = at;
        if (message.size > size - at) {
            return SyntaxError::kCutOff;
        }
        at += message.size;  // sei_payload(), byte-aligned at its end (D.1)
        messages.push_back(message);
    } while (MoreRbspData(BitReader{rbsp, size, at * kBitsPerByte}));
    return SyntaxError::kNone;
}

SyntaxError ParsePicTiming(const uint8_t* payload, std::size_t size, const AvcSps& sps, PicTiming& timing)
{
    timing = PicTiming{};
    BitReader reader{payload, size};
    if (CpbDpbDelaysPresent(sps)) {
        timing.cpbRemovalDelay = ReadBits(reader, sps.cpbRemovalDelayLength);  // cpb_removal_delay
        timing.dpbOutputDelay = ReadBits(reader, sps.dpbOutputDelayLength);    // dpb_output_delay
    }
    if (sps.picStructPresent) {
        const auto picStruct = static_cast<int>(ReadBits(reader, kPicStructBits));  // pic_struct
        if (reader.overrun) {
            return SyntaxError::kCutOff;
        }
        if (picStruct > kMostPicStruct) {
            return SyntaxError::kOutOfRange;
        }
        timing.picStruct = picStruct;
        for (int k = 0; k < kNumClockTs[picStruct]; ++k) {
            if (!ReadFlag(reader)) {  // clock_timestamp_flag[i]
                continue;
            }
            ReadBits(reader, 2);                          // ct_type
            ReadFlag(reader);                             // nuit_field_based_flag
            ReadBits(reader, 5);                          // counting_type
            const bool fullTimestamp = ReadFlag(reader);  // full_timestamp_flag
            ReadFlag(reader);                             // discontinuity_flag
            ReadFlag(reader);                             // cnt_dropped_flag
            ReadBits(reader, 8);                          // n_frames
            if (fullTimestamp) {
                ReadBits(reader, 6);          // seconds_value
                ReadBits(reader, 6);          // minutes_value
                ReadBits(reader, 5);          // hours_value
            } else if (ReadFlag(reader)) {    // seconds_flag
                ReadBits(reader, 6);          // seconds_value
                if (ReadFlag(reader)) {       // minutes_flag
                    ReadBits(reader, 6);      // minutes_value
                    if (ReadFlag(reader)) {   // hours_flag
                        ReadBits(reader, 5);  // hours_value
                    }
                }
            }
            ReadBits(reader, sps.timeOffsetLength);  // time_offset
        }
    }
    if (reader.overrun) {
        return SyntaxError::kCutOff;
    }
    return AtPayloadEnd(reader) ? SyntaxError::kNone : SyntaxError::kOutOfRange;
}

std::vector<uint8_t> BuildPicTiming(const AvcSps& sps, const PicTiming& timing)
{
    BitWriter writer;
    if (CpbDpbDelaysPresent(sps)) {
        WriteBits(writer, timing.cpbRemovalDelay, sps.cpbRemovalDelayLength);  // cpb_removal_delay
        WriteBits(writer, timing.dpbOutputDelay, sps.dpbOutputDelayLength);    // dpb_output_delay
    }
    if (sps.picStructPresent && timing.picStruct >= 0 && timing.picStruct <= kMostPicStruct) {
        WriteBits(writer, static_cast<uint32_t>(timing.picStruct), kPicStructBits);  // pic_struct
        WriteBits(writer, 0, kNumClockTs[timing.picStruct]);                         // clock_timestamp_flag[i], each 0
    }
    // sei_payload (D.1): bit_equal_to_one, then bit_equal_to_zero to the
    // byte's end, where the payload ends mid-byte.
    if (writer.freeBits != 0) {
        WriteTrailingBits(writer);
    }
    return writer.bytes;
}

std::vector<uint8_t> BuildSeiNal(const std::vector<int>& types, const std::vector<std::vector<uint8_t>>& payloads)
{
    std::vector<uint8_t> rbsp;
    const std::size_t count = std::min(types.size(), payloads.size());  // one payload for each type
    for (std::size_t k = 0; k < count; ++k) {
        WriteFfCoded(static_cast<std::size_t>(types[k]), rbsp);  // payloadType
        WriteFfCoded(payloads[k].size(), rbsp);                  // payloadSize
        rbsp.insert(rbsp.end(), payloads[k].begin(), payloads[k].end());
    }
    BitWriter trailing;
    WriteTrailingBits(trailing);  // rbsp_trailing_bits (7.3.2.11)
    rbsp.insert(rbsp.end(), trailing.bytes.begin(), trailing.bytes.end());
    std::vector<uint8_t> nal{kNalHeaderSei};
    Escape(rbsp.data(), rbsp.size(), nal);
    return nal;
}
