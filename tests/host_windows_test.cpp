// The Windows host's file access, on real files in a temporary folder.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>

#include "app/file_access.h"
#include "temp_dir.h"

namespace {

std::string ReadWholeFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

// Line feeds, carriage returns and Ctrl-Z, which text mode would change or
// stop at.
const std::string kBinaryBytes("a\nb\r\nc\x1A" "d\r\x00\xFF", 11);

TEST(HostWindows, FilesAreBinaryTruncatedAndDenyNoOtherReaderOrWriter)
{
    TempDir folder;
    const std::string in = folder.File("in.m2v");
    const std::string out = folder.File("in_30i.m2v");
    std::ofstream(in, std::ios::binary) << "x";
    std::ofstream(out, std::ios::binary) << std::string(100, 'o');  // longer than what follows
    const int input = FileOpenInput(in.c_str());
    ASSERT_GE(input, 0);
    const int output = FileOpenOutput(out.c_str(), input);
    ASSERT_GE(output, 0);
    for (const std::string& path : {in, out}) {
        const HANDLE other = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        EXPECT_NE(other, INVALID_HANDLE_VALUE) << path << " cannot be opened beside ours";
        EXPECT_TRUE(other == INVALID_HANDLE_VALUE || CloseHandle(other));
    }
    EXPECT_TRUE(FileWrite(output, reinterpret_cast<const uint8_t*>(kBinaryBytes.data()),
                          kBinaryBytes.size()));
    EXPECT_TRUE(FileClose(output));
    EXPECT_TRUE(FileClose(input));

    const int file = FileOpenInput(out.c_str());
    ASSERT_GE(file, 0);
    EXPECT_EQ(FileSize(file), static_cast<int64_t>(kBinaryBytes.size()));
    uint8_t buffer[32];
    ASSERT_EQ(FileRead(file, buffer, sizeof buffer), static_cast<int64_t>(kBinaryBytes.size()));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(buffer), kBinaryBytes.size()),
              kBinaryBytes);
    EXPECT_EQ(FileRead(file, buffer, sizeof buffer), 0);
    EXPECT_TRUE(FileClose(file));
}

TEST(HostWindows, InputMustBeARegularFileAndOutputNotTheInputItself)
{
    TempDir folder;
    const std::string path = folder.File("clip.m2v");
    std::ofstream(path, std::ios::binary) << "stream";
    ASSERT_TRUE(CreateHardLinkA(folder.File("link.m2v").c_str(), path.c_str(), nullptr));
    for (const std::string& refused : {folder.File("."), std::string("NUL"), folder.File("none")}) {
        EXPECT_EQ(FileOpenInput(refused.c_str()), -1) << refused;
    }
    const int input = FileOpenInput(path.c_str());
    ASSERT_GE(input, 0);
    // The same file by its own path, spelt differently, and by a hard link.
    for (const char* same : {"clip.m2v", ".\\CLIP.M2V", "link.m2v"}) {
        EXPECT_EQ(FileOpenOutput(folder.File(same).c_str(), input), -1) << same;
    }
    EXPECT_TRUE(FileClose(input));
    EXPECT_EQ(ReadWholeFile(path), "stream");  // not truncated
}

TEST(HostWindows, SizeBeyondFourGibibytes)
{
    TempDir folder;
    const std::string big = folder.File("big.m2v");
    constexpr int64_t kBigSize = (int64_t{5} << 30) + 3;
    // Setting the end of the file writes no data (the runtime's _chsize
    // would write zeros all the way).
    const HANDLE handle = CreateFileA(big.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    LARGE_INTEGER end;
    end.QuadPart = kBigSize;
    EXPECT_TRUE(SetFilePointerEx(handle, end, nullptr, FILE_BEGIN) && SetEndOfFile(handle));
    EXPECT_TRUE(CloseHandle(handle));

    const int file = FileOpenInput(big.c_str());
    ASSERT_GE(file, 0);
    EXPECT_EQ(FileSize(file), kBigSize);
    uint8_t byte = 1;
    EXPECT_EQ(FileRead(file, &byte, 1), 1);  // back at the start
    EXPECT_EQ(byte, 0);
    EXPECT_TRUE(FileClose(file));
}

}  // namespace
