#pragma once
// Text helpers of the capture library (not part of its interface): UTF-8 repair,
// splitting at newline characters and the bracketed text form of a list of texts.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace es::capture {

// bytes as UTF-8 text: returned unchanged when well-formed; otherwise a repaired copy
// is built in scratch, every maximal ill-formed subpart replaced by U+FFFD, and a view
// of scratch is returned.
std::string_view repairedUTF8(std::string_view bytes, std::string& scratch);

// How many bytes at the end of bytes start a multi-byte character that the bytes
// after them would complete (0 to 3): what a chunked reader keeps for the next chunk.
std::size_t incompleteUTF8Tail(std::string_view bytes);

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

// Follows the nesting of a JSON text fed in parts (braces and brackets outside strings)
// without parsing it, to tell when the text may have become one whole value. What it
// takes for unfinished or broken (a closer too many, anything after the value ended, a
// start that no value has) is never well-formed JSON, whatever follows; so a text that
// keeps growing needs a parse only when feed says so, and the cost stays linear.
class JSONNesting {
public:
    // Feeds the next part of the text. True when the text fed so far may now be one
    // whole JSON value and was not before this part: only then can a parse of it end
    // otherwise than the parse of the text before (blanks after a value change nothing).
    bool feed(std::string_view part);

private:
    std::uint64_t depth_ = 0;  // objects and arrays open
    bool inString_ = false;
    bool escaped_ = false;  // a backslash inside a string ended the last part
    bool started_ = false;  // a value has begun
    bool scalar_ = false;   // it is a number or literal, whose end is not followed
    bool closed_ = false;   // the top-level object, array or string has ended
    bool broken_ = false;   // never well-formed, whatever follows
};

// A text quoted with ", \ and control characters escaped.
std::string quotedText(std::string_view text);

// ["a", "b"]: each element quoted, comma-separated, in brackets.
template <class Range>
std::string listDescription(const Range& texts) {
    std::string out = "[";
    for (const auto& text : texts) {
        if (out.size() > 1) out += ", ";
        out += quotedText(text);
    }
    return out + "]";
}

}  // namespace es::capture
