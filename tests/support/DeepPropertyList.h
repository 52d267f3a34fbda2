#pragma once
// Property lists of arrays nested depth deep, in the XML and the binary form: what a
// hostile user could leave as a configuration file.

#include <cstddef>
#include <cstdint>
#include <string>

namespace plisttest {

inline std::string deepXMLPropertyList(std::size_t depth) {
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n";
    out.reserve(out.size() + depth * 15 + 16);
    for (std::size_t i = 0; i < depth; ++i) out += "<array>";
    for (std::size_t i = 0; i < depth; ++i) out += "</array>";
    return out + "\n</plist>\n";
}

// Object i is an array that holds object i + 1; the last one is empty. References and
// offsets are 4 bytes, big-endian.
inline std::string deepBinaryPropertyList(std::size_t depth) {
    auto put = [](std::string& s, std::uint64_t v, int bytes) {
        for (int b = bytes - 1; b >= 0; --b) s += char((v >> (8 * b)) & 0xFF);
    };
    std::string out = "bplist00";
    std::string offsets;
    for (std::size_t i = 0; i < depth; ++i) {
        put(offsets, out.size(), 4);
        if (i + 1 < depth) {
            out += char(0xA1);
            put(out, i + 1, 4);
        } else {
            out += char(0xA0);
        }
    }
    std::uint64_t tableOffset = out.size();
    out += offsets;
    out += std::string(6, '\0');  // unused, sort version
    out += char(4);               // offset size
    out += char(4);               // reference size
    put(out, depth, 8);           // objects
    put(out, 0, 8);               // the top object
    put(out, tableOffset, 8);
    return out;
}

}  // namespace plisttest
