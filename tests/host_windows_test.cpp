// The Windows host's file access, on real files in a temporary folder.
#include <windows.h>

#include <io.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "app/file_access.h"

namespace {

// A fresh folder under the temporary directory, removed with its files.
class TempFolder {
public:
    TempFolder()
    {
        char base[MAX_PATH];
        const DWORD length = GetTempPathA(MAX_PATH, base);
        EXPECT_GT(length, 0u);
        // A folder left by an earlier run (whose files a failed test kept
        // open) is skipped, not reused.
        const std::string prefix = std::string(base, length) + "ratefold_host_" +
                                   std::to_string(GetCurrentProcessId()) + "_";
        for (int attempt = 0; attempt < kAttempts; ++attempt) {
            path_ = prefix + std::to_string(++count_);
            if (CreateDirectoryA(path_.c_str(), nullptr)) {
                return;
            }
        }
        ADD_FAILURE() << "cannot make a folder like " << path_;
    }
    ~TempFolder()
    {
        for (const std::string& file : files_) {
            DeleteFileA(file.c_str());
        }
        RemoveDirectoryA(path_.c_str());
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::string& Path() const { return path_; }

    // The full path of a file in the folder, deleted with it.
    std::string File(const std::string& name)
    {
        files_.push_back(path_ + "\\" + name);
        return files_.back();
    }

private:
    static constexpr int kAttempts = 1000;
    static int count_;
    std::string path_;
    std::vector<std::string> files_;
};
int TempFolder::count_ = 0;

void WriteWholeFile(const std::string& path, const std::string& bytes)
{
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << path;
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
    EXPECT_EQ(written, bytes.size());
    EXPECT_TRUE(CloseHandle(file));
}

std::string ReadWholeFile(const std::string& path)
{
    const int file = FileOpenInput(path.c_str());
    EXPECT_GE(file, 0) << path;
    std::string bytes;
    uint8_t buffer[64];
    for (int64_t got; file >= 0 && (got = FileRead(file, buffer, sizeof buffer)) > 0;) {
        bytes.append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(got));
    }
    EXPECT_TRUE(file < 0 || FileClose(file));
    return bytes;
}

// Line feeds, carriage returns and Ctrl-Z, which text mode would change or
// stop at.
const std::string kBinaryBytes("a\nb\r\nc\x1A" "d\r\x00\xFF", 11);

TEST(HostWindows, InputIsReadInBinaryMode)
{
    TempFolder folder;
    const std::string path = folder.File("in.m2v");
    WriteWholeFile(path, kBinaryBytes);
    const int file = FileOpenInput(path.c_str());
    ASSERT_GE(file, 0);
    EXPECT_EQ(FileSize(file), static_cast<int64_t>(kBinaryBytes.size()));
    uint8_t buffer[32];
    ASSERT_EQ(FileRead(file, buffer, sizeof buffer), static_cast<int64_t>(kBinaryBytes.size()));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(buffer), kBinaryBytes.size()),
              kBinaryBytes);
    EXPECT_EQ(FileRead(file, buffer, sizeof buffer), 0);
    EXPECT_TRUE(FileClose(file));
}

TEST(HostWindows, OutputIsWrittenInBinaryModeAndTruncated)
{
    TempFolder folder;
    const std::string in = folder.File("in.m2v");
    const std::string out = folder.File("in_30i.m2v");
    WriteWholeFile(in, "x");
    WriteWholeFile(out, std::string(100, 'o'));  // longer than what follows
    const int input = FileOpenInput(in.c_str());
    ASSERT_GE(input, 0);
    const int output = FileOpenOutput(out.c_str(), input);
    ASSERT_GE(output, 0);
    EXPECT_TRUE(FileWrite(output, reinterpret_cast<const uint8_t*>(kBinaryBytes.data()),
                          kBinaryBytes.size()));
    EXPECT_TRUE(FileClose(output));
    EXPECT_TRUE(FileClose(input));
    EXPECT_EQ(ReadWholeFile(out), kBinaryBytes);
}

TEST(HostWindows, InputMustBeARegularFile)
{
    TempFolder folder;
    EXPECT_EQ(FileOpenInput(folder.Path().c_str()), -1);
    EXPECT_EQ(FileOpenInput("NUL"), -1);
    EXPECT_EQ(FileOpenInput(folder.File("missing.m2v").c_str()), -1);
}

TEST(HostWindows, OutputMustNotBeTheInputItself)
{
    TempFolder folder;
    const std::string path = folder.File("clip.m2v");
    WriteWholeFile(path, "stream");
    const std::string link = folder.File("link.m2v");
    ASSERT_TRUE(CreateHardLinkA(link.c_str(), path.c_str(), nullptr));
    const std::string other = folder.File("other.m2v");

    const int input = FileOpenInput(path.c_str());
    ASSERT_GE(input, 0);
    EXPECT_EQ(FileOpenOutput(path.c_str(), input), -1);
    EXPECT_EQ(FileOpenOutput((folder.Path() + "\\.\\CLIP.M2V").c_str(), input), -1);
    EXPECT_EQ(FileOpenOutput(link.c_str(), input), -1);
    const int output = FileOpenOutput(other.c_str(), input);
    EXPECT_GE(output, 0);
    EXPECT_TRUE(output < 0 || FileClose(output));
    EXPECT_TRUE(FileClose(input));
    EXPECT_EQ(ReadWholeFile(path), "stream");  // not truncated
}

TEST(HostWindows, FilesDenyNoOtherReaderOrWriter)
{
    TempFolder folder;
    const std::string in = folder.File("in.m2v");
    const std::string out = folder.File("out.m2v");
    WriteWholeFile(in, "x");
    const int input = FileOpenInput(in.c_str());
    ASSERT_GE(input, 0);
    const int output = FileOpenOutput(out.c_str(), input);
    ASSERT_GE(output, 0);
    for (const std::string& path : {in, out}) {
        const HANDLE other = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        EXPECT_NE(other, INVALID_HANDLE_VALUE) << path;
        if (other != INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(CloseHandle(other));
        }
    }
    EXPECT_TRUE(FileClose(output));
    EXPECT_TRUE(FileClose(input));
}

TEST(HostWindows, SizeBeyondFourGibibytes)
{
    TempFolder folder;
    const std::string in = folder.File("in.m2v");
    const std::string big = folder.File("big.m2v");
    WriteWholeFile(in, "x");
    constexpr int64_t kBigSize = (int64_t{5} << 30) + 3;
    {
        const int input = FileOpenInput(in.c_str());
        ASSERT_GE(input, 0);
        const int output = FileOpenOutput(big.c_str(), input);
        ASSERT_GE(output, 0);
        // Setting the end of the file writes no data (the runtime's _chsize
        // would write zeros all the way).
        const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(output));
        LARGE_INTEGER end;
        end.QuadPart = kBigSize;
        EXPECT_TRUE(SetFilePointerEx(handle, end, nullptr, FILE_BEGIN));
        EXPECT_TRUE(SetEndOfFile(handle));
        EXPECT_TRUE(FileClose(output));
        EXPECT_TRUE(FileClose(input));
    }
    const int file = FileOpenInput(big.c_str());
    ASSERT_GE(file, 0);
    EXPECT_EQ(FileSize(file), kBigSize);
    uint8_t byte = 1;
    EXPECT_EQ(FileRead(file, &byte, 1), 1);  // back at the start
    EXPECT_EQ(byte, 0);
    EXPECT_TRUE(FileClose(file));
}

}  // namespace
