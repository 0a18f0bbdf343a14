// The MPEG-2 video start codes and header sizes the converter works with
// (ISO/IEC 13818-2, 6.2.1 and Table 6-1).
#pragma once

#include <cstdint>

// Every start code is the prefix 0x00 0x00 0x01 followed by one byte that
// names the header (start_code_prefix, 6.2.1).
constexpr int kStartCodeLength = 4;

// The fourth byte of the start codes that matter (Table 6-1).
constexpr uint8_t kPictureStartCode = 0x00;
constexpr uint8_t kSequenceHeaderCode = 0xB3;
constexpr uint8_t kExtensionStartCode = 0xB5;
constexpr uint8_t kGroupStartCode = 0xB8;

// Bit 7 of the byte after an extension start code is the top bit of
// extension_start_code_identifier (Table 6-2): it is set for identifier 8,
// the picture coding extension, and for the reserved identifiers 9 to 15.
constexpr uint8_t kPictureExtensionIdentifierBit = 0x80;

// How many bytes from the first 0x00 of a start code must be at hand before
// a header is counted or rewritten: the start code and the fields read.
constexpr int kSequenceHeaderBytes = 8;  // through frame_rate_code
constexpr int kExtensionBytes = 8;       // through repeat_first_field
constexpr int kPictureHeaderBytes = 6;   // through temporal_reference
constexpr int kGroupHeaderBytes = 8;     // through the whole time_code

// The most bytes the scanner ever leaves unfinished at the end of a chunk:
// a header one byte short of its full size.
constexpr int kMaxHeldBackBytes = 7;
