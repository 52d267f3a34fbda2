#include "SubprocessError.h"

namespace subprocess {

namespace {

// The code point starting at text[i], advancing i; nothing for invalid UTF-8 (overlong
// forms, surrogates, values past U+10FFFF, truncated sequences).
std::optional<char32_t> nextCodePoint(std::string_view text, std::size_t& i) {
    const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(text[at]); };
    const unsigned char lead = byte(i);
    if (lead < 0x80) {
        ++i;
        return lead;
    }
    std::size_t length;
    char32_t value, minimum;
    if ((lead & 0xE0) == 0xC0) {
        length = 2, value = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, value = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, value = lead & 0x07, minimum = 0x10000;
    } else {
        return std::nullopt;
    }
    if (i + length > text.size()) return std::nullopt;
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return std::nullopt;
        value = (value << 6) | (byte(i + k) & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return std::nullopt;
    i += length;
    return value;
}

void appendUTF8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else {  // only Latin-1 reaches here
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

}  // namespace

std::optional<Bytes> encode(std::string_view text, TextEncoding encoding) {
    if (encoding == TextEncoding::utf8) return decode(text, TextEncoding::utf8);
    const char32_t limit = encoding == TextEncoding::ascii ? 0x7F : 0xFF;
    Bytes out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        auto c = nextCodePoint(text, i);
        if (!c || *c > limit) return std::nullopt;
        out += static_cast<char>(*c);
    }
    return out;
}

std::optional<std::string> decode(std::string_view bytes, TextEncoding encoding) {
    switch (encoding) {
        case TextEncoding::utf8:
            for (std::size_t i = 0; i < bytes.size();)
                if (!nextCodePoint(bytes, i)) return std::nullopt;
            return std::string(bytes);
        case TextEncoding::ascii:
            for (char c : bytes)
                if (static_cast<unsigned char>(c) > 0x7F) return std::nullopt;
            return std::string(bytes);
        case TextEncoding::isoLatin1: {
            std::string out;
            out.reserve(bytes.size() * 2);
            for (char c : bytes) appendUTF8(out, static_cast<unsigned char>(c));
            return out;
        }
    }
    return std::nullopt;
}

SubprocessError::SubprocessError(Kind kind, std::int32_t status, std::string text)
    : kind_(kind), status_(status), text_(std::move(text)) {
    switch (kind) {
        case Kind::exitedWithNonZeroStatus:
            description_ = text_;
            break;
        case Kind::unexpectedPropertyListObject:
            description_ = "The property list object could not be cast to expected type";
            break;
        case Kind::unexpectedJSONObject:
            description_ = "The JSON object could not be cast to expected type";
            break;
        case Kind::inputStringEncodingError:
            description_ = "Input string could not be encoded";
            break;
        case Kind::outputStringEncodingError:
            description_ = "Output string could not be encoded";
            break;
    }
}

}  // namespace subprocess
