#include "ShellFormats.h"

#include <array>

namespace subprocess {

std::string_view describe(JSONType type) {
    static constexpr std::array<std::string_view, 6> names = {"object", "array",   "string",
                                                              "number", "boolean", "null"};
    return names[static_cast<std::size_t>(type)];
}

std::string_view describe(plist::Type type) {
    static constexpr std::array<std::string_view, 10> names = {
        "none", "boolean", "integer", "real", "string", "array", "dictionary", "data", "date", "other"};
    return names[static_cast<std::size_t>(type)];
}

JSONOutput::JSONOutput(const Bytes& bytes)
    : parser_(std::make_unique<simdjson::dom::parser>()),
      root_(parser_->parse(simdjson::padded_string(bytes)).value()) {}

JSONType JSONOutput::type() const {
    using simdjson::dom::element_type;
    switch (root_.type()) {
        case element_type::OBJECT: return JSONType::object;
        case element_type::ARRAY: return JSONType::array;
        case element_type::STRING: return JSONType::string;
        case element_type::INT64:
        case element_type::UINT64:
        case element_type::DOUBLE: return JSONType::number;
        case element_type::BOOL: return JSONType::boolean;
        case element_type::NULL_VALUE: break;
    }
    return JSONType::null;
}

JSONOutput execJSON(Shell& shell, JSONType expected, std::optional<Subprocess::Input> input,
                    Shell::OutputOptions options) {
    JSONOutput output(shell.exec(std::move(input), options));
    if (output.type() != expected)
        throw SubprocessError::unexpectedJSONObject(std::string(describe(output.type())));
    return output;
}

plist::Plist parsePropertyList(const Bytes& bytes) {
    auto list = plist::Plist::parse(bytes);
    if (!list) throw PropertyListParseError();
    return std::move(*list);
}

plist::Plist execPropertyList(Shell& shell, plist::Type expected, std::optional<Subprocess::Input> input,
                              Shell::OutputOptions options) {
    auto list = parsePropertyList(shell.exec(std::move(input), options));
    if (const auto actual = list.root().type(); actual != expected)
        throw SubprocessError::unexpectedPropertyListObject(std::string(describe(actual)));
    return list;
}

}  // namespace subprocess
