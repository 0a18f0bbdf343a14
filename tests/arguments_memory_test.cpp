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
// the host's does: "*.m2v" finds these entries, every other pattern nothing.
const char* const kEntries[] = {"c.m2v", ".", "b.m2v", "A.m2v", nullptr};
const char* const* gEntry = nullptr;

bool Next(void*, std::string& name)
{
    if (*gEntry == nullptr) {
        return false;
    }
    name = *gEntry++;
    return true;
}

bool First(const char* pattern, void*&, std::string& name)
{
    gEntry = kEntries;
    return std::strcmp(pattern, "*.m2v") == 0 && Next(nullptr, name);
}

void Close(void*) {}

bool NoLeadBytes(unsigned char)
{
    return false;
}

constexpr DirectorySearch kSearch{First, Next, Close};
// Single bytes only: no case is mapped through the code page.
constexpr CodePage kCodePage{false, NoLeadBytes, nullptr, nullptr};

// Splitting, a quoted pattern, a plain argument, a pattern with matches, one
// without: every kind of allocation the list needs.
constexpr char kCommandLine[] = "\"C:\\bin\\ratefold.exe\" \"*.m2v\" a.m2v *.m2v *.x";

void ExitHandler()
{
    constexpr char kRan[] = "exit handler ran\n";
    HostWriteStandardError(kRan, sizeof kRan - 1);
}

// In the child process of a death test: points the standard error handle at
// the file (GoogleTest reads what it captures in text mode on Windows, where
// CR LF would arrive as LF), lets `allowed` allocations through and fails the
// next one.
void BuildFailingAllocation(long allowed, const std::string& errorPath)
{
#if defined(_WIN32)
    const HANDLE file = CreateFileA(errorPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE || !SetStdHandle(STD_ERROR_HANDLE, file)) {
        std::_Exit(1);
    }
#else
    const int file = open(errorPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (file < 0 || dup2(file, STDERR_FILENO) != STDERR_FILENO) {
        std::_Exit(1);
    }
#endif
    std::atexit(ExitHandler);
    gAllocationsLeft = allowed;
    BuildArgumentList(kCommandLine, kSearch, kCodePage);
    gAllocationsLeft = -1;
}

TEST(ArgumentsMemoryDeathTest, EveryFailedAllocationEndsWithR6008AndStatus255)
{
    gAllocationsMade = 0;
    // Program name, quoted pattern, a.m2v, three matches, *.x.
    ASSERT_EQ(BuildArgumentList(kCommandLine, kSearch, kCodePage).size(), 7u);
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
        std::ifstream written(errorPath, std::ios::binary);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(written), {}),
                  "\r\nruntime error R6008\r\n- not enough space for arguments\r\n");
    }
    std::remove(errorPath.c_str());
}

}  // namespace
