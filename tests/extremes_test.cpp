// Streams at the extremes: nothing but zero bytes, nothing but picture start
// codes. Whole, in reads of every small size, in the driver's 512 KiB reads,
// and through the driver itself.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/convert.h"
#include "stream/scanner.h"
#include "stream/start_codes.h"
#include "stream_builder.h"
#include "temp_dir.h"

namespace {

// Cuts for reads of `readSize` bytes each, as the driver's reads split a file.
std::vector<std::size_t> CutsEvery(std::size_t readSize, std::size_t length)
{
    std::vector<std::size_t> cuts;
    for (std::size_t at = readSize; at < length; at += readSize) {
        cuts.push_back(at);
    }
    return cuts;
}

// Reads of 1 to 9 bytes cut every start code and header at every offset; the
// driver's own read size cuts where it cuts a file.
std::vector<std::size_t> ReadSizesFor(std::size_t length)
{
    std::vector<std::size_t> sizes = {static_cast<std::size_t>(kReadSize)};
    if (length <= 4096) {
        for (std::size_t size = 1; size <= 9; ++size) {
            sizes.push_back(size);
        }
    } else {
        sizes.push_back(4093);  // prime: the cuts fall at every offset mod 4
    }
    return sizes;
}

// Zero bytes may stuff a stream before any start code (ISO/IEC 13818-2,
// 5.2.3 next_start_code()). Without a 0x01 there is no start code at all:
// nothing is counted or rewritten, and every byte is written. Only the
// zeros at the end of a chunk (two, or the one there is) wait for the next
// read, since they may begin a start code; at the end of the input they are
// written too.
TEST(Extremes, OnlyZeroBytes)
{
    for (const std::size_t length :
         {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{4}, std::size_t{7},
          std::size_t{8}, std::size_t{9}, std::size_t{4096},
          static_cast<std::size_t>(kReadSize) + kMaxHeldBackBytes,
          2 * static_cast<std::size_t>(kReadSize) + 1}) {
        SCOPED_TRACE(testing::Message() << length << " zero bytes");
        const Bytes input(length, 0x00);

        Bytes chunk = input;
        StreamCounters counters;
        const int32_t done = ScanChunk(chunk.data(), static_cast<int32_t>(length), counters);
        EXPECT_EQ(length - static_cast<std::size_t>(done), std::min<std::size_t>(length, 2));
        EXPECT_EQ(chunk, input);
        EXPECT_EQ(counters.pictureCount, 0u);
        EXPECT_EQ(counters.gopPictureBase, 0u);

        for (const std::size_t readSize : ReadSizesFor(length)) {
            StreamCounters split;
            EXPECT_EQ(ScanInPieces(input, CutsEvery(readSize, length), split), input)
                << "reads of " << readSize;
            EXPECT_EQ(split.pictureCount, 0u);
        }
    }
}

// A picture header is handled once its first 6 bytes are in (start code and
// temporal_reference) and the walk goes on after them. With bare 4-byte
// picture start codes back to back, those 6 bytes take in the next start
// code's two zeros, so only every second start code is seen: k codes count
// k / 2 pictures. With k odd the last code is handled by nobody: it is a
// picture header cut off by the end of the input, and it is not written.
TEST(Extremes, BackToBackPictureStartCodes)
{
    for (const std::size_t codes : {std::size_t{1}, std::size_t{2}, std::size_t{3},
                                    std::size_t{4}, std::size_t{101}, std::size_t{1000},
                                    std::size_t{300001}}) {
        SCOPED_TRACE(testing::Message() << codes << " start codes");
        Bytes input;
        for (std::size_t k = 0; k < codes; ++k) {
            AppendStartCode(input, 0x00);
        }
        Bytes expected = input;
        if (codes % 2 == 1) {
            expected.resize(expected.size() - kStartCodeLength);
        }
        for (const std::size_t readSize : ReadSizesFor(input.size())) {
            StreamCounters counters;
            EXPECT_EQ(ScanInPieces(input, CutsEvery(readSize, input.size()), counters), expected)
                << "reads of " << readSize;
            EXPECT_EQ(counters.pictureCount, codes / 2) << "reads of " << readSize;
            EXPECT_EQ(counters.temporalReference, 0) << "reads of " << readSize;
        }
    }
}

// Picture headers of the least size the scanner reads (start code and
// temporal_reference), back to back: every one is counted, and the last one
// gives temporalReference, wherever the reads split them.
TEST(Extremes, BackToBackShortestPictureHeaders)
{
    constexpr int kTemporalReferences = 1024;  // 10 bits
    for (const std::size_t headers :
         {std::size_t{1}, std::size_t{2}, std::size_t{1023}, std::size_t{200003}}) {
        SCOPED_TRACE(testing::Message() << headers << " picture headers");
        Bytes input;
        int lastTemporalReference = 0;
        for (std::size_t k = 0; k < headers; ++k) {
            // Temporal references count down, so both bytes take many values.
            lastTemporalReference =
                kTemporalReferences - 1 - static_cast<int>(k % kTemporalReferences);
            AppendStartCode(input, 0x00);
            input.push_back(static_cast<uint8_t>(lastTemporalReference >> 2));
            input.push_back(static_cast<uint8_t>((lastTemporalReference & 3) << 6));
        }
        for (const std::size_t readSize : ReadSizesFor(input.size())) {
            StreamCounters counters;
            EXPECT_EQ(ScanInPieces(input, CutsEvery(readSize, input.size()), counters), input)
                << "reads of " << readSize;
            EXPECT_EQ(counters.pictureCount, headers) << "reads of " << readSize;
            EXPECT_EQ(counters.temporalReference, lastTemporalReference)
                << "reads of " << readSize;
        }
    }
}

// The driver on files made only of zeros or only of picture start codes,
// a few bytes longer than two reads: the output is exactly what the rules
// above give.
TEST(Extremes, ConvertFileWritesZerosAndStartCodesAsTheScannerSays)
{
    const TempDir dir;
    const std::string in = dir.File("in.m2v");
    const std::string out = dir.File("in_30i.m2v");

    const std::size_t length = 2 * static_cast<std::size_t>(kReadSize) + 12;
    // An odd number of codes, so the last one is cut off by the end.
    const std::size_t codes = length / kStartCodeLength;
    ASSERT_EQ(codes % 2, 1u);
    Bytes startCodes;
    for (std::size_t k = 0; k < codes; ++k) {
        AppendStartCode(startCodes, 0x00);
    }
    Bytes startCodesOut = startCodes;
    startCodesOut.resize(startCodes.size() - kStartCodeLength);
    struct Case {
        const char* what;
        Bytes input;
        Bytes output;
    };
    const Case cases[] = {
        {"zero bytes", Bytes(length, 0x00), Bytes(length, 0x00)},
        {"picture start codes", startCodes, startCodesOut},
    };
    for (const Case& c : cases) {
        std::ofstream(in, std::ios::binary)
            .write(reinterpret_cast<const char*>(c.input.data()),
                   static_cast<std::streamsize>(c.input.size()));
        ConvertFile(in.c_str());
        std::ifstream written(out, std::ios::binary);
        const Bytes got((std::istreambuf_iterator<char>(written)),
                        std::istreambuf_iterator<char>());
        EXPECT_EQ(got.size(), c.output.size()) << c.what;
        EXPECT_TRUE(got == c.output) << c.what;
    }
}

}  // namespace
