#pragma once
// Texts as the system reads and prints them, for the capture library, the store and the
// flow extension alike: the repair of bytes that should be UTF-8, and the printed form
// of a text and of a list of texts.

#include <cstddef>
#include <string>
#include <string_view>

namespace es {

// Whether text is well-formed UTF-8 (no overlong forms, surrogates or values past
// U+10FFFF).
bool isValidUTF8(std::string_view text);

// bytes as UTF-8 text: returned unchanged when well-formed; otherwise a repaired copy
// is built in scratch, every maximal ill-formed subpart (the longest start of a
// well-formed sequence that is not completed, or else one byte) replaced by U+FFFD,
// and a view of scratch is returned.
std::string_view repairedUTF8(std::string_view bytes, std::string& scratch);
std::string repairedUTF8(std::string_view bytes);

// How many bytes at the end of bytes start a multi-byte character that the bytes
// after them would complete (0 to 3): what a chunked reader keeps for the next chunk.
std::size_t incompleteUTF8Tail(std::string_view bytes);

// Whether next (not empty) begins with a byte that goes on with the character whose
// start cut holds (bytes that incompleteUTF8Tail kept): then the two are repaired as
// one text. When it does not, cut is one ill-formed subpart where it stands.
bool continuesUTF8(std::string_view cut, std::string_view next);

// A text as the platform prints it inside a list or a tuple: in double quotes, with
// ", \ and the control characters escaped (\n, \r, \t, \0, and \u{7f} style for the
// others); every other character as it is.
void appendEscapedText(std::string& out, std::string_view text);  // without the quotes
void appendQuotedText(std::string& out, std::string_view text);
std::string quotedText(std::string_view text);

// ["a", "b"]: each element quoted, comma-separated, in brackets. each(out, element)
// appends the element's text escaped, without its quotes.
template <class Range, class Each>
void appendTextList(std::string& out, const Range& elements, Each each) {
    out += '[';
    bool first = true;
    for (const auto& element : elements) {
        if (!first) out += ", ";
        first = false;
        out += '"';
        each(out, element);
        out += '"';
    }
    out += ']';
}

template <class Range>
void appendTextList(std::string& out, const Range& texts) {
    appendTextList(out, texts, [](std::string& to, std::string_view text) { appendEscapedText(to, text); });
}

template <class Range>
std::string listDescription(const Range& texts) {
    std::string out;
    appendTextList(out, texts);
    return out;
}

}  // namespace es
