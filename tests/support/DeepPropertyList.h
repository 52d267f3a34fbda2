#pragma once
// Property lists of arrays nested depth deep, in the XML and the binary form, and small
// binary lists that share their objects: what a hostile user could leave as a
// configuration file.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

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

// A binary list of these objects (each its marker and contents, references of 1 byte
// each), object 0 at the top; at most 255 bytes of objects.
inline std::string binaryPropertyList(const std::vector<std::string>& objects) {
    std::string out = "bplist00";
    std::string offsets;
    for (const std::string& object : objects) {
        offsets += char(out.size());
        out += object;
    }
    std::uint64_t tableOffset = out.size();
    out += offsets;
    out += std::string(6, '\0');
    out += char(1);  // offset size
    out += char(1);  // reference size
    for (std::uint64_t v : {std::uint64_t(objects.size()), std::uint64_t(0), tableOffset}) {
        for (int b = 7; b >= 0; --b) out += char((v >> (8 * b)) & 0xFF);
    }
    return out;
}

// A dictionary whose one entry is a chain of levels arrays, each of which holds refs
// references to the next; the last one's are to one boolean. A few hundred bytes that
// stand for refs^levels values.
inline std::string sharedReferenceBinaryPropertyList(std::size_t levels, std::size_t refs) {
    std::vector<std::string> objects = {{char(0xD1), char(1), char(2)}, "\x57" "Enabled"};  // {1: 2}
    for (std::size_t level = 0; level < levels; ++level) {  // objects 2 .. levels + 1
        std::string array = refs < 15 ? std::string(1, char(0xA0 | refs)) : std::string{char(0xAF), char(0x10), char(refs)};
        objects.push_back(array + std::string(refs, char(3 + level)));
    }
    objects.push_back({char(0x09)});  // true
    return binaryPropertyList(objects);
}

}  // namespace plisttest
