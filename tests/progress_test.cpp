// The running percentage: truncated hundredths, 64-bit sizes, and sizes that
// cannot be trusted.
#include <gtest/gtest.h>

#include <cstdint>

#include "app/progress.h"

namespace {

TEST(ComputeProgress, TruncatesToHundredths)
{
    constexpr int64_t kGiB = int64_t{1} << 30;
    struct Case {
        int64_t done, size, whole, hundredths;
    };
    const Case cases[] = {
        {0, 1000, 0, 0},
        {125, 1000, 12, 50},
        {1000, 1000, 100, 0},
        {1, 3, 33, 33},
        {2, 3, 66, 66},
        {999999, 1000000, 99, 99},
        {524288, 1048577, 49, 99},
        // Beyond 4 GiB: 32-bit arithmetic would wrap here.
        {5 * kGiB, 8 * kGiB, 62, 50},
        {(int64_t{1} << 32) + 1, 6 * kGiB, 66, 66},
        {100000 * kGiB - 1, 100000 * kGiB, 99, 99},
        {kGiB, 100000 * kGiB, 0, 0},
        // A size that reads as 0 or is unknown, or a file that grew while
        // it was read: never a division by zero or a figure above 100.
        {524288, 0, 100, 0},
        {524288, -1, 100, 0},
        {2000, 1000, 100, 0},
    };
    for (const Case& c : cases) {
        const ProgressFigures f = ComputeProgress(c.done, c.size);
        EXPECT_EQ(f.whole, c.whole) << c.done << " of " << c.size;
        EXPECT_EQ(f.hundredths, c.hundredths) << c.done << " of " << c.size;
    }
}

}  // namespace
