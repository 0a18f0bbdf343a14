// Output names: "_30i" in front of the extension, beside the input.
#include <gtest/gtest.h>

#include <string>

#include "app/file_access.h"
#include "naming/output_name.h"

namespace {

// A double-byte code page such as Shift JIS: lead bytes 0x81-0x9F and
// 0xE0-0xEF.
bool ShiftJisLeadByte(unsigned char byte)
{
    return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xEF);
}

std::string OutputName(std::string path, LeadByteTest isLeadByte)
{
    MakeOutputName(path, isLeadByte);
    return path;
}

TEST(MakeOutputName, InsertsTheTagBeforeTheExtension)
{
    struct Case {
        const char* input;
        const char* output;
    };
    const Case cases[] = {
        {"clip.m2v", "clip_30i.m2v"},
        {"clip", "clip_30i"},
        {"movie.part1.m2v", "movie.part1_30i.m2v"},
        {"dir.d\\clip", "dir.d\\clip_30i"},
        {"dir.d/clip", "dir.d/clip_30i"},  // '/' separates directories too
        {"dir.d/sub.e\\clip.m2v", "dir.d/sub.e\\clip_30i.m2v"},
        {".m2v", ".m2v_30i"},
        {"..\\clip.m2v", "..\\clip_30i.m2v"},
        {"../clip.m2v", "../clip_30i.m2v"},
        {"./clip", "./clip_30i"},
        {"dir/.hidden", "dir/_30i.hidden"},
        {"clip.", "clip_30i."},
        {"clip.mpeg2video-elementary", "clip_30i.mpeg2video-elementary"},
        {"", "_30i"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(OutputName(c.input, HostIsLeadByte), c.output) << c.input;
        EXPECT_EQ(OutputName(c.input, ShiftJisLeadByte), c.output) << c.input;
    }
}

TEST(MakeOutputName, TrailBytesAreNeverSeparatorsOrDots)
{
    // 0x95 0x5C is one character: its 0x5C is not a backslash, so the dot
    // before it still counts.
    EXPECT_EQ(OutputName("x.y\x95\x5Cz", ShiftJisLeadByte), "x_30i.y\x95\x5Cz");
    // 0xE9 taken as a lead byte swallows the dot after it.
    EXPECT_EQ(OutputName("dir\\caf\xE9.m2v", ShiftJisLeadByte), "dir\\caf\xE9.m2v_30i");
    // A lead byte as the last byte ends the walk.
    EXPECT_EQ(OutputName("a.b\x95", ShiftJisLeadByte), "a_30i.b\x95");
}

TEST(MakeOutputName, Utf8NamesKeepEveryByte)
{
    // UTF-8 trail bytes are 0x80-0xBF: never '.', '/' or '\'.
    EXPECT_EQ(OutputName("caf\xC3\xA9.m2v", HostIsLeadByte), "caf\xC3\xA9_30i.m2v");
    EXPECT_EQ(OutputName("\xE6\x98\xA0\xE7\x94\xBB/\xE7\x89\x87.m2v", HostIsLeadByte),
              "\xE6\x98\xA0\xE7\x94\xBB/\xE7\x89\x87_30i.m2v");
}

TEST(MakeOutputName, AnyPathLengthWorks)
{
    const std::string dir(300, 'd');
    const std::string ext = "." + std::string(40, 'e');
    EXPECT_EQ(OutputName(dir + "/" + dir + ext, HostIsLeadByte), dir + "/" + dir + "_30i" + ext);
}

}  // namespace
