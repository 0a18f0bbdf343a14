// Streams at the extremes: nothing but zero bytes, nothing but picture start
// codes, in one piece, in reads of every small size and in the driver's
// 512 KiB reads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "app/convert.h"
#include "stream/scanner.h"
#include "stream/start_codes.h"
#include "stream_builder.h"

namespace {

// Where reads of several sizes cut a stream: reads of 1 to 9 bytes cut every
// start code and header at every offset, the driver's 512 KiB where it cuts a
// file, and in a long stream 4093 bytes (prime) at every offset modulo 4.
std::vector<std::vector<std::size_t>> ReadCuts(std::size_t length)
{
    const std::size_t driverReads = static_cast<std::size_t>(kReadSize);
    std::vector<std::size_t> sizes = {4093, driverReads};
    if (length <= 4096) {
        sizes = {1, 2, 3, 4, 5, 6, 7, 8, 9, driverReads};
    }
    std::vector<std::vector<std::size_t>> cutSets(sizes.size());
    for (std::size_t k = 0; k < sizes.size(); ++k) {
        for (std::size_t at = sizes[k]; at < length; at += sizes[k]) {
            cutSets[k].push_back(at);
        }
    }
    return cutSets;
}

// Zero bytes may stuff a stream before any start code (ISO/IEC 13818-2,
// 5.2.3 next_start_code()). Without a 0x01 there is no start code at all:
// nothing is counted or rewritten. Only the zeros at the end of a chunk (two,
// or the one there is) wait for the next read, since they may begin a start
// code; at the end of the input they are written too.
TEST(Extremes, OnlyZeroBytes)
{
    for (const std::size_t length : {1, 2, 3, 4, 7, 8, 9, 4096, kReadSize + kMaxHeldBackBytes,
                                     2 * kReadSize + 1}) {
        const Bytes input(length, 0x00);
        Bytes chunk = input;
        StreamCounters counters;
        const int32_t done = ScanChunk(chunk.data(), static_cast<int32_t>(length), counters);
        EXPECT_EQ(length - static_cast<std::size_t>(done), std::min<std::size_t>(length, 2));
        for (const auto& cuts : ReadCuts(length)) {
            EXPECT_EQ(ScanInPieces(input, cuts), input) << length << " zero bytes";
        }
        EXPECT_EQ(counters, StreamCounters{}) << length << " zero bytes";
    }
}

// Picture start codes back to back, bare or with temporal_reference (the 6
// bytes the scanner reads). A picture header is handled once its 6 bytes are
// in and the walk goes on after them, so with bare 4-byte codes those bytes
// take in the next code's two zeros: k codes count k / 2 pictures. With k odd
// the last code is a picture header cut off by the end of the input, and it
// is not written. With temporal_reference every header is counted.
TEST(Extremes, BackToBackPictureStartCodes)
{
    for (const bool bare : {true, false}) {
        for (const std::size_t codes : {1, 2, 3, 4, 101, 1023, 300001}) {
            Bytes input;
            int temporalReference = 0;
            for (std::size_t k = 0; k < codes; ++k) {
                AppendStartCode(input, 0x00);
                if (!bare) {  // counting down, so both bytes take many values
                    temporalReference = 1023 - static_cast<int>(k % 1024);
                    input.push_back(static_cast<uint8_t>(temporalReference >> 2));
                    input.push_back(static_cast<uint8_t>((temporalReference & 3) << 6));
                }
            }
            Bytes expected = input;
            if (bare && codes % 2 == 1) {
                expected.resize(expected.size() - 4);
            }
            const StreamCounters after = {bare ? codes / 2 : codes, temporalReference, 0};
            StreamCounters counters;
            EXPECT_EQ(ScanWhole(input, counters), expected) << codes << " codes";
            EXPECT_EQ(counters, after) << codes << (bare ? " bare" : "") << " codes";
            for (const auto& cuts : ReadCuts(input.size())) {
                EXPECT_EQ(ScanInPieces(input, cuts), expected) << codes << " codes";
            }
        }
    }
}

}  // namespace
