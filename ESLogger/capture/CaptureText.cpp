#include "CaptureText.h"

#include <simdjson.h>

#include <cstdio>

namespace es::capture {

namespace {

struct Prefix {
    std::size_t length;  // bytes of the longest prefix of a well-formed sequence (at least 1)
    bool complete;       // the prefix is a whole character
};

// The well-formed (possibly cut) UTF-8 sequence at s[i]: its length and whether it is
// complete. An ill-formed start byte is a prefix of length 1 that is not complete.
Prefix prefixAt(const unsigned char* s, std::size_t n, std::size_t i) {
    const unsigned char c = s[i];
    if (c < 0x80) return {1, true};
    std::size_t need;
    unsigned char lo = 0x80, hi = 0xBF;  // range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        need = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        need = 3;
        if (c == 0xE0) lo = 0xA0;  // overlong
        if (c == 0xED) hi = 0x9F;  // surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        need = 4;
        if (c == 0xF0) lo = 0x90;  // overlong
        if (c == 0xF4) hi = 0x8F;  // past U+10FFFF
    } else {
        return {1, false};
    }
    std::size_t k = 1;
    if (i + 1 < n && s[i + 1] >= lo && s[i + 1] <= hi) {
        k = 2;
        while (k < need && i + k < n && (s[i + k] & 0xC0) == 0x80) ++k;
    }
    return {k, k == need};
}

}  // namespace

std::string_view repairedUTF8(std::string_view bytes, std::string& scratch) {
    if (simdjson::validate_utf8(bytes.data(), bytes.size())) return bytes;
    const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    scratch.clear();
    scratch.reserve(n + 16);
    for (std::size_t i = 0; i < n;) {
        const Prefix p = prefixAt(s, n, i);
        if (p.complete)
            scratch.append(bytes.data() + i, p.length);
        else
            scratch += "\xEF\xBF\xBD";
        i += p.length;
    }
    return scratch;
}

std::size_t incompleteUTF8Tail(std::string_view bytes) {
    const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    for (std::size_t i = n > 3 ? n - 3 : 0; i < n; ++i) {
        if (s[i] < 0xC2 || s[i] > 0xF4) continue;
        const Prefix p = prefixAt(s, n, i);
        if (!p.complete && i + p.length == n) return n - i;
    }
    return 0;
}

bool JSONNesting::feed(std::string_view part) {
    const bool wasClosed = closed_;
    const auto* s = reinterpret_cast<const unsigned char*>(part.data());
    const std::size_t n = part.size();
    constexpr std::uint64_t ones = 0x0101010101010101u, highs = 0x8080808080808080u;
    auto hasByte = [](std::uint64_t word, unsigned char b) {
        const std::uint64_t x = word ^ (ones * b);
        return ((x - ones) & ~x & highs) != 0;
    };
    for (std::size_t i = 0; i < n && !broken_; ++i) {
        if (inString_) {
            // Skip eight bytes at a time while none is a quote or a backslash.
            if (!escaped_) {
                std::uint64_t word;
                while (i + 8 <= n) {
                    std::memcpy(&word, s + i, 8);
                    if (hasByte(word, '"') || hasByte(word, '\\')) break;
                    i += 8;
                }
                if (i == n) break;
            }
            const unsigned char c = s[i];
            if (escaped_) {
                escaped_ = false;
            } else if (c == '\\') {
                escaped_ = true;
            } else if (c == '"') {
                inString_ = false;
                closed_ = depth_ == 0;
            }
            continue;
        }
        const unsigned char c = s[i];
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r') continue;
        if (closed_) {
            broken_ = true;
            break;
        }
        switch (c) {
            case '"':
                inString_ = started_ = true;
                break;
            case '{':
            case '[':
                ++depth_;
                started_ = true;
                break;
            case '}':
            case ']':
                if (depth_ == 0) broken_ = true;
                else closed_ = --depth_ == 0;
                break;
            default:
                if (started_) break;
                if (c == '-' || (c >= '0' && c <= '9') || c == 't' || c == 'f' || c == 'n')
                    scalar_ = started_ = true;
                else
                    broken_ = true;
        }
    }
    if (broken_ || inString_ || depth_ != 0 || !started_) return false;
    return scalar_ || (closed_ && !wasClosed);
}

std::string quotedText(std::string_view text) {
    std::string out = "\"";
    for (const char ch : text) {
        switch (ch) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\0': out += "\\0"; break;
            default:
                if (static_cast<unsigned char>(ch) < 0x20) {
                    char escape[8];
                    std::snprintf(escape, sizeof escape, "\\u{%x}", static_cast<unsigned>(ch));
                    out += escape;
                } else {
                    out += ch;
                }
        }
    }
    return out + "\"";
}

}  // namespace es::capture
