#include "UTF8.h"

namespace flowspur {

namespace {

// Length of the well-formed sequence at the start of s, 0 when it is ill-formed.
std::size_t sequenceLength(std::string_view s) {
    auto b = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    auto cont = [&](std::size_t i) { return i < s.size() && (b(i) & 0xC0) == 0x80; };
    unsigned char c = b(0);
    if (c < 0x80) return 1;
    if (c >= 0xC2 && c <= 0xDF) return cont(1) ? 2 : 0;
    if (c >= 0xE0 && c <= 0xEF) {
        if (!cont(1) || !cont(2)) return 0;
        if (c == 0xE0 && b(1) < 0xA0) return 0;   // overlong
        if (c == 0xED && b(1) >= 0xA0) return 0;  // surrogates
        return 3;
    }
    if (c >= 0xF0 && c <= 0xF4) {
        if (!cont(1) || !cont(2) || !cont(3)) return 0;
        if (c == 0xF0 && b(1) < 0x90) return 0;   // overlong
        if (c == 0xF4 && b(1) >= 0x90) return 0;  // past U+10FFFF
        return 4;
    }
    return 0;
}

}  // namespace

bool isValidUTF8(std::string_view text) {
    while (!text.empty()) {
        std::size_t n = sequenceLength(text);
        if (n == 0) return false;
        text.remove_prefix(n);
    }
    return true;
}

std::string repairedUTF8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        std::size_t n = sequenceLength(text);
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            n = 1;
        } else {
            out += text.substr(0, n);
        }
        text.remove_prefix(n);
    }
    return out;
}

}  // namespace flowspur
