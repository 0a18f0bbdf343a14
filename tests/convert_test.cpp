// The driver on real files: reads of 512 KiB, held-back bytes carried across
// them, and the output beside the input.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "app/convert.h"
#include "stream_builder.h"
#include "temp_dir.h"

namespace {

class ConvertFileTest : public testing::Test {
protected:
    // Writes the input, converts it and returns the output's bytes.
    Bytes Convert(const Bytes& input)
    {
        const std::string in = dir_.File("in.m2v");
        std::ofstream(in, std::ios::binary)
            .write(reinterpret_cast<const char*>(input.data()),
                   static_cast<std::streamsize>(input.size()));
        ConvertFile(in.c_str());
        std::ifstream out(dir_.File("in_30i.m2v"), std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(out), std::istreambuf_iterator<char>());
    }

    TempDir dir_;
};

// A stream longer than two reads whose every kind of header is cut at every
// offset by the boundary between the first two reads.
TEST_F(ConvertFileTest, HeadersAcrossTheReadBoundaryAreHandledOnce)
{
    Bytes header;
    AppendSequenceHeader(header, 1);
    AppendSequenceExtension(header, true);
    AppendGopHeader(header, true, false);
    AppendPictureHeader(header, 0, 1);
    AppendPictureCodingExtension(header, 3, true, false);

    for (std::size_t offset = 0; offset <= header.size(); ++offset) {
        Bytes input;
        AppendSequenceHeader(input, 1);
        AppendSlice(input, kReadSize - static_cast<int>(offset + input.size()) - 4);
        ASSERT_EQ(input.size() + offset, static_cast<std::size_t>(kReadSize));
        input.insert(input.end(), header.begin(), header.end());
        AppendSlice(input, kReadSize + 100);
        AppendSequenceEnd(input);

        StreamCounters wholeCounters;
        const Bytes expected = ScanWhole(input, wholeCounters);
        ASSERT_EQ(expected.size(), input.size());
        EXPECT_EQ(Convert(input), expected) << "header cut " << offset << " bytes before the boundary";
    }
}

TEST_F(ConvertFileTest, StartCodeBeginningAtTheEndOfTheInputIsWritten)
{
    for (const Bytes& tail : {Bytes{0x00}, Bytes{0x00, 0x00}, Bytes{0x00, 0x00, 0x01},
                              Bytes{0x00, 0x00, 0x01, 0xB5}}) {
        Bytes input;
        AppendSequenceHeader(input, 2);
        AppendSlice(input, kReadSize);
        input.insert(input.end(), tail.begin(), tail.end());
        StreamCounters counters;
        const Bytes out = Convert(input);
        EXPECT_EQ(out.size(), input.size());
        EXPECT_EQ(out, ScanWhole(input, counters));
    }
}

TEST_F(ConvertFileTest, HeaderCutOffByTheEndOfTheInputIsDropped)
{
    Bytes input;
    AppendSequenceHeader(input, 2);
    AppendSlice(input, kReadSize);
    const std::size_t clean = input.size();
    input.insert(input.end(), {0x00, 0x00, 0x01, 0xB5, 0x8F, 0xFF});
    EXPECT_EQ(Convert(input).size(), clean);
}

}  // namespace
