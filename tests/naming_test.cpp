// Output names ("_30i" in front of the extension, beside the input) and the
// running percentage.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <tuple>

#include "app/file_access.h"
#include "app/progress.h"
#include "naming/output_name.h"

namespace {

TEST(MakeOutputName, InsertsTheTagBeforeTheExtension)
{
    // Shift-JIS lead bytes: a trail byte is never a separator or a dot, and a
    // lead byte may end the name.
    const LeadByteTest shiftJis = [](unsigned char b) { return (b >= 0x81 && b <= 0x9F) || b >= 0xE0; };
    const std::string dir(300, 'd'), ext = "." + std::string(40, 'e');
    const std::tuple<std::string, std::string, LeadByteTest> names[] = {
        {"clip.m2v", "clip_30i.m2v", HostIsLeadByte},   {"clip", "clip_30i", HostIsLeadByte},
        {"a.b.m2v", "a.b_30i.m2v", HostIsLeadByte},     {"d.d\\clip", "d.d\\clip_30i", HostIsLeadByte},
        {"d.d/clip", "d.d/clip_30i", HostIsLeadByte},   {".m2v", ".m2v_30i", HostIsLeadByte},
        {"d/.hidden", "d/_30i.hidden", HostIsLeadByte}, {"", "_30i", HostIsLeadByte},
        {"caf\xC3\xA9.m2v", "caf\xC3\xA9_30i.m2v", HostIsLeadByte},  // UTF-8
        {dir + "/" + dir + ext, dir + "/" + dir + "_30i" + ext, HostIsLeadByte},
        {"x.y\x95\x5Cz", "x_30i.y\x95\x5Cz", shiftJis},
        {"d\\caf\xE9.m2v", "d\\caf\xE9.m2v_30i", shiftJis},
        {"a.b\x95", "a_30i.b\x95", shiftJis},
    };
    for (const auto& [input, output, isLeadByte] : names) {
        std::string name = input;
        MakeOutputName(name, isLeadByte);
        EXPECT_EQ(name, output);
    }
}

TEST(ComputeProgress, TruncatesToHundredths)
{
    constexpr int64_t kGiB = int64_t{1} << 30;
    const int64_t cases[][4] = {
        {0, 1000, 0, 0}, {125, 1000, 12, 50}, {1000, 1000, 100, 0}, {2, 3, 66, 66},
        {5 * kGiB, 8 * kGiB, 62, 50},  // 32-bit arithmetic would wrap here
        {100000 * kGiB - 1, 100000 * kGiB, 99, 99},
        // A size unknown or read as 0, or a file that grew: 100.00.
        {524288, 0, 100, 0}, {524288, -1, 100, 0}, {2000, 1000, 100, 0},
    };
    for (const auto& c : cases) {
        const ProgressFigures figures = ComputeProgress(c[0], c[1]);
        EXPECT_EQ(figures.whole * 100 + figures.hundredths, c[2] * 100 + c[3]) << c[0] << " of " << c[1];
    }
}

}  // namespace
