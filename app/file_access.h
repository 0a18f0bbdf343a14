// Everything the converter needs from the host system, behind one small
// interface: files as plain integer descriptors, the file-name encoding and
// one start-up step. host_posix.cpp and host_windows.cpp implement it.
#pragma once

#include <cstddef>
#include <cstdint>

// Called once before anything else runs.
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

// Opens a regular file for reading, in binary mode, with the sequential-access
// hint, denying no other reader or writer. Returns -1 if the path cannot be
// opened or is not a regular file (a directory, a device, a pipe).
int FileOpenInput(const char* path);

// Creates the file, or truncates an existing one, for writing in binary mode,
// denying no other reader or writer. Returns -1 on failure, and also when the
// path names the very file open as `input` (a link to it, say), which would
// otherwise be destroyed before it is read. Where the host can, it also
// reserves disk room for as many bytes as the input holds, without changing
// the new file's size.
int FileOpenOutput(const char* path, int input);

// Size of an open file in bytes, leaving its position at the start. Returns
// -1 if the size cannot be taken; -2 if the position cannot be set back to
// the start, which would make the file unreadable.
int64_t FileSize(int file);

// Reads up to count bytes. Returns the count read, 0 at the end of the file,
// -1 on an error.
int64_t FileRead(int file, uint8_t* buffer, std::size_t count);

// Writes all count bytes. Returns false if they could not all be written
// (the disk is full, the file would grow past the host's limit, an I/O error).
bool FileWrite(int file, const uint8_t* buffer, std::size_t count);

// Closes the file. Returns false if the host reports an error, which for an
// output can mean that written data did not reach the disk.
bool FileClose(int file);

// True if the byte begins a two-byte character in the host's encoding of
// file names.
bool HostIsLeadByte(unsigned char byte);
