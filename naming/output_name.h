// Output file naming: a tag such as "_30i" goes in front of the input's
// extension, so the output lands beside the input and keeps its extension.
#pragma once

#include <cstdint>
#include <string>

// True if the byte begins a two-byte character in the file-name encoding.
using LeadByteTest = bool (*)(unsigned char byte);

// Rewrites the path in place: with the tag "_30i", clip.m2v -> clip_30i.m2v,
// clip -> clip_30i.
// The extension is the part from the last '.' after the last directory
// separator ('\' or '/'); the dots that begin a name (".m2v", "d/.m2v",
// "..m2v") do not count.
// Trail bytes of two-byte characters (as isLeadByte tells) are never taken
// for a '.' or a separator.
void MakeOutputName(std::string& name, const char* tag, LeadByteTest isLeadByte);

// The name of a temporary file beside the output: ".NAME.XXXXXX" in the
// output's folder, hidden (a leading dot keeps it out of the shell's
// patterns), its six letters and digits drawn from `seed`. A very long NAME
// is cut, at the start of a UTF-8 character, so that the whole stays within
// every host's limit on a name. Folders end at '/', '\' or ':'.
std::string TemporaryOutputName(const std::string& outputPath, uint64_t seed);
