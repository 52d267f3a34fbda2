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
// vertical tab, form feed, carriage return, U+0085, U+2028 and U+2029. Each of them
// ends a piece, so "\r\n" yields an empty piece between the two; a text without any
// yields one piece, an empty text one empty piece.
template <class F>
void forEachPiece(std::string_view text, F&& piece) {
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    constexpr std::uint64_t ones = 0x0101010101010101u, highs = 0x8080808080808080u;
    std::size_t start = 0;
    for (std::size_t i = 0; i < n;) {
        // Skip eight bytes at a time while none is below 0x0E or above 0x7F (a borrow
        // can only flag a word that holds such a byte).
        if (i + 8 <= n) {
            std::uint64_t word;
            std::memcpy(&word, s + i, 8);
            if ((((word - ones * 0x0E) | word) & highs) == 0) {
                i += 8;
                continue;
            }
        }
        const unsigned char c = s[i];
        std::size_t width = 0;
        if (c - 0x0Au <= 3u)
            width = 1;
        else if (c == 0xC2 && i + 1 < n && s[i + 1] == 0x85)
            width = 2;
        else if (c == 0xE2 && i + 2 < n && s[i + 1] == 0x80 && (s[i + 2] == 0xA8 || s[i + 2] == 0xA9))
            width = 3;
        if (width == 0) {
            ++i;
            continue;
        }
        piece(text.substr(start, i - start));
        i += width;
        start = i;
    }
    piece(text.substr(start));
}

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
