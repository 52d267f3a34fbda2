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

std::string_view lineText(std::string_view line, std::string& scratch) {
    if (line.ends_with('\n')) {
        line.remove_suffix(1);
        if (line.ends_with('\r')) line.remove_suffix(1);
    }
    return repairedUTF8(line, scratch);
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

bool continuesUTF8(std::string_view cut, std::string_view next) {
    const std::string probe = std::string(cut) + std::string(next.substr(0, 3));
    const Prefix p = prefixAt(reinterpret_cast<const unsigned char*>(probe.data()), probe.size(), 0);
    return p.length > cut.size() && (p.complete || p.length == probe.size());
}

bool JSONNesting::mayBeWhole() const {
    if (broken_ || inString_ || depth_ != 0 || !started_) return false;
    switch (scalar_) {
        case Scalar::none: return closed_;
        case Scalar::literalDone:
        case Scalar::zero:
        case Scalar::integer:
        case Scalar::fraction:
        case Scalar::exponent: return true;
        default: return false;
    }
}

// One more byte (not a blank) of a top-level number or literal; false when the token can
// no longer become one.
bool JSONNesting::stepScalar(unsigned char c) {
    const bool digit = c >= '0' && c <= '9';
    const bool e = c == 'e' || c == 'E';
    switch (scalar_) {
        case Scalar::literal:
            if (c != static_cast<unsigned char>(literalRest_.front())) return false;
            literalRest_.remove_prefix(1);
            if (literalRest_.empty()) scalar_ = Scalar::literalDone;
            return true;
        case Scalar::minus:
            scalar_ = c == '0' ? Scalar::zero : Scalar::integer;
            return digit;
        case Scalar::zero:
        case Scalar::integer:
            if (digit && scalar_ == Scalar::integer) return true;
            scalar_ = c == '.' ? Scalar::dot : Scalar::exponentMark;
            return c == '.' || e;
        case Scalar::dot:
            scalar_ = Scalar::fraction;
            return digit;
        case Scalar::fraction:
            if (digit) return true;
            scalar_ = Scalar::exponentMark;
            return e;
        case Scalar::exponentMark:
            scalar_ = digit ? Scalar::exponent : Scalar::exponentSign;
            return digit || c == '+' || c == '-';
        case Scalar::exponentSign:
        case Scalar::exponent:
            scalar_ = Scalar::exponent;
            return digit;
        default:
            return false;  // a whole literal
    }
}

bool JSONNesting::feed(std::string_view part) {
    const bool wasWhole = mayBeWhole();
    bool changed = false;  // a byte other than a blank outside strings was taken
    const auto* s = reinterpret_cast<const unsigned char*>(part.data());
    const std::size_t n = part.size();
    constexpr std::uint64_t ones = 0x0101010101010101u, highs = 0x8080808080808080u;
    auto hasByte = [](std::uint64_t word, unsigned char b) {
        const std::uint64_t x = word ^ (ones * b);
        return ((x - ones) & ~x & highs) != 0;
    };
    for (std::size_t i = 0; i < n && !broken_; ++i) {
        if (inString_) {
            changed = true;
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
        const bool blank = c == ' ' || c == '\t' || c == '\n' || c == '\r';
        if (scalar_ != Scalar::none && !closed_) {
            // A top-level number or literal ends at a blank, and only when it is whole.
            if (blank) {
                closed_ = true;
                broken_ = !mayBeWhole();
            } else {
                changed = true;
                broken_ = !stepScalar(c);
            }
            continue;
        }
        if (blank) continue;
        changed = true;
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
                if (started_) break;  // inside an object or array: not followed
                started_ = true;
                if (c == 't' || c == 'f' || c == 'n') {
                    scalar_ = Scalar::literal;
                    literalRest_ = c == 't' ? "rue" : c == 'f' ? "alse" : "ull";
                } else if (c == '-' || (c >= '0' && c <= '9')) {
                    scalar_ = c == '-' ? Scalar::minus : c == '0' ? Scalar::zero : Scalar::integer;
                } else {
                    broken_ = true;
                }
        }
    }
    return mayBeWhole() && (changed || !wasWhole);
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
