// The per-file driver: one input stream through the work buffer and the
// scanner into its "_30i" output.
#pragma once

#include <cstdint>

// Bytes per read, and the offset in the work buffer where every read lands.
constexpr int32_t kReadSize = 524288;
// The work buffer: held-back bytes sit just below its midpoint, reads above.
constexpr int32_t kWorkBufferSize = 2 * kReadSize;

// Converts one file. Does not return on failure: prints the message and ends
// the process with status 1.
void ConvertFile(const char* path);
