#pragma once
// Shell's results read as JSON or as a property list. Kept apart from the process runner
// so that its library needs no JSON or property-list parser.

#include <simdjson.h>

#include <memory>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "Plist.h"
#include "Shell.h"

namespace subprocess {

enum class JSONType { object, array, string, number, boolean, null };
// "object", "array", "string", "number", "boolean", "null".
std::string_view describe(JSONType type);
// "dictionary", "array", "string", "integer", "real", "boolean", "data", "date", ...
std::string_view describe(plist::Type type);

// A command's output parsed as JSON; owns the parsed document.
class JSONOutput {
public:
    // Throws simdjson::simdjson_error when the bytes are not one JSON text.
    explicit JSONOutput(const Bytes& bytes);
    simdjson::dom::element root() const { return root_; }
    JSONType type() const;

private:
    std::unique_ptr<simdjson::dom::parser> parser_;
    simdjson::dom::element root_;
};

// Thrown for output that is not a property list (libplist tells no more than that).
class PropertyListParseError : public std::runtime_error {
public:
    PropertyListParseError() : std::runtime_error("The data is not a property list") {}
};

// Property list bytes (XML or binary); PropertyListParseError when they are neither.
plist::Plist parsePropertyList(const Bytes& bytes);

// These run the command as Shell::exec(input, options) does (a non-zero exit status
// throws exitedWithNonZeroStatus) and then read its output.

// The output as JSON whose root is of the expected type; unexpectedJSONObject with the
// description of the root's actual type otherwise.
JSONOutput execJSON(Shell& shell, JSONType expected, std::optional<Subprocess::Input> input = std::nullopt,
                    Shell::OutputOptions options = Shell::OutputOptions::standardOutput);

// The output as a property list (XML or binary) whose root is of the expected type;
// unexpectedPropertyListObject with the description of its actual type otherwise, and
// PropertyListParseError when it does not parse.
plist::Plist execPropertyList(Shell& shell, plist::Type expected,
                              std::optional<Subprocess::Input> input = std::nullopt,
                              Shell::OutputOptions options = Shell::OutputOptions::standardOutput);

// A value decoded from the output's JSON root (or property list root): decode(root) is
// returned, and its errors pass through unchanged.
template <class Decode>
auto execDecodingJSON(Shell& shell, Decode&& decode, std::optional<Subprocess::Input> input = std::nullopt,
                      Shell::OutputOptions options = Shell::OutputOptions::standardOutput) {
    const JSONOutput output(shell.exec(std::move(input), options));
    return std::forward<Decode>(decode)(output.root());
}

template <class Decode>
auto execDecodingPropertyList(Shell& shell, Decode&& decode,
                              std::optional<Subprocess::Input> input = std::nullopt,
                              Shell::OutputOptions options = Shell::OutputOptions::standardOutput) {
    const auto list = parsePropertyList(shell.exec(std::move(input), options));
    return std::forward<Decode>(decode)(list.root());
}

}  // namespace subprocess
