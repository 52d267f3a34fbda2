#include "CaptureText.h"

namespace es::capture {

std::string_view lineText(std::string_view line, std::string& scratch) {
    if (line.ends_with('\n')) {
        line.remove_suffix(1);
        if (line.ends_with('\r')) line.remove_suffix(1);
    }
    return repairedUTF8(line, scratch);
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

}  // namespace es::capture
