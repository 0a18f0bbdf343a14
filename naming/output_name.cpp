#include "naming/output_name.h"

#include <cstddef>

void MakeOutputName(std::string& name, const char* tag, LeadByteTest isLeadByte)
{
    // Position of the extension's dot, or 0 for none: a dot at the first byte
    // (".m2v") is a name, not an extension.
    std::size_t dot = 0;
    std::size_t i = 0;
    while (i < name.size()) {
        const unsigned char byte = static_cast<unsigned char>(name[i]);
        if (byte == '.') {
            dot = i;
        } else if (byte == '\\' || byte == '/') {
            dot = 0;
        }
        i += isLeadByte(byte) ? 2 : 1;
    }
    if (dot == 0) {
        name += tag;
    } else {
        name.insert(dot, tag);
    }
}
