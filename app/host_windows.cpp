// The host interface on Windows: the C runtime's low-level file calls, the
// active ANSI code page, the directory search of the Win32 API, and the
// argument list built from the raw command line.
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/arguments.h"
#include "app/file_access.h"

// The C runtime's start-up code must not expand wildcards itself: the
// program expands them with its own rules and order (ExpandArguments), from
// the raw command line. Read by the MinGW start-up code.
extern "C" {
int _dowildcard = 0;
}

namespace {

// Largest count one _read or _write call takes.
constexpr std::size_t kMaxTransfer = 0x7FFFFFFF;

// --- the active ANSI code page ---------------------------------------------

constexpr int kByteValues = 256;
// Single-byte characters mapped to lower case where the code page marks them
// as upper case, filled by LoadCodePage.
unsigned char gLowerSingleByte[kByteValues];

unsigned char LowerSingleByte(unsigned char byte)
{
    return gLowerSingleByte[byte];
}

bool UpperDoubleByte(uint16_t character, uint16_t& upper)
{
    constexpr unsigned kBitsPerByte = 8;
    constexpr unsigned kByteMask = 0xFF;
    const char in[2] = {static_cast<char>(character >> kBitsPerByte),
                        static_cast<char>(character & kByteMask)};
    char out[2] = {};
    const int length = LCMapStringA(LOCALE_SYSTEM_DEFAULT, LCMAP_UPPERCASE, in, 2, out, 2);
    if (length == 1) {
        upper = static_cast<unsigned char>(out[0]);
        return true;
    }
    if (length == 2) {
        upper = static_cast<uint16_t>(static_cast<unsigned char>(out[0]) << kBitsPerByte |
                                      static_cast<unsigned char>(out[1]));
        return true;
    }
    return false;
}

CodePage LoadCodePage()
{
    CPINFO info;
    const bool multiByte = GetCPInfo(CP_ACP, &info) && info.MaxCharSize > 1;
    for (int value = 0; value < kByteValues; ++value) {
        char byte = static_cast<char>(value);
        gLowerSingleByte[value] = static_cast<unsigned char>(value);
        WORD type = 0;
        if (value == 0 || HostIsLeadByte(static_cast<unsigned char>(value)) ||
            !GetStringTypeA(LOCALE_SYSTEM_DEFAULT, CT_CTYPE1, &byte, 1, &type) ||
            (type & C1_UPPER) == 0) {
            continue;
        }
        char lower = 0;
        if (LCMapStringA(LOCALE_SYSTEM_DEFAULT, LCMAP_LOWERCASE, &byte, 1, &lower, 1) == 1) {
            gLowerSingleByte[value] = static_cast<unsigned char>(lower);
        }
    }
    return CodePage{multiByte, HostIsLeadByte, LowerSingleByte, UpperDoubleByte};
}

// --- the directory search ----------------------------------------------------

bool SearchFirst(const char* pattern, void*& handle, std::string& name)
{
    WIN32_FIND_DATAA entry;
    const HANDLE search = FindFirstFileA(pattern, &entry);
    if (search == INVALID_HANDLE_VALUE) {
        return false;
    }
    handle = search;
    name = entry.cFileName;
    return true;
}

bool SearchNext(void* handle, std::string& name)
{
    WIN32_FIND_DATAA entry;
    if (!FindNextFileA(static_cast<HANDLE>(handle), &entry)) {
        return false;  // the end, or a failure: either way nothing more
    }
    name = entry.cFileName;
    return true;
}

void SearchClose(void* handle)
{
    FindClose(static_cast<HANDLE>(handle));
}

constexpr DirectorySearch kDirectorySearch{SearchFirst, SearchNext, SearchClose};

// --- files -------------------------------------------------------------------

// The volume and index that tell one file from every other.
struct FileIdentity {
    DWORD volume;
    DWORD indexHigh;
    DWORD indexLow;
};

bool IdentifyHandle(HANDLE handle, FileIdentity& identity)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (handle == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(handle, &info)) {
        return false;
    }
    identity = FileIdentity{info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
    return true;
}

// True if path names the very file open as descriptor file (the same path
// spelt differently, a hard link to it).
bool IsSameFile(const char* path, int file)
{
    FileIdentity open{};
    if (!IdentifyHandle(reinterpret_cast<HANDLE>(_get_osfhandle(file)), open)) {
        return false;
    }
    const HANDLE other =
        CreateFileA(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (other == INVALID_HANDLE_VALUE) {
        return false;  // no such file yet: it will be created
    }
    FileIdentity named{};
    const bool identified = IdentifyHandle(other, named);
    CloseHandle(other);
    return identified && named.volume == open.volume && named.indexHigh == open.indexHigh &&
           named.indexLow == open.indexLow;
}

}  // namespace

void HostStartup()
{
    // Standard error keeps the text mode the C runtime gives it, as in every
    // console program here: a line feed goes out as CR LF, and the progress
    // line's bare carriage return as it is.
}

void HostArgumentList(int& argc, char**& argv)
{
    // Built once and kept for the whole run, like the runtime's own list.
    static std::vector<std::string> list;
    static std::vector<char*> pointers;
    list = BuildArgumentList(GetCommandLineA(), kDirectorySearch, LoadCodePage());
    try {
        pointers.reserve(list.size() + 1);
    } catch (const std::bad_alloc&) {
        ExitNoSpaceForArguments();
    } catch (const std::length_error&) {
        ExitNoSpaceForArguments();
    }
    for (std::string& argument : list) {
        pointers.push_back(&argument[0]);
    }
    pointers.push_back(nullptr);
    argc = static_cast<int>(list.size());
    argv = pointers.data();
}

void HostWriteStandardError(const char* bytes, std::size_t count)
{
    const HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
    while (count > 0) {
        DWORD written = 0;
        const DWORD ask = static_cast<DWORD>(count < kMaxTransfer ? count : kMaxTransfer);
        if (!WriteFile(handle, bytes, ask, &written, nullptr) || written == 0) {
            return;  // nowhere left to report it
        }
        bytes += written;
        count -= written;
    }
}

int FileOpenInput(const char* path)
{
    int file = -1;
    if (_sopen_s(&file, path, _O_RDONLY | _O_BINARY | _O_SEQUENTIAL, _SH_DENYNO, 0) != 0) {
        return -1;
    }
    struct _stati64 info;
    if (_fstati64(file, &info) != 0 || (info.st_mode & _S_IFMT) != _S_IFREG) {
        _close(file);  // a device (NUL, CON) or a pipe
        return -1;
    }
    return file;
}

int FileOpenOutput(const char* path, int input)
{
    if (IsSameFile(path, input)) {
        return -1;
    }
    int file = -1;
    if (_sopen_s(&file, path, _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _SH_DENYNO,
                 _S_IREAD | _S_IWRITE) != 0) {
        return -1;
    }
    return file;
}

int64_t FileSize(int file)
{
    const int64_t end = _lseeki64(file, 0, SEEK_END);
    if (_lseeki64(file, 0, SEEK_SET) != 0) {
        return -2;
    }
    return end < 0 ? -1 : end;
}

int64_t FileRead(int file, uint8_t* buffer, std::size_t count)
{
    const unsigned ask = static_cast<unsigned>(count < kMaxTransfer ? count : kMaxTransfer);
    return _read(file, buffer, ask);
}

bool FileWrite(int file, const uint8_t* buffer, std::size_t count)
{
    while (count > 0) {
        const unsigned ask = static_cast<unsigned>(count < kMaxTransfer ? count : kMaxTransfer);
        const int put = _write(file, buffer, ask);
        if (put <= 0) {
            return false;
        }
        buffer += put;
        count -= static_cast<std::size_t>(put);
    }
    return true;
}

bool FileClose(int file)
{
    return _close(file) == 0;
}

bool HostIsLeadByte(unsigned char byte)
{
    // The active ANSI code page decides, the one file names are encoded in.
    return IsDBCSLeadByte(byte) != FALSE;
}
