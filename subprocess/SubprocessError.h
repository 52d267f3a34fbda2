#pragma once
// Bytes, the text encodings the process runner converts with, and its error type.

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>

namespace subprocess {

// Raw bytes (not necessarily text), as read from or written to a child.
using Bytes = std::string;

enum class TextEncoding { utf8, ascii, isoLatin1 };

// Text (UTF-8) as bytes in an encoding; nothing when the text is not valid UTF-8 or has a
// character the encoding lacks.
std::optional<Bytes> encode(std::string_view text, TextEncoding encoding);
// Bytes in an encoding as UTF-8 text; nothing when they are not valid in that encoding.
std::optional<std::string> decode(std::string_view bytes, TextEncoding encoding);

class SubprocessError : public std::exception {
public:
    enum class Kind {
        exitedWithNonZeroStatus,
        unexpectedPropertyListObject,
        unexpectedJSONObject,
        inputStringEncodingError,
        outputStringEncodingError,
    };

    // The child's status and a text (its collected output), which is also the description.
    static SubprocessError exitedWithNonZeroStatus(std::int32_t status, std::string text) {
        return {Kind::exitedWithNonZeroStatus, status, std::move(text)};
    }
    // The text describes the type of the object found.
    static SubprocessError unexpectedPropertyListObject(std::string typeDescription) {
        return {Kind::unexpectedPropertyListObject, 0, std::move(typeDescription)};
    }
    static SubprocessError unexpectedJSONObject(std::string typeDescription) {
        return {Kind::unexpectedJSONObject, 0, std::move(typeDescription)};
    }
    static SubprocessError inputStringEncodingError() {
        return {Kind::inputStringEncodingError, 0, {}};
    }
    static SubprocessError outputStringEncodingError() {
        return {Kind::outputStringEncodingError, 0, {}};
    }

    Kind kind() const { return kind_; }
    std::int32_t status() const { return status_; }
    const std::string& text() const { return text_; }
    const std::string& errorDescription() const { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

private:
    SubprocessError(Kind kind, std::int32_t status, std::string text);

    Kind kind_;
    std::int32_t status_;
    std::string text_;
    std::string description_;
};

}  // namespace subprocess
