// The host interface on POSIX systems.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "app/file_access.h"

void HostStartup()
{
    // A write past the process's file-size limit then fails with EFBIG and is
    // reported like a full disk, instead of killing the process mid-file.
    signal(SIGXFSZ, SIG_IGN);
}

void HostArgumentList(int&, char**&)
{
    // The shell has already expanded any patterns: a '*' or '?' that reaches
    // the program is part of a file name and must not be expanded again.
}

void HostWriteStandardError(const char* bytes, std::size_t count)
{
    while (count > 0) {
        const ssize_t put = write(STDERR_FILENO, bytes, count);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            return;  // nowhere left to report it
        }
        bytes += put;
        count -= static_cast<std::size_t>(put);
    }
}

int FileOpenInput(const char* path)
{
    // O_NONBLOCK so that opening a FIFO does not wait for a writer; it is
    // refused below anyway, and makes no difference to a regular file.
    const int file = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (file < 0) {
        return -1;
    }
    struct stat info;
    if (fstat(file, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(file);
        return -1;
    }
#if defined(POSIX_FADV_SEQUENTIAL)
    posix_fadvise(file, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
    return file;
}

namespace {

// Asks the filesystem for room for `size` bytes of the new output at once,
// leaving the file's size at 0: the output still grows only by what is
// written, and one cut short by an error ends where the writes ended (the
// blocks reserved past that end stay allocated to it until it is deleted or
// rewritten). The writes then fill blocks already allocated instead of
// having each page reserved as it arrives, which takes about a fifth off
// the system time of a conversion on ext4. A hint only: a filesystem
// without the call, or a disk without the room, leaves the writes to find
// out and report it.
void ReserveRoom(int file, off_t size)
{
#if defined(__linux__) && defined(FALLOC_FL_KEEP_SIZE)
    if (size > 0) {
        (void)fallocate(file, FALLOC_FL_KEEP_SIZE, 0, size);
    }
#else
    (void)file;
    (void)size;
#endif
}

}  // namespace

int FileOpenOutput(const char* path, int input)
{
    struct stat existing;
    struct stat source;
    const bool sourceKnown = fstat(input, &source) == 0;
    if (sourceKnown && stat(path, &existing) == 0 && existing.st_dev == source.st_dev &&
        existing.st_ino == source.st_ino) {
        return -1;
    }
    int file;
    do {
        file = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    } while (file < 0 && errno == EINTR);
    if (file >= 0 && sourceKnown) {
        ReserveRoom(file, source.st_size);  // the output is as long as the input
    }
    return file;
}

int64_t FileSize(int file)
{
    const off_t end = lseek(file, 0, SEEK_END);
    if (lseek(file, 0, SEEK_SET) != 0) {
        return -2;
    }
    return end < 0 ? -1 : static_cast<int64_t>(end);
}

int64_t FileRead(int file, uint8_t* buffer, std::size_t count)
{
    for (;;) {
        const ssize_t got = read(file, buffer, count);
        if (got >= 0) {
            return got;
        }
        if (errno != EINTR) {
            return -1;
        }
    }
}

bool FileWrite(int file, const uint8_t* buffer, std::size_t count)
{
    while (count > 0) {
        const ssize_t put = write(file, buffer, count);
        if (put < 0 && errno == EINTR) {
            continue;
        }
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
    // Linux and most systems release the descriptor even when close reports
    // an error, so close is never retried.
    return close(file) == 0;
}

bool HostIsLeadByte(unsigned char)
{
    // File names are UTF-8 here: no trail byte is ever '.', '/' or '\'.
    return false;
}
