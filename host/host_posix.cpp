// The host interface on POSIX systems.
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "host/file_access.h"
#include "naming/output_name.h"

#if defined(__linux__)
#include <linux/fs.h>
#endif

namespace {

// --- the temporary output and the interrupts that remove it -----------------

// The signals whose default action ends the process and that can be caught:
// each must take the temporary output with it. The faults (SIGSEGV, SIGBUS,
// SIGFPE, SIGILL) are among them, so that a fault in ratefold itself leaves
// nothing behind either; SIGPIPE and SIGXFSZ are not, being ignored
// (HostStartup). The real-time signals join them at start, where their
// range is known.
constexpr int kInterrupts[] = {
    SIGHUP,    SIGINT,  SIGQUIT, SIGILL,  SIGTRAP, SIGABRT,   SIGBUS,  SIGFPE, SIGUSR1,
    SIGSEGV,   SIGUSR2, SIGALRM, SIGTERM, SIGXCPU, SIGVTALRM, SIGPROF, SIGSYS,
#if defined(SIGSTKFLT)
    SIGSTKFLT,
#endif
#if defined(SIGPOLL)
    SIGPOLL,
#endif
#if defined(SIGPWR)
    SIGPWR,
#endif
#if defined(SIGEMT)
    SIGEMT,
#endif
#if defined(SIGLOST)
    SIGLOST,
#endif
};

// All of them, real-time signals included, once HostStartup has run: held
// back while the temporary output is registered or renamed, and while the
// handler runs.
sigset_t gInterrupts;

// The temporary output to remove on an interrupt, or null: a copy the
// handler can read at any moment, since it is only changed while the
// interrupts are blocked.
char* gTemporary = nullptr;

void RemoveTemporaryAndEnd(int signal)
{
    if (gTemporary != nullptr) {
        unlink(gTemporary);
    }
    // End as the signal ends a process that does not catch it, so that the
    // caller sees the same status. It is blocked while its handler runs:
    // the default action comes once it is let through.
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
    raise(signal);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    _exit(128 + signal);  // not reached
}

// Holds the interrupts back while it lives; one that arrives meanwhile is
// handled when it ends.
class InterruptsHeld {
public:
    InterruptsHeld()
    {
        sigprocmask(SIG_BLOCK, &gInterrupts, &saved_);
    }
    ~InterruptsHeld()
    {
        sigprocmask(SIG_SETMASK, &saved_, nullptr);
    }
    InterruptsHeld(const InterruptsHeld&) = delete;
    InterruptsHeld& operator=(const InterruptsHeld&) = delete;

private:
    sigset_t saved_;
};

// Call with the interrupts held.
void ForgetTemporary()
{
    std::free(gTemporary);
    gTemporary = nullptr;
}

// A name no other file has yet, beside the output: the clock, the process
// and the attempt make the letters.
std::string TemporaryName(const char* outputPath, unsigned attempt)
{
    struct timespec now = {};
    clock_gettime(CLOCK_REALTIME, &now);
    return TemporaryOutputName(outputPath, static_cast<uint64_t>(now.tv_nsec) ^ static_cast<uint64_t>(getpid()) << 20 ^
                                               static_cast<uint64_t>(attempt) * 0x9E3779B97F4A7C15u);
}

// The folder that holds the file named by path: the part before its last
// '/', "/" for a file at the root, "." for a bare name.
std::string FolderOf(const char* path)
{
    const char* const slash = std::strrchr(path, '/');
    if (slash == nullptr) {
        return ".";
    }
    return slash == path ? "/" : std::string(path, static_cast<std::size_t>(slash - path));
}

bool SameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

void HostStartup()
{
    // A standard stream left closed by whoever started us gets /dev/null, in
    // order, before anything else is opened: else the first files the run
    // opens would take its number, and progress lines would go into the
    // output, or the stream be read from an output.
    for (int standard = STDIN_FILENO; standard <= STDERR_FILENO; ++standard) {
        if (fcntl(standard, F_GETFD) != -1 || errno != EBADF) {
            continue;
        }
        // The lowest number free, which is this one: those below are open.
        if (open("/dev/null", O_RDWR) != standard) {
            constexpr char kNoNull[] = "can't open /dev/null for a closed standard stream\n";
            HostWriteStandardError(kNoNull, sizeof kNoNull - 1);
            _exit(1);
        }
    }
    // A write past the process's file-size limit then fails with EFBIG and is
    // reported like a full disk, instead of killing the process mid-file.
    signal(SIGXFSZ, SIG_IGN);
    // Likewise a reader that goes away makes a write fail with EPIPE: a
    // broken pipe on standard error leaves the conversion to finish, and
    // one on an output stream is reported.
    signal(SIGPIPE, SIG_IGN);
    sigemptyset(&gInterrupts);
    for (const int signal : kInterrupts) {
        sigaddset(&gInterrupts, signal);
    }
#if defined(SIGRTMIN) && defined(SIGRTMAX)
    for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal) {
        sigaddset(&gInterrupts, signal);
    }
#endif
    for (int signal = 1; signal < NSIG; ++signal) {
        struct sigaction current = {};
        if (sigismember(&gInterrupts, signal) != 1 || sigaction(signal, nullptr, &current) != 0) {
            continue;
        }
        // Left as it is when ignored by whoever started us (nohup, say), or
        // handled by a runtime loaded before main (a sanitizer's report of
        // a fault).
        if ((current.sa_flags & SA_SIGINFO) != 0 || current.sa_handler != SIG_DFL) {
            continue;
        }
        struct sigaction action = {};
        action.sa_handler = RemoveTemporaryAndEnd;
        action.sa_mask = gInterrupts;
        sigaction(signal, &action, nullptr);
    }
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

void HostPrintMessage(const std::string& text)
{
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
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

int FileOpenStandardInput(int64_t& size)
{
    struct stat info;
    size = -1;
    if (fstat(STDIN_FILENO, &info) != 0) {
        return -1;
    }
    if (S_ISREG(info.st_mode)) {
        const off_t here = lseek(STDIN_FILENO, 0, SEEK_CUR);
        size = here < 0 ? -1 : static_cast<int64_t>(info.st_size - here);
    }
#if defined(F_SETPIPE_SZ)
    if (S_ISFIFO(info.st_mode)) {
        // One read's worth; where the host refuses, the pipe keeps its size.
        constexpr int kPipeBytes = 1 << 20;
        (void)fcntl(STDIN_FILENO, F_SETPIPE_SZ, kPipeBytes);
    }
#endif
    return STDIN_FILENO;
}

int FileOpenStandardOutput()
{
    return isatty(STDOUT_FILENO) ? -1 : STDOUT_FILENO;
}

OutputTarget FileOutputTarget(const char* path, int input, bool streams)
{
    struct stat target;
    if (stat(path, &target) != 0) {
        return OutputTarget::kFile;  // nothing there, a link to nothing: creating will tell
    }
    struct stat source;
    if (fstat(input, &source) == 0 && SameFile(target, source)) {
        return OutputTarget::kInput;
    }
    struct stat entry;
    if (S_ISREG(target.st_mode) && lstat(path, &entry) == 0 && S_ISLNK(entry.st_mode)) {
        // /dev/stdout and its like, as root, are links in a folder that may
        // be written: the link to a standard stream's file stays.
        for (int standard = STDIN_FILENO; standard <= STDERR_FILENO; ++standard) {
            struct stat stream;
            if (fstat(standard, &stream) == 0 && SameFile(target, stream)) {
                return streams && standard == STDOUT_FILENO ? OutputTarget::kStandardOutput : OutputTarget::kRefused;
            }
        }
    }
    if (S_ISREG(target.st_mode)) {
        return OutputTarget::kFile;  // the file, or a link to one, which the output replaces
    }
    return streams && (S_ISCHR(target.st_mode) || S_ISFIFO(target.st_mode)) ? OutputTarget::kStream
                                                                            : OutputTarget::kRefused;
}

int FileOpenOutputStream(const char* path)
{
    // Neither created nor truncated: it is there, and must still be a device
    // or a FIFO once open.
    const int file = open(path, O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (file < 0) {
        return -1;
    }
    struct stat info;
    const bool known = fstat(file, &info) == 0;
    if (known && (S_ISCHR(info.st_mode) || S_ISFIFO(info.st_mode))) {
        return file;
    }
    const int error = known ? EEXIST : errno;  // EEXIST: another file has taken the name
    close(file);
    errno = error;
    return -1;
}

bool FileIsTerminal(int file)
{
    return isatty(file) == 1;
}

bool FileSameRegularFile(int file, int other)
{
    struct stat a;
    struct stat b;
    return fstat(file, &a) == 0 && fstat(other, &b) == 0 && S_ISREG(a.st_mode) && SameFile(a, b);
}

int FileLastError()
{
    return errno;
}

std::string FileErrorText(int code)
{
    return std::strerror(code);
}

int FileCreateTemporary(const char* outputPath, std::string& temporaryPath)
{
    constexpr unsigned kAttempts = 100;
    for (unsigned attempt = 0; attempt < kAttempts; ++attempt) {
        const std::string name = TemporaryName(outputPath, attempt);
        int file;
        {
            const InterruptsHeld held;
            file = open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (file >= 0) {
                ForgetTemporary();
                gTemporary = strdup(name.c_str());
                if (gTemporary == nullptr) {
                    unlink(name.c_str());
                    close(file);
                    return -1;
                }
            }
        }
        if (file >= 0) {
            temporaryPath = name;
            return file;
        }
        if (errno != EEXIST && errno != EINTR) {
            return -1;
        }
    }
    return -1;
}

void FileStartWriteback(int file, int64_t offset, int64_t length)
{
#if defined(__linux__) && defined(SYNC_FILE_RANGE_WRITE)
    (void)sync_file_range(file, static_cast<off64_t>(offset), static_cast<off64_t>(length), SYNC_FILE_RANGE_WRITE);
#else
    (void)file;
    (void)offset;
    (void)length;
#endif
}

bool FileFlush(int file)
{
    for (;;) {
#if defined(__linux__)
        const int flushed = fdatasync(file);  // the size, not the times
#else
        const int flushed = fsync(file);
#endif
        if (flushed == 0 || errno != EINTR) {
            return flushed == 0;
        }
    }
}

Commit FileCommitTemporary(const std::string& temporaryPath, const char* outputPath)
{
    const std::string folder = FolderOf(outputPath);
    const int directory = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory < 0) {
        return Commit::kNotRenamed;
    }
    {
        const InterruptsHeld held;
        if (rename(temporaryPath.c_str(), outputPath) != 0) {
            close(directory);
            return Commit::kNotRenamed;
        }
        ForgetTemporary();
    }
    // EINVAL: a filesystem that has nothing to flush for a folder.
    const bool flushed = fsync(directory) == 0 || errno == EINVAL;
    return close(directory) == 0 && flushed ? Commit::kDone : Commit::kNotFlushed;
}

void FileDiscardTemporary(const std::string& temporaryPath)
{
    const InterruptsHeld held;
    unlink(temporaryPath.c_str());
    ForgetTemporary();
}

// The output still grows only by what is written. The writes fill blocks
// already allocated instead of having each page reserved as it arrives,
// which takes about a fifth off the system time of a conversion on ext4. A
// filesystem without the call, or a disk without the room, leaves the
// writes to find out and report it.
void FileReserveRoom(int file, int64_t size)
{
#if defined(__linux__) && defined(FALLOC_FL_KEEP_SIZE)
    if (size > 0) {
        (void)fallocate(file, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(size));
    }
#else
    (void)file;
    (void)size;
#endif
}

int64_t FileClone(int output, int input)
{
#if defined(__linux__) && defined(FICLONE)
    // XFS unshares a whole copy-on-write extent around each block written
    // into a shared file, 32 blocks unless told otherwise: one block, so
    // that only the blocks that change take room. A hint, set while the
    // file is empty; other filesystems have no such thing.
    struct fsxattr attributes = {};
    if (ioctl(output, FS_IOC_FSGETXATTR, &attributes) == 0) {
        struct stat info;
        attributes.fsx_xflags |= FS_XFLAG_COWEXTSIZE;
        attributes.fsx_cowextsize = fstat(output, &info) == 0 ? static_cast<uint32_t>(info.st_blksize) : 4096;
        (void)ioctl(output, FS_IOC_FSSETXATTR, &attributes);
    }
    struct stat cloned;
    if (ioctl(output, FICLONE, input) != 0 || fstat(output, &cloned) != 0) {
        return -1;
    }
#if defined(POSIX_FADV_SEQUENTIAL)
    posix_fadvise(output, 0, 0, POSIX_FADV_SEQUENTIAL);  // read as the input would be
#endif
    return static_cast<int64_t>(cloned.st_size);
#else
    (void)output;
    (void)input;
    return -1;
#endif
}

int64_t FileSize(int file)
{
    const off_t end = lseek(file, 0, SEEK_END);
    if (end < 0) {
        return -1;
    }
    return lseek(file, 0, SEEK_SET) == 0 ? static_cast<int64_t>(end) : -2;
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

bool FileWriteAt(int file, int64_t offset, const uint8_t* buffer, std::size_t count)
{
    while (count > 0) {
        const ssize_t put = pwrite(file, buffer, count, static_cast<off_t>(offset));
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            return false;
        }
        buffer += put;
        offset += put;
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
