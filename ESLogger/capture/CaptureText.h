#pragma once
// Text helpers of the capture library (not part of its interface): lines as read from a
// file, splitting at newline characters, and how far a JSON text fed in parts has come (JSONNesting).

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "TextForms.h"

namespace es::capture {

// The text of one line as read from a file, with its line feed or (the last line)
// without one: the line feed, and a carriage return before it, removed; ill-formed UTF-8
// repaired into scratch. Its pieces (forEachPiece) are what the file source decodes and
// what esjson prints, so the two agree on every file.
std::string_view lineText(std::string_view line, std::string& scratch);

// Calls piece(view) for each piece of text between newline characters: line feed,
// vertical tab, form feed and carriage return. Each of them ends a piece, so "\r\n"
// yields an empty piece between the two; a text without any yields one piece, an
// empty text one empty piece. U+0085, U+2028 and U+2029 do not end a piece: JSON
// strings may hold them unescaped, and cutting a line there would lose them.
template <class F>
void forEachPiece(std::string_view text, F&& piece) {
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    constexpr std::uint64_t ones = 0x0101010101010101u, highs = 0x8080808080808080u;
    std::size_t start = 0;
    for (std::size_t i = 0; i < n;) {
        // Skip eight bytes at a time while none is below 0x0E.
        if (i + 8 <= n) {
            std::uint64_t word;
            std::memcpy(&word, s + i, 8);
            if (((word - ones * 0x0E) & ~word & highs) == 0) {
                i += 8;
                continue;
            }
        }
        if (s[i] - 0x0Au > 3u) {
            ++i;
            continue;
        }
        piece(text.substr(start, i - start));
        start = ++i;
    }
    piece(text.substr(start));
}

// Follows a JSON text fed in parts without parsing it: the nesting of objects and arrays
// (braces and brackets outside strings), and the grammar of a top-level number or
// literal. It tells when the text may have become one whole value. What it takes for
// unfinished or broken (a closer too many, anything but blanks after the value ended, a
// start that no value has, a number or literal gone wrong) is never well-formed JSON,
// whatever follows; so a text that keeps growing needs a parse only when feed says so,
// and the cost stays linear.
class JSONNesting {
public:
    // Feeds the next part of the text. True when the text fed so far may now be one
    // whole JSON value and this part changed more than blanks: only then can a parse of
    // it end otherwise than the parse of the text before.
    bool feed(std::string_view part);

private:
    // Where a top-level number or literal has come.
    enum class Scalar : std::uint8_t {
        none, literal, literalDone, minus, zero, integer, dot, fraction, exponentMark, exponentSign, exponent
    };
    bool mayBeWhole() const;
    bool stepScalar(unsigned char c);

    std::uint64_t depth_ = 0;  // objects and arrays open
    bool inString_ = false;
    bool escaped_ = false;  // a backslash inside a string ended the last part
    bool started_ = false;  // a value has begun
    bool closed_ = false;   // the top-level value has ended: only blanks may follow
    bool broken_ = false;   // never well-formed, whatever follows
    Scalar scalar_ = Scalar::none;
    std::string_view literalRest_;  // what the literal still lacks
};

}  // namespace es::capture
