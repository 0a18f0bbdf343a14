// The host interface on Windows. Paths are UTF-8 inside the program and
// UTF-16 at every call of the wide-character API, so that names in any
// script work whatever the ANSI code page; files are the C runtime's
// descriptors over the handles CreateFileW opens; the argument list is built
// from the UTF-16 command line, its patterns expanded with the directory
// search and sorted by the active ANSI code page's rules.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "windows_args/wildcards.h"
#include "host/file_access.h"
#include "naming/output_name.h"

// The C runtime's start-up code must not expand wildcards itself: the
// program expands them with its own rules and order (ExpandArguments), from
// the raw command line. Read by the MinGW start-up code.
extern "C" {
int _dowildcard = 0;
}

// The console's control handler: Ctrl-C, Ctrl-Break, closing the console,
// logging off, shutting down. Not part of file_access.h: HostStartup
// installs it, and the tests call it directly. It removes the temporary
// output and returns FALSE, so that the system's own handler then ends the
// process as it would have.
BOOL WINAPI HostConsoleControl(DWORD event);

namespace {

// Largest count one _read or _write call takes.
constexpr std::size_t kMaxTransfer = 0x7FFFFFFF;

// --- UTF-8, UTF-16 and the ANSI code page -------------------------------------

// Converts between a code page's bytes and UTF-16. Throws std::bad_alloc
// when memory runs out; a sequence that is not valid in the source becomes
// U+FFFD or the target code page's default character.
std::wstring ToWide(const char* text, std::size_t length, UINT codePage)
{
    if (length == 0 || length > INT32_MAX) {
        return std::wstring();
    }
    const int size = MultiByteToWideChar(codePage, 0, text, static_cast<int>(length), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(size > 0 ? size : 0), L'\0');
    if (size > 0) {
        MultiByteToWideChar(codePage, 0, text, static_cast<int>(length), &wide[0], size);
    }
    return wide;
}

std::string FromWide(const wchar_t* wide, std::size_t length, UINT codePage)
{
    if (length == 0 || length > INT32_MAX) {
        return std::string();
    }
    const int size = WideCharToMultiByte(codePage, 0, wide, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    if (size > 0) {
        WideCharToMultiByte(codePage, 0, wide, static_cast<int>(length), &text[0], size, nullptr, nullptr);
    }
    return text;
}

// A path for the wide-character calls; false only when memory runs out.
bool WidePath(const char* path, std::wstring& wide)
{
    try {
        wide = ToWide(path, std::strlen(path), CP_UTF8);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    } catch (const std::length_error&) {
        return false;
    }
}

// --- the active ANSI code page, for sorting ----------------------------------

constexpr int kByteValues = 256;
// Single-byte characters mapped to lower case where the code page marks them
// as upper case, filled by LoadCodePage.
unsigned char gLowerSingleByte[kByteValues];

bool AnsiLeadByte(unsigned char byte)
{
    return IsDBCSLeadByte(byte) != FALSE;
}

unsigned char LowerSingleByte(unsigned char byte)
{
    return gLowerSingleByte[byte];
}

bool UpperDoubleByte(uint16_t character, uint16_t& upper)
{
    constexpr unsigned kBitsPerByte = 8;
    constexpr unsigned kByteMask = 0xFF;
    const char in[2] = {static_cast<char>(character >> kBitsPerByte), static_cast<char>(character & kByteMask)};
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

// The path as the ANSI calls would have named it: a character the code page
// lacks becomes its best fit or the default character, and the bytes then
// no longer turn back into the same name.
bool PathInAnsiCodePage(const std::string& path, std::string& bytes)
{
    const std::wstring wide = ToWide(path.data(), path.size(), CP_UTF8);
    bytes = FromWide(wide.data(), wide.size(), CP_ACP);
    return ToWide(bytes.data(), bytes.size(), CP_ACP) == wide;
}

CodePage LoadCodePage()
{
    CPINFO info;
    const bool multiByte = GetCPInfo(CP_ACP, &info) && info.MaxCharSize > 1;
    for (int value = 0; value < kByteValues; ++value) {
        char byte = static_cast<char>(value);
        gLowerSingleByte[value] = static_cast<unsigned char>(value);
        WORD type = 0;
        if (value == 0 || AnsiLeadByte(static_cast<unsigned char>(value)) ||
            !GetStringTypeA(LOCALE_SYSTEM_DEFAULT, CT_CTYPE1, &byte, 1, &type) || (type & C1_UPPER) == 0) {
            continue;
        }
        char lower = 0;
        if (LCMapStringA(LOCALE_SYSTEM_DEFAULT, LCMAP_LOWERCASE, &byte, 1, &lower, 1) == 1) {
            gLowerSingleByte[value] = static_cast<unsigned char>(lower);
        }
    }
    return CodePage{multiByte, AnsiLeadByte, LowerSingleByte, UpperDoubleByte, PathInAnsiCodePage};
}

// --- the directory search ----------------------------------------------------
// Called while the argument list is built: running out of memory throws, and
// the list's builder reports it.

bool SearchFirst(const char* pattern, void*& handle, std::string& name)
{
    WIN32_FIND_DATAW entry;
    const HANDLE search = FindFirstFileW(ToWide(pattern, std::strlen(pattern), CP_UTF8).c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) {
        return false;
    }
    handle = search;
    name = FromWide(entry.cFileName, wcslen(entry.cFileName), CP_UTF8);
    return true;
}

bool SearchNext(void* handle, std::string& name)
{
    WIN32_FIND_DATAW entry;
    if (!FindNextFileW(static_cast<HANDLE>(handle), &entry)) {
        return false;  // the end, or a failure: either way nothing more
    }
    name = FromWide(entry.cFileName, wcslen(entry.cFileName), CP_UTF8);
    return true;
}

void SearchClose(void* handle)
{
    FindClose(static_cast<HANDLE>(handle));
}

constexpr DirectorySearch kDirectorySearch{SearchFirst, SearchNext, SearchClose};

// --- the temporary output and the console events that remove it -------------

// Held while a temporary file is created and registered, renamed or removed
// and forgotten, and by the console's control handler, which runs on a
// thread of its own: so an event during the rename leaves either the
// earlier output or the whole new one. A critical section, since the
// handler keeps it (see HostConsoleControl) and the tests call the handler
// on the thread that goes on using it.
struct TemporaryLock {
    CRITICAL_SECTION section;
    TemporaryLock()
    {
        InitializeCriticalSection(&section);
    }
} gTemporaryLock;

class TemporaryHeld {
public:
    TemporaryHeld()
    {
        EnterCriticalSection(&gTemporaryLock.section);
    }
    ~TemporaryHeld()
    {
        LeaveCriticalSection(&gTemporaryLock.section);
    }
    TemporaryHeld(const TemporaryHeld&) = delete;
    TemporaryHeld& operator=(const TemporaryHeld&) = delete;
};

// The temporary output to remove on a console event, or empty. Read and
// changed only under the lock; registering moves a name in, forgetting
// clears it: neither allocates.
std::wstring gTemporary;

// A name no other file has yet, beside the output: the clock, the process
// and the attempt make the letters.
std::string TemporaryName(const char* outputPath, unsigned attempt)
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return TemporaryOutputName(outputPath, static_cast<uint64_t>(now.QuadPart) ^
                                               static_cast<uint64_t>(GetCurrentProcessId()) << 20 ^
                                               static_cast<uint64_t>(attempt) * 0x9E3779B97F4A7C15u);
}

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

bool SameIdentity(const FileIdentity& a, const FileIdentity& b)
{
    return a.volume == b.volume && a.indexHigh == b.indexHigh && a.indexLow == b.indexLow;
}

HANDLE HandleOf(int file)
{
    return reinterpret_cast<HANDLE>(_get_osfhandle(file));
}

// True if path names the very file open as descriptor file (the same path
// spelt differently, a hard link or a symbolic link to it).
bool IsSameFile(const std::wstring& path, int file)
{
    FileIdentity open{};
    if (!IdentifyHandle(HandleOf(file), open)) {
        return false;
    }
    const HANDLE other =
        CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (other == INVALID_HANDLE_VALUE) {
        return false;  // no such file yet: it will be created
    }
    FileIdentity named{};
    const bool identified = IdentifyHandle(other, named);
    CloseHandle(other);
    return identified && SameIdentity(named, open);
}

// A C runtime descriptor over the handle, in binary mode; closes the handle
// and returns -1 if there is none to be had.
int DescriptorFor(HANDLE handle, int flags)
{
    const int file = _open_osfhandle(reinterpret_cast<intptr_t>(handle), flags | _O_BINARY);
    if (file < 0) {
        CloseHandle(handle);
    }
    return file;
}

void WriteToConsole(HANDLE console, const std::string& text)
{
    std::wstring wide;
    for (const wchar_t c : ToWide(text.data(), text.size(), CP_UTF8)) {
        if (c == L'\n') {
            wide += L'\r';
        }
        wide += c;
    }
    const wchar_t* rest = wide.data();
    std::size_t count = wide.size();
    while (count > 0) {
        DWORD written = 0;
        const DWORD ask = static_cast<DWORD>(count < kMaxTransfer ? count : kMaxTransfer);
        if (!WriteConsoleW(console, rest, ask, &written, nullptr) || written == 0) {
            return;
        }
        rest += written;
        count -= written;
    }
}

}  // namespace

BOOL WINAPI HostConsoleControl(DWORD)
{
    // Every event that reaches here ends the process once this returns. The
    // main thread goes on meanwhile: the lock is kept, never left, so that it
    // neither renames the output nor registers another file before the end.
    EnterCriticalSection(&gTemporaryLock.section);
    if (!gTemporary.empty()) {
        // Still open for writing, but with FILE_SHARE_DELETE: the name goes
        // now or when the last handle closes.
        DeleteFileW(gTemporary.c_str());
        gTemporary.clear();
    }
    return FALSE;
}

void HostStartup()
{
    // Standard error keeps the text mode the C runtime gives it, as in every
    // console program here: a line feed goes out as CR LF, and the progress
    // line's bare carriage return as it is (HostPrintMessage). A standard
    // handle that is missing needs nothing: the C runtime keeps descriptors
    // 0, 1 and 2 for them whatever they are, so no file opened later takes
    // their numbers.
    SetConsoleCtrlHandler(HostConsoleControl, TRUE);
}

void HostArgumentList(int& argc, char**& argv)
{
    // Built once and kept for the whole run, like the runtime's own list.
    static std::vector<std::string> list;
    static std::vector<char*> pointers;
    const wchar_t* const commandLine = GetCommandLineW();
    std::string utf8;
    try {
        utf8 = FromWide(commandLine, wcslen(commandLine), CP_UTF8);
    } catch (const std::bad_alloc&) {
        ExitNoSpaceForArguments();
    } catch (const std::length_error&) {
        ExitNoSpaceForArguments();
    }
    list = BuildArgumentList(utf8.c_str(), kDirectorySearch, LoadCodePage());
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

void HostPrintMessage(const std::string& text)
{
    // A console shows every script; a file or a pipe gets the ANSI code
    // page's bytes, as from any console program, through the stream in text
    // mode. Without the memory to convert, the bytes go out as they are.
    const HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    std::fflush(stderr);
    try {
        if (GetConsoleMode(handle, &mode)) {
            WriteToConsole(handle, text);
            return;
        }
        const std::wstring wide = ToWide(text.data(), text.size(), CP_UTF8);
        const std::string ansi = FromWide(wide.data(), wide.size(), CP_ACP);
        std::fwrite(ansi.data(), 1, ansi.size(), stderr);
    } catch (const std::bad_alloc&) {
        std::fwrite(text.data(), 1, text.size(), stderr);
    } catch (const std::length_error&) {
        std::fwrite(text.data(), 1, text.size(), stderr);
    }
    std::fflush(stderr);
}

int FileOpenInput(const char* path)
{
    std::wstring wide;
    if (!WidePath(path, wide)) {
        return -1;
    }
    // A directory is not opened at all without FILE_FLAG_BACKUP_SEMANTICS.
    const HANDLE handle = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return -1;
    }
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        CloseHandle(handle);  // a device (NUL, CON) or a pipe
        return -1;
    }
    return DescriptorFor(handle, _O_RDONLY);
}

OutputTarget FileOutputTarget(const char* path, int input, bool streams)
{
    std::wstring wide;
    if (!WidePath(path, wide)) {
        return OutputTarget::kFile;  // creating will tell
    }
    // What the name leads to, through any link: a folder (opened only with
    // FILE_FLAG_BACKUP_SEMANTICS), a file on a disk, a device (NUL, CON) or a
    // pipe.
    const HANDLE target =
        CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (target == INVALID_HANDLE_VALUE) {
        return OutputTarget::kFile;  // nothing there, or nothing to see: creating will tell
    }
    const DWORD type = GetFileType(target);
    BY_HANDLE_FILE_INFORMATION info;
    const bool disk = type == FILE_TYPE_DISK && GetFileInformationByHandle(target, &info);
    CloseHandle(target);
    if (!disk) {
        return streams && (type == FILE_TYPE_CHAR || type == FILE_TYPE_PIPE) ? OutputTarget::kStream
                                                                             : OutputTarget::kRefused;
    }
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return OutputTarget::kRefused;  // a folder, or a link to one, which no file replaces
    }
    return IsSameFile(wide, input) ? OutputTarget::kInput : OutputTarget::kFile;
}

int FileOpenOutputStream(const char* path)
{
    std::wstring wide;
    if (!WidePath(path, wide)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return -1;
    }
    const HANDLE handle = CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return -1;
    }
    if (GetFileType(handle) == FILE_TYPE_DISK) {
        CloseHandle(handle);
        SetLastError(ERROR_FILE_EXISTS);  // another file has taken the name
        return -1;
    }
    return DescriptorFor(handle, _O_WRONLY);
}

bool FileIsTerminal(int file)
{
    DWORD mode = 0;
    return GetConsoleMode(HandleOf(file), &mode) != FALSE;
}

bool FileSameRegularFile(int file, int other)
{
    FileIdentity a{};
    FileIdentity b{};
    return GetFileType(HandleOf(file)) == FILE_TYPE_DISK && GetFileType(HandleOf(other)) == FILE_TYPE_DISK &&
           IdentifyHandle(HandleOf(file), a) && IdentifyHandle(HandleOf(other), b) && SameIdentity(a, b);
}

int FileLastError()
{
    return static_cast<int>(GetLastError());
}

std::string FileErrorText(int code)
{
    wchar_t* text = nullptr;
    const DWORD length =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string reason;
    try {
        reason = length == 0 ? "error " + std::to_string(code) : FromWide(text, length, CP_UTF8);
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {
    }
    LocalFree(text);
    // The system's sentence ends in a full stop and CR LF; the line is ours
    // to end.
    while (!reason.empty() && std::strchr(".\r\n ", reason.back()) != nullptr) {
        reason.pop_back();
    }
    return reason;
}

int FileCreateTemporary(const char* outputPath, std::string& temporaryPath)
{
    constexpr unsigned kAttempts = 100;
    try {
        for (unsigned attempt = 0; attempt < kAttempts; ++attempt) {
            std::string name = TemporaryName(outputPath, attempt);
            std::wstring wide = ToWide(name.data(), name.size(), CP_UTF8);
            HANDLE handle;
            DWORD error = 0;
            {
                const TemporaryHeld held;
                handle = CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                     FILE_ATTRIBUTE_NORMAL, nullptr);
                if (handle == INVALID_HANDLE_VALUE) {
                    error = GetLastError();
                } else {
                    gTemporary.swap(wide);
                }
            }
            if (handle != INVALID_HANDLE_VALUE) {
                const int file = DescriptorFor(handle, _O_RDWR);
                if (file < 0) {
                    FileDiscardTemporary(name);
                    return -1;
                }
                temporaryPath.swap(name);
                return file;
            }
            if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
                SetLastError(error);  // the reason, for FileLastError
                return -1;
            }
        }
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {
    }
    return -1;
}

void FileStartWriteback(int, int64_t, int64_t)
{
    // Windows writes cached data out on its own; FlushFileBuffers waits.
}

bool FileFlush(int file)
{
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(file));
    return handle != INVALID_HANDLE_VALUE && FlushFileBuffers(handle);
}

Commit FileCommitTemporary(const std::string& temporaryPath, const char* outputPath)
{
    std::wstring from;
    std::wstring to;
    if (!WidePath(temporaryPath.c_str(), from) || !WidePath(outputPath, to)) {
        return Commit::kNotRenamed;
    }
    const TemporaryHeld held;
    // Write-through: the call returns once the rename is on the disk, which
    // takes the place of flushing the folder.
    if (!MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return Commit::kNotRenamed;
    }
    gTemporary.clear();
    return Commit::kDone;
}

void FileDiscardTemporary(const std::string& temporaryPath)
{
    std::wstring wide;
    const bool converted = WidePath(temporaryPath.c_str(), wide);
    const TemporaryHeld held;
    // The registered name is this one: without the memory to convert it,
    // that serves.
    DeleteFileW(converted ? wide.c_str() : gTemporary.c_str());
    gTemporary.clear();
}

int FileOpenStandardInput(int64_t& size)
{
    const int file = _fileno(stdin);
    size = -1;
    if (file < 0 || _setmode(file, _O_BINARY) == -1) {
        return -1;
    }
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(file));
    LARGE_INTEGER end;
    const int64_t here = _lseeki64(file, 0, SEEK_CUR);
    if (GetFileType(handle) == FILE_TYPE_DISK && GetFileSizeEx(handle, &end) && here >= 0) {
        size = end.QuadPart - here;
    }
    return file;
}

int FileOpenStandardOutput()
{
    const int file = _fileno(stdout);
    if (file < 0 || FileIsTerminal(file)) {
        return -1;  // a console
    }
    return _setmode(file, _O_BINARY) == -1 ? -1 : file;
}

int64_t FileClone(int, int)
{
    return -1;  // ReFS can share blocks, but not through these descriptors
}

void FileReserveRoom(int, int64_t)
{
    // The writes allocate as they come.
}

int64_t FileSize(int file)
{
    const int64_t end = _lseeki64(file, 0, SEEK_END);
    if (end < 0) {
        return -1;
    }
    return _lseeki64(file, 0, SEEK_SET) == 0 ? end : -2;
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
        SetLastError(ERROR_SUCCESS);
        const int put = _write(file, buffer, ask);
        if (put <= 0) {
            // The runtime reports a disk that took nothing without a system
            // error: the reason is then its own.
            if (GetLastError() == ERROR_SUCCESS) {
                SetLastError(errno == ENOSPC ? ERROR_DISK_FULL : ERROR_WRITE_FAULT);
            }
            return false;
        }
        buffer += put;
        count -= static_cast<std::size_t>(put);
    }
    return true;
}

bool FileWriteAt(int file, int64_t offset, const uint8_t* buffer, std::size_t count)
{
    const int64_t here = _lseeki64(file, 0, SEEK_CUR);
    if (here < 0 || _lseeki64(file, offset, SEEK_SET) != offset) {
        return false;
    }
    const bool written = FileWrite(file, buffer, count);
    return _lseeki64(file, here, SEEK_SET) == here && written;
}

bool FileClose(int file)
{
    return _close(file) == 0;
}

bool HostIsLeadByte(unsigned char)
{
    // File names are UTF-8 inside the program: no byte of a multibyte
    // character is ever '.', '/' or '\'.
    return false;
}
