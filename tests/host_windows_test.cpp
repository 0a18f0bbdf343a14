// The Windows host's file access where the check under wine does not reach.
// Paths are UTF-8, in a folder whose name the ANSI code page cannot spell.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <tuple>

#include "host/file_access.h"

// The console's control handler in host_windows.cpp (HostStartup installs it).
BOOL WINAPI HostConsoleControl(DWORD event);

namespace {

std::wstring Wide(const std::string& utf8)
{
    std::wstring wide(utf8.size(), L'\0');
    wide.resize(static_cast<std::size_t>(MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                                                             &wide[0], static_cast<int>(wide.size()))));
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

// Writes the bytes; with a size, then sets the end of the file there (no data written).
void Put(const std::string& path, const std::string& bytes, int64_t size = -1)
{
    const HANDLE handle =
        CreateFileW(Wide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    LARGE_INTEGER end;
    end.QuadPart = size;
    if (size >= 0 && SetFilePointerEx(handle, end, nullptr, FILE_BEGIN)) {
        SetEndOfFile(handle);
    }
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

// An input beyond 4 GiB and a temporary output deny no other reader or
// writer, and the temporary can be removed while open.
TEST(HostWindows, FilesBeyondFourGibibytesAreSharedAndTheTemporaryCanBeRemovedWhileOpen)
{
    const std::string input = Folder("share") + "in.m2v";
    constexpr int64_t kBigSize = (int64_t{5} << 30) + 3;
    Put(input, "", kBigSize);
    const int in = FileOpenInput(input.c_str());
    EXPECT_EQ(FileSize(in), kBigSize);
    uint8_t byte = 1;
    EXPECT_EQ(FileRead(in, &byte, 1), 1);  // back at the start
    std::string temporary;
    const int output = FileCreateTemporary((input + ".out").c_str(), temporary);
    ASSERT_GE(output, 0);
    for (const std::string& path : {input, temporary}) {
        const HANDLE other = CreateFileW(Wide(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                         FILE_ATTRIBUTE_NORMAL, nullptr);
        EXPECT_NE(other, INVALID_HANDLE_VALUE) << path;
        CloseHandle(other);
    }
    EXPECT_TRUE(DeleteFileW(Wide(temporary).c_str()));
    EXPECT_TRUE(FileClose(output) && FileClose(in));
    EXPECT_FALSE(Exists(temporary));
    DeleteFileW(Wide(input).c_str());
}

// The temporary file is ".NAME.XXXXXX" beside the output. Discarded, it
// leaves the earlier output as it was; committed, it replaces it. Every
// console event removes it, open for writing as it is, and hands the event
// on (FALSE), so that the process ends as it would have. (The handler keeps
// the lock for good; called on the thread that goes on, it only enters the
// critical section once more.)
TEST(HostWindows, TemporaryOutputIsDiscardedCommittedOrRemovedByAConsoleEvent)
{
    const std::string dir = Folder("commit");
    const std::string output = dir + "\xE6\x97\xA5\xE6\x9C\xAC_30i.m2v";
    Put(output, "earlier");
    constexpr DWORD kDiscard = 100, kCommit = 101;
    for (const DWORD end : {kDiscard, kCommit, DWORD{CTRL_C_EVENT}, DWORD{CTRL_BREAK_EVENT}, DWORD{CTRL_CLOSE_EVENT},
                            DWORD{CTRL_LOGOFF_EVENT}, DWORD{CTRL_SHUTDOWN_EVENT}}) {
        std::string temporary;
        const int file = FileCreateTemporary(output.c_str(), temporary);
        ASSERT_GE(file, 0);
        const std::string prefix = dir + "." + output.substr(dir.size()) + ".";
        EXPECT_EQ(temporary.substr(0, prefix.size()), prefix);
        EXPECT_EQ(temporary.size(), prefix.size() + 6) << temporary;
        const std::string bytes = std::to_string(end);
        EXPECT_TRUE(FileWrite(file, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
        if (end < kDiscard) {
            EXPECT_FALSE(HostConsoleControl(end)) << end;
        }
        FileClose(file);
        if (end == kCommit) {
            EXPECT_EQ(FileCommitTemporary(temporary, output.c_str()), Commit::kDone);
        } else if (end == kDiscard) {
            FileDiscardTemporary(temporary);
        }
        EXPECT_EQ(Get(output), end == kDiscard ? "earlier" : std::to_string(kCommit)) << end;
        EXPECT_FALSE(Exists(temporary)) << end;
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
    constexpr OutputTarget kFile = OutputTarget::kFile, kStream = OutputTarget::kStream, kInput = OutputTarget::kInput,
                           kRefused = OutputTarget::kRefused;
    const std::tuple<std::string, OutputTarget, OutputTarget> cases[] = {
        {dir + "none_30i.m2v", kFile, kFile},
        {"NUL", kRefused, kStream},
        {dir + "NUL", kRefused, kStream},
        {dir + "earlier_30i.m2v", kFile, kFile},
        {dir + "dir_30i.m2v", kRefused, kRefused},
        {dir + "link_30i.m2v", kInput, kInput},                       // a hard link to the input
        {dir + "dir_30i.m2v\\..\\\xE6\x97\xA5.m2v", kInput, kInput},  // the input itself, spelt otherwise
    };
    for (const auto& [name, beside, named] : cases) {
        EXPECT_EQ(FileOutputTarget(name.c_str(), file, false), beside) << name;
        EXPECT_EQ(FileOutputTarget(name.c_str(), file, true), named) << name;
    }
    FileClose(file);
}

}  // namespace
