// Output and temporary file names.
#include "naming/output_name.h"

#include <cstddef>

void MakeOutputName(std::string& name, const char* tag, LeadByteTest isLeadByte)
{
    // Position of the extension's dot, or npos for none. The dots that begin
    // a name (".m2v", "dir/.m2v", "..m2v") make it a hidden name, not an
    // extension, however the folder before it is spelt.
    std::size_t dot = std::string::npos;
    std::size_t nameStart = 0;
    std::size_t i = 0;
    while (i < name.size()) {
        const unsigned char byte = static_cast<unsigned char>(name[i]);
        if (byte == '.') {
            if (i == nameStart) {
                ++nameStart;
            } else {
                dot = i;
            }
        } else if (byte == '\\' || byte == '/') {
            dot = std::string::npos;
            nameStart = i + 1;
        }
        i += isLeadByte(byte) ? 2 : 1;
    }
    if (dot == std::string::npos) {
        name += tag;
    } else {
        name.insert(dot, tag);
    }
}

std::string TemporaryOutputName(const std::string& outputPath, uint64_t seed)
{
    constexpr std::size_t kLongestNamePart = 200;
    constexpr char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    constexpr std::size_t kLetterCount = sizeof kLetters - 1;
    constexpr unsigned kSuffixLength = 6;
    constexpr unsigned char kContinuationMask = 0xC0;
    constexpr unsigned char kContinuationByte = 0x80;
    const std::size_t separator = outputPath.find_last_of("\\/:");
    const std::size_t nameStart = separator == std::string::npos ? 0 : separator + 1;
    std::size_t nameLength = outputPath.size() - nameStart;
    if (nameLength > kLongestNamePart) {
        nameLength = kLongestNamePart;
        while (nameLength > 0 && (static_cast<unsigned char>(outputPath[nameStart + nameLength]) & kContinuationMask) ==
                                     kContinuationByte) {
            --nameLength;
        }
    }
    std::string name = outputPath.substr(0, nameStart);
    name += '.';
    name.append(outputPath, nameStart, nameLength);
    name += '.';
    for (unsigned k = 0; k < kSuffixLength; ++k) {
        name += kLetters[seed % kLetterCount];
        seed /= kLetterCount;
    }
    return name;
}
