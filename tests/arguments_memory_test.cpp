// Running out of memory while the argument list is built. This program
// replaces the global operator new so that any chosen allocation fails;
// it is a test program of its own so that no other test runs with it.
#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <new>
#include <string>

#include "app/arguments.h"
#include "app/file_access.h"

namespace {

// Allocations to let through before one fails; negative: none fails.
long gAllocationsLeft = -1;
long gAllocationsMade = 0;

}  // namespace

void* operator new(std::size_t size)
{
    ++gAllocationsMade;
    if (gAllocationsLeft == 0) {
        throw std::bad_alloc();
    }
    if (gAllocationsLeft > 0) {
        --gAllocationsLeft;
    }
    if (void* memory = std::malloc(size == 0 ? 1 : size)) {
        return memory;
    }
    throw std::bad_alloc();
}

void operator delete(void* memory) noexcept
{
    std::free(memory);
}

void operator delete(void* memory, std::size_t) noexcept
{
    std::free(memory);
}

namespace {

// A directory search that allocates nothing but the names it hands out, as
// the host's does: "*.m2v" finds four entries, every other pattern nothing.
const char* const kEntries[] = {"c.m2v", ".", "b.m2v", "A.m2v"};
constexpr std::size_t kEntryCount = sizeof kEntries / sizeof kEntries[0];
std::size_t gNextEntry = 0;

bool First(const char* pattern, void*& handle, std::string& name)
{
    if (std::strcmp(pattern, "*.m2v") != 0) {
        return false;
    }
    handle = &gNextEntry;
    gNextEntry = 1;
    name = kEntries[0];
    return true;
}

bool Next(void*, std::string& name)
{
    if (gNextEntry == kEntryCount) {
        return false;
    }
    name = kEntries[gNextEntry++];
    return true;
}

void Close(void*) {}

bool NoLeadBytes(unsigned char)
{
    return false;
}

unsigned char SameByte(unsigned char byte)
{
    return byte;
}

bool SameCharacter(uint16_t character, uint16_t& upper)
{
    upper = character;
    return true;
}

constexpr DirectorySearch kSearch{First, Next, Close};
constexpr CodePage kCodePage{false, NoLeadBytes, SameByte, SameCharacter};

// Splitting, a quoted pattern, a plain argument, a pattern with matches, one
// without: every kind of allocation the list needs.
constexpr char kCommandLine[] = "\"C:\\bin\\ratefold.exe\" \"*.m2v\" a.m2v *.m2v *.x";

std::size_t BuildAndCount()
{
    return BuildArgumentList(kCommandLine, kSearch, kCodePage).size();
}

void ExitHandler()
{
    constexpr char kRan[] = "exit handler ran\n";
    HostWriteStandardError(kRan, sizeof kRan - 1);
}

// Points the process's standard error handle at the file, so that what is
// written to it can be read back byte for byte: GoogleTest reads the output it
// captures from a death test in text mode on Windows, where CR LF would
// arrive as LF.
bool RedirectStandardError(const std::string& path)
{
#if defined(_WIN32)
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    return file != INVALID_HANDLE_VALUE && SetStdHandle(STD_ERROR_HANDLE, file);
#else
    const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    return file >= 0 && dup2(file, STDERR_FILENO) == STDERR_FILENO;
#endif
}

std::string ReadBytes(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// In the child process of a death test: let `allowed` allocations through,
// fail the next one.
void BuildFailingAllocation(long allowed, const std::string& errorPath)
{
    if (!RedirectStandardError(errorPath)) {
        std::_Exit(1);
    }
    std::atexit(ExitHandler);
    gAllocationsLeft = allowed;
    BuildAndCount();
    gAllocationsLeft = -1;
}

TEST(ArgumentsMemoryDeathTest, ListIsBuiltWhenMemoryLasts)
{
    gAllocationsMade = 0;
    // Program name, quoted pattern, a.m2v, three matches, *.x.
    EXPECT_EQ(BuildAndCount(), 7u);
    EXPECT_GT(gAllocationsMade, 0);
}

TEST(ArgumentsMemoryDeathTest, EveryFailedAllocationEndsWithR6008AndStatus255)
{
    gAllocationsMade = 0;
    BuildAndCount();
    const long allocations = gAllocationsMade;
    ASSERT_GT(allocations, 0);
    const std::string errorPath =
        ::testing::TempDir() + "ratefold_r6008_" + std::to_string(std::rand()) + ".txt";
    for (long allowed = 0; allowed < allocations; ++allowed) {
        SCOPED_TRACE("allocation " + std::to_string(allowed + 1) + " of " +
                     std::to_string(allocations) + " fails");
        std::remove(errorPath.c_str());
        EXPECT_EXIT(BuildFailingAllocation(allowed, errorPath), ::testing::ExitedWithCode(255),
                    ::testing::Eq(std::string()));
        // Three writes, "\r\n", "runtime error ", then the rest, and no exit
        // handler after them.
        EXPECT_EQ(ReadBytes(errorPath),
                  "\r\nruntime error R6008\r\n- not enough space for arguments\r\n");
    }
    std::remove(errorPath.c_str());
}

}  // namespace
