// The Windows host's file access, where the end-to-end check under wine does
// not reach: sharing, sizes beyond 4 GiB, the console events that remove
// the temporary output, and which output names are refused. Paths are UTF-8
// and lie in a folder whose name the ANSI code page cannot spell.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <tuple>

#include "host/file_access.h"

// The console's control handler in host_windows.cpp, which HostStartup
// installs.
BOOL WINAPI HostConsoleControl(DWORD event);

namespace {

std::wstring Wide(const std::string& utf8)
{
    std::wstring wide(utf8.size(), L'\0');
    wide.resize(static_cast<std::size_t>(
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &wide[0],
                            static_cast<int>(wide.size()))));
    return wide;
}

bool Exists(const std::string& path)
{
    return GetFileAttributesW(Wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

// A fresh folder for one test, named in Japanese and Greek.
std::string Folder(const char* test)
{
    const std::string folder = ::testing::TempDir() + "ratefold_\xE6\x97\xA5\xCE\xB1_" + test;
    CreateDirectoryW(Wide(folder).c_str(), nullptr);
    return folder + "\\";
}

void Put(const std::string& path, const std::string& bytes)
{
    const HANDLE handle = CreateFileW(Wide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(handle);
}

std::string Get(const std::string& path)
{
    const int file = FileOpenInput(path.c_str());
    std::string bytes(64, '\0');
    bytes.resize(static_cast<std::size_t>(FileRead(file, reinterpret_cast<uint8_t*>(&bytes[0]), bytes.size())));
    FileClose(file);
    return bytes;
}

TEST(HostWindows, FilesDenyNoOtherReaderOrWriterAndTheTemporaryCanBeRemovedWhileOpen)
{
    const std::string dir = Folder("share");
    Put(dir + "in.m2v", "x");
    const int input = FileOpenInput((dir + "in.m2v").c_str());
    std::string temporary;
    const int output = FileCreateTemporary((dir + "in_30i.m2v").c_str(), temporary);
    ASSERT_GE(output, 0);
    for (const std::string& path : {dir + "in.m2v", temporary}) {
        const HANDLE other = CreateFileW(Wide(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        EXPECT_NE(other, INVALID_HANDLE_VALUE) << path;
        CloseHandle(other);
    }
    EXPECT_TRUE(DeleteFileW(Wide(temporary).c_str()));
    EXPECT_TRUE(FileClose(output) && FileClose(input));
    EXPECT_FALSE(Exists(temporary));
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

// The temporary file is ".NAME.XXXXXX" beside the output. Committed, it
// replaces the earlier output; discarded, it leaves that as it was.
TEST(HostWindows, TemporaryOutputIsCommittedOrDiscarded)
{
    const std::string dir = Folder("commit");
    const std::string output = dir + "\xE6\x97\xA5\xE6\x9C\xAC_30i.m2v";
    Put(output, "earlier");
    for (const bool commit : {false, true}) {
        std::string temporary;
        const int file = FileCreateTemporary(output.c_str(), temporary);
        ASSERT_GE(file, 0);
        const std::string prefix = dir + "." + output.substr(dir.size()) + ".";
        EXPECT_EQ(temporary.substr(0, prefix.size()), prefix);
        EXPECT_EQ(temporary.size(), prefix.size() + 6) << temporary;
        EXPECT_TRUE(FileWrite(file, reinterpret_cast<const uint8_t*>("new"), 3) && FileClose(file));
        if (commit) {
            EXPECT_EQ(FileCommitTemporary(temporary, output.c_str()), Commit::kDone);
        } else {
            FileDiscardTemporary(temporary);
        }
        EXPECT_EQ(Get(output), commit ? "new" : "earlier") << commit;
        EXPECT_FALSE(Exists(temporary)) << commit;
    }
}

// Every event removes the registered temporary file, open for writing as it
// is, and hands the event on (FALSE), so that the process ends as it would
// have. The handler keeps the lock for good; called here, on the thread
// that goes on, it only enters the critical section once more.
TEST(HostWindows, ConsoleEventsRemoveTheTemporaryFile)
{
    const std::string dir = Folder("events");
    const std::string output = dir + "\xCE\xB1_30i.m2v";
    for (const DWORD event :
         {CTRL_C_EVENT, CTRL_BREAK_EVENT, CTRL_CLOSE_EVENT, CTRL_LOGOFF_EVENT, CTRL_SHUTDOWN_EVENT}) {
        std::string temporary;
        const int file = FileCreateTemporary(output.c_str(), temporary);
        ASSERT_GE(file, 0);
        ASSERT_TRUE(Exists(temporary));
        EXPECT_FALSE(HostConsoleControl(event)) << event;
        FileClose(file);
        EXPECT_FALSE(Exists(temporary)) << event;
        EXPECT_FALSE(Exists(output)) << event;
    }
}

TEST(HostWindows, OutputNamesThatAreRefused)
{
    const std::string dir = Folder("names");
    const std::string input = dir + "\xE6\x97\xA5.m2v";
    Put(input, "input");
    Put(dir + "earlier_30i.m2v", "earlier");
    CreateDirectoryW(Wide(dir + "dir_30i.m2v").c_str(), nullptr);
    CreateHardLinkW(Wide(dir + "link_30i.m2v").c_str(), Wide(input).c_str(), nullptr);
    const int file = FileOpenInput(input.c_str());
    ASSERT_GE(file, 0);
    // What each name is taken for beside the input, and with -o (streams).
    constexpr OutputTarget kFile = OutputTarget::kFile, kStream = OutputTarget::kStream,
                           kInput = OutputTarget::kInput, kRefused = OutputTarget::kRefused;
    const std::tuple<std::string, OutputTarget, OutputTarget> cases[] = {
        {dir + "none_30i.m2v", kFile, kFile},
        {"NUL", kRefused, kStream},
        {dir + "NUL", kRefused, kStream},
        {dir + "earlier_30i.m2v", kFile, kFile},
        {dir + "dir_30i.m2v", kRefused, kRefused},
        {dir + "link_30i.m2v", kInput, kInput},                         // a hard link to the input
        {dir + "dir_30i.m2v\\..\\\xE6\x97\xA5.m2v", kInput, kInput},  // the input itself, spelt otherwise
    };
    for (const auto& [name, beside, named] : cases) {
        EXPECT_EQ(FileOutputTarget(name.c_str(), file, false), beside) << name;
        EXPECT_EQ(FileOutputTarget(name.c_str(), file, true), named) << name;
    }
    FileClose(file);
}

}  // namespace
