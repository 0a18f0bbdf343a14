// The Windows host's file access, where the end-to-end check under wine does
// not reach: sharing, and sizes beyond 4 GiB.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <string>

#include "app/file_access.h"

namespace {

TEST(HostWindows, FilesDenyNoOtherReaderOrWriter)
{
    const std::string in = ::testing::TempDir() + "ratefold_share.m2v";
    const std::string out = ::testing::TempDir() + "ratefold_share_30i.m2v";
    std::ofstream(in, std::ios::binary) << "x";
    const int input = FileOpenInput(in.c_str());
    const int output = FileOpenOutput(out.c_str(), input);
    ASSERT_GE(output, 0);
    for (const std::string& path : {in, out}) {
        const HANDLE other = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        EXPECT_NE(other, INVALID_HANDLE_VALUE) << path;
        CloseHandle(other);
    }
    EXPECT_TRUE(FileClose(output) && FileClose(input));
}

TEST(HostWindows, SizeBeyondFourGibibytes)
{
    const std::string big = ::testing::TempDir() + "ratefold_big.m2v";
    constexpr int64_t kBigSize = (int64_t{5} << 30) + 3;
    // Setting the end of the file writes no data.
    const HANDLE handle = CreateFileA(big.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    LARGE_INTEGER end;
    end.QuadPart = kBigSize;
    ASSERT_TRUE(SetFilePointerEx(handle, end, nullptr, FILE_BEGIN) && SetEndOfFile(handle));
    CloseHandle(handle);
    const int file = FileOpenInput(big.c_str());
    EXPECT_EQ(FileSize(file), kBigSize);
    uint8_t byte = 1;
    EXPECT_EQ(FileRead(file, &byte, 1), 1);  // back at the start
    EXPECT_TRUE(FileClose(file));
    DeleteFileA(big.c_str());
}

}  // namespace
