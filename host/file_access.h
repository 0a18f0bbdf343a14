// Everything the converter needs from the host system, behind one small
// interface: files as plain integer descriptors, the temporary output and
// its removal on an interrupt, message output, the file-name encoding and
// one start-up step. host_posix.cpp and host_windows.cpp implement it.
//
// Paths are byte strings as the argument list delivers them: on POSIX as
// they are, on Windows UTF-8 (the host turns them into UTF-16 at each call).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Called once before anything else runs. Gives a standard stream that is
// closed /dev/null (POSIX), so that no file the run opens takes its place;
// ends the process with status 1 if that cannot be done. Sets up the removal
// of the temporary output (below) when the run is interrupted: on POSIX
// every signal that would end the process and can be caught (SIGPIPE and
// SIGXFSZ are ignored instead), unless it was ignored or given a handler
// before main; on Windows Ctrl-C, Ctrl-Break and closing the console. The
// process then ends as the interrupt would have ended it.
void HostStartup();

// Where the host leaves splitting the command line and expanding wildcards
// to the program (Windows), replaces the argument list main received by the
// one built from the raw command line; elsewhere (POSIX: the shell has
// expanded the patterns) leaves it as delivered. Ends the process with
// status 255 if memory runs out.
void HostArgumentList(int& argc, char**& argv);

// Writes the bytes to the standard error handle as they are, beneath the C
// library's stream: no buffer, no text-mode translation, no allocation. For
// the last words of a process that has run out of memory; a failure is
// ignored, as there is nowhere left to report it.
void HostWriteStandardError(const char* bytes, std::size_t count);

// Prints a message or progress text on standard error and flushes it. Paths
// in it are in the argument list's encoding; the host shows them as the
// console or file receiving them can.
void HostPrintMessage(const std::string& text);

// Opens a regular file for reading, in binary mode, with the sequential-access
// hint, denying no other reader or writer. Returns -1 if the path cannot be
// opened or is not a regular file (a directory, a device, a pipe).
int FileOpenInput(const char* path);

// Standard input as the input stream, in binary mode. Sets size to the
// bytes from its position on when it is a regular file, to -1 when that
// cannot be known (a pipe). A pipe holding more than the host gives at once
// is asked to hold more, so that reads come in larger pieces.
int FileOpenStandardInput(int64_t& size);

// Standard output as the output stream, in binary mode; -1 if it is a
// terminal, where a stream has no business.
int FileOpenStandardOutput();

// What an output's name leads to, and so how the output is written there.
enum class OutputTarget {
    kFile,            // nothing yet, a regular file, or a symbolic link to one or to
                      // nothing: the new file is made beside it and replaces it
    kStream,          // where `streams`: a character device or a FIFO, itself or
                      // through symbolic links, written to as it stands
    kInput,           // the very file open as `input` (its name, a link to it)
    kStandardOutput,  // where `streams`: a link to the file open as standard
                      // output (/dev/stdout redirected to a file), written
                      // there as a stream, as "-" is
    kRefused,         // anything else: a directory, a socket, a block device, a
                      // device or FIFO where not `streams`, a link to one of these,
                      // or a link to the file open as standard input or error
};
OutputTarget FileOutputTarget(const char* path, int input, bool streams);

// Opens the character device or FIFO at `path` (FileOutputTarget's kStream)
// for writing, in binary mode: a FIFO waits for a reader. Returns -1 on
// failure, or if the name no longer leads to a device or FIFO.
int FileOpenOutputStream(const char* path);

// True if the open file is a terminal (a console on Windows).
bool FileIsTerminal(int file);

// True if the two open files are one and the same regular file.
bool FileSameRegularFile(int file, int other);

// The system's code for why the file call just made failed (errno; on
// Windows GetLastError), to be read at once, before any other call.
int FileLastError();

// The system's text for such a code, as one line without its end: "No space
// left on device".
std::string FileErrorText(int code);

// Creates a new, empty temporary file in the folder of `outputPath`, for
// reading and writing in binary mode, and sets `temporaryPath` to its name.
// Until FileCommitTemporary or FileDiscardTemporary, an interrupt removes
// it. Returns -1 on failure.
int FileCreateTemporary(const char* outputPath, std::string& temporaryPath);

// Where the filesystem can share blocks between files (XFS, btrfs), makes
// the empty `output` a copy of `input` that shares all its blocks, and
// returns its length: then only the blocks written afterwards take room of
// their own, and `output`, read from its start, gives the input as it was at
// that moment. Returns -1 where that cannot be done (another filesystem, the
// two on different ones, a host without the call), leaving `output` empty.
int64_t FileClone(int output, int input);

// Asks for disk room for `size` bytes of the empty output at once, without
// changing its size: the writes then fill blocks already allocated. A hint
// only, where the host has it.
void FileReserveRoom(int file, int64_t size);

// Asks the host to start writing the given bytes of the file to the disk
// now, without waiting for them: the flush at the end then has little left
// to wait for. Where the host has no such call, nothing.
void FileStartWriteback(int file, int64_t offset, int64_t length);

// Takes the bytes written to the file to the disk (of a clone, the blocks
// written: the shared ones are there already), so that once renamed the
// output survives a crash or a power cut whole. Returns false if the host
// reports an error: the bytes may not have reached the disk.
bool FileFlush(int file);

// How FileCommitTemporary ended.
enum class Commit {
    kDone,        // the output has its name, and the name is on the disk
    kNotRenamed,  // failed: the temporary file is still to be discarded
    kNotFlushed,  // the output has its name, but the folder could not be
                  // flushed after the rename: a crash may yet undo it
};

// Renames the closed, flushed temporary file to `outputPath`, replacing
// what is there, in one step: an interrupt leaves either the earlier file
// or the whole new one. The rename then goes to the disk too (on POSIX the
// folder is flushed after it; a folder that cannot even be opened for that
// is found before the rename, which is then not done).
Commit FileCommitTemporary(const std::string& temporaryPath, const char* outputPath);

// Removes the temporary file (closed or not) and forgets it.
void FileDiscardTemporary(const std::string& temporaryPath);

// Size of an open file in bytes, leaving its position at the start. Returns
// -1 if the size cannot be taken (the file cannot seek); -2 if the position
// cannot be set back to the start, which would make the file unreadable.
int64_t FileSize(int file);

// Reads up to count bytes. Returns the count read, 0 at the end of the file,
// -1 on an error.
int64_t FileRead(int file, uint8_t* buffer, std::size_t count);

// Writes all count bytes. Returns false if they could not all be written
// (the disk is full, the file would grow past the host's limit, an I/O error).
bool FileWrite(int file, const uint8_t* buffer, std::size_t count);

// Writes all count bytes at the offset from the file's first byte, leaving
// the position where sequential writes go on. Returns false on failure.
bool FileWriteAt(int file, int64_t offset, const uint8_t* buffer, std::size_t count);

// Closes the file. Returns false if the host reports an error, which for an
// output can mean that written data did not reach the disk.
bool FileClose(int file);

// True if the byte begins a two-byte character in the encoding of the
// argument list's file names.
bool HostIsLeadByte(unsigned char byte);
