#include "TextForms.h"

#include <simdjson.h>

namespace es {

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

const unsigned char* bytesOf(std::string_view text) {
    return reinterpret_cast<const unsigned char*>(text.data());
}

}  // namespace

bool isValidUTF8(std::string_view text) {
    return simdjson::validate_utf8(text.data(), text.size());
}

std::string_view repairedUTF8(std::string_view bytes, std::string& scratch) {
    if (isValidUTF8(bytes)) return bytes;
    const unsigned char* s = bytesOf(bytes);
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

std::string repairedUTF8(std::string_view bytes) {
    std::string scratch;
    const std::string_view text = repairedUTF8(bytes, scratch);
    return text.data() == scratch.data() ? std::move(scratch) : std::string(text);
}

std::size_t incompleteUTF8Tail(std::string_view bytes) {
    const unsigned char* s = bytesOf(bytes);
    const std::size_t n = bytes.size();
    for (std::size_t i = n > 3 ? n - 3 : 0; i < n; ++i) {
        if (s[i] < 0xC2 || s[i] > 0xF4) continue;
        const Prefix p = prefixAt(s, n, i);
        if (!p.complete && i + p.length == n) return n - i;
    }
    return 0;
}

bool continuesUTF8(std::string_view cut, std::string_view next) {
    const std::string probe = std::string(cut) + std::string(next.substr(0, 1));
    return prefixAt(bytesOf(probe), probe.size(), 0).length > cut.size();
}

void appendEscapedText(std::string& out, std::string_view text) {
    for (const char ch : text) {
        switch (ch) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\0': out += "\\0"; break;
            default: {
                const auto c = static_cast<unsigned char>(ch);
                if (c >= 0x20 && c != 0x7F) {
                    out += ch;
                    break;
                }
                constexpr char hex[] = "0123456789abcdef";
                out += "\\u{";
                if (c >= 0x10) out += hex[c >> 4];
                out += hex[c & 0xF];
                out += '}';
            }
        }
    }
}

void appendQuotedText(std::string& out, std::string_view text) {
    out += '"';
    appendEscapedText(out, text);
    out += '"';
}

std::string quotedText(std::string_view text) {
    std::string out;
    appendQuotedText(out, text);
    return out;
}

}  // namespace es
