// The MPEG-2 video start codes and header sizes the converter works with
// (ISO/IEC 13818-2, 6.2.1 and Table 6-1).
#pragma once

#include <cstdint>

// Every start code is the prefix 0x00 0x00 0x01 followed by one byte that
// names the header (start_code_prefix, 6.2.1).
constexpr int kStartCodeLength = 4;

// The fourth byte of the start codes that matter (Table 6-1).
constexpr uint8_t kPictureStartCode = 0x00;
constexpr uint8_t kUserDataStartCode = 0xB2;
constexpr uint8_t kSequenceHeaderCode = 0xB3;
constexpr uint8_t kExtensionStartCode = 0xB5;
constexpr uint8_t kGroupStartCode = 0xB8;
// From 0xB9 up the codes belong to the systems layer (ISO/IEC 13818-1): the
// program end code, pack and system headers, and every PES packet. None can
// occur in a video elementary stream.
constexpr uint8_t kFirstSystemStartCode = 0xB9;

// extension_start_code_identifier, the high nibble of the byte after an
// extension start code (Table 6-2). Every identifier but these (sequence
// display, quant matrix, copyright, the scalable extensions, camera
// parameters, ITU-T) is passed over.
inline uint8_t ExtensionIdentifier(uint8_t byteAfterStartCode)
{
    return static_cast<uint8_t>(byteAfterStartCode >> 4);
}
constexpr uint8_t kSequenceExtensionId = 1;
constexpr uint8_t kPictureDisplayExtensionId = 7;
constexpr uint8_t kPictureCodingExtensionId = 8;

// How many bytes from the first 0x00 of a start code must be at hand before
// a header is counted or rewritten: the start code and the fields read.
constexpr int kSequenceHeaderBytes = 8;           // through frame_rate_code
constexpr int kSequenceExtensionBytes = 10;       // through frame_rate_extension_d
constexpr int kPictureCodingExtensionBytes = 9;   // through progressive_frame
constexpr int kPictureDisplayExtensionBytes = 5;  // through its identifier
constexpr int kPictureHeaderBytes = 6;            // through temporal_reference
constexpr int kGroupHeaderBytes = 8;              // through the whole time_code

// The most bytes the scanner ever leaves unfinished at the end of a chunk:
// the longest header one byte short of its full size.
constexpr int kMaxHeldBackBytes = kSequenceExtensionBytes - 1;
