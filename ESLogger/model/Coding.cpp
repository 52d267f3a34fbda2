#include "Coding.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>
#include <new>

#include "PerThread.h"

namespace es {

namespace {

std::string_view kindOfValue(JSONValue v) {
    using T = simdjson::dom::element_type;
    switch (v.type()) {
        case T::ARRAY: return "an array";
        case T::OBJECT: return "an object";
        case T::INT64: return "a number";
        case T::UINT64: return "a number outside the 64-bit signed range";
        case T::DOUBLE: return "a number with a fraction or an exponent";
        case T::STRING: return "a string";
        case T::BOOL: return "a Bool";
        case T::NULL_VALUE: return "null";
    }
    return "a value";
}

}  // namespace

std::string_view kindName(DecodeFailure::Kind kind) {
    switch (kind) {
        case DecodeFailure::Kind::missingKey: return "missingKey";
        case DecodeFailure::Kind::wrongType: return "wrongType";
        case DecodeFailure::Kind::missingValue: return "missingValue";
        case DecodeFailure::Kind::corruptedData: return "corruptedData";
    }
    return "corruptedData";
}

std::string DecodeFailure::pathText() const {
    if (path.empty()) return "-";
    std::string text;
    for (const auto& step : path) {
        if (!text.empty()) text += '.';
        if (auto* k = std::get_if<std::string>(&step)) text += *k;
        else text += std::to_string(std::get<std::size_t>(step));
    }
    return text;
}

bool DecodeContext::fail(DecodeFailure::Kind kind, std::string_view detail, std::string description) {
    if (optimistic_) return false;
    failure_.kind = kind;
    failure_.path.clear();
    failure_.path.reserve(path_.size());
    for (const auto& s : path_) {
        if (s.isIndex) failure_.path.emplace_back(s.index);
        else failure_.path.emplace_back(std::string(s.key));
    }
    failure_.detail = std::string(detail);
    failure_.description = std::move(description);
    return false;
}

bool DecodeContext::failMissingKey(std::string_view key) {
    if (optimistic_) return false;
    push(key);
    fail(DecodeFailure::Kind::missingKey, key, "No value associated with key \"" + std::string(key) + "\".");
    pop();
    return false;
}

bool DecodeContext::failType(JSONValue v, std::string_view expected) {
    if (optimistic_) return false;
    if (v.is_null())
        return fail(DecodeFailure::Kind::missingValue, expected,
                    "Expected " + std::string(expected) + " value but found null instead.");
    return fail(DecodeFailure::Kind::wrongType, expected,
                "Expected to decode " + std::string(expected) + " but found " + std::string(kindOfValue(v)) +
                    " instead.");
}

bool decodeEnumRaw(JSONValue v, const EnumCase* (*lookup)(std::int64_t), std::string_view typeName,
                   std::int64_t& out, DecodeContext& ctx) {
    if (!Coding<std::int64_t>::decode(v, out, ctx)) return false;
    if (lookup(out)) return true;
    return ctx.fail(DecodeFailure::Kind::corruptedData, typeName,
                    "Cannot initialize " + std::string(typeName) + " from invalid Int value " +
                        std::to_string(out));
}

bool decodeSingleIntRecord(JSONValue v, std::string_view typeName, std::string_view key, std::int64_t& out,
                           DecodeContext& ctx) {
    if (v.type() != simdjson::dom::element_type::OBJECT) return ctx.failType(v, typeName);
    for (auto member : simdjson::dom::object(v)) {
        if (member.key == key) return decodeAt(member.value, key, out, ctx);  // the first counts
    }
    return ctx.failMissingKey(key);
}

void encodeSingleIntRecord(JSONWriter& w, std::string_view key, std::int64_t value) {
    w.beginObject();
    w.key(key);
    w.writeInt(value);
    w.endObject();
}

bool fastSingleIntRecord(FastValue v, std::string_view key, std::int64_t& out) {
    simdjson::ondemand::object obj;
    if (v.get_object().get(obj) != simdjson::SUCCESS) return false;
    bool have = false;
    for (auto member : obj) {
        simdjson::ondemand::field f;
        if (std::move(member).get(f) != simdjson::SUCCESS) return false;
        const char* raw = f.key().raw();
        std::size_t n = rawKeyLength(raw);
        if (n == escapedKey) return false;
        if (!have && std::string_view(raw, n) == key) {
            if (!Coding<std::int64_t>::fast(f.value(), out)) return false;
            have = true;
        } else if (!skipValue(f.value())) {
            return false;
        }
    }
    return have;
}

namespace {

// What a thread decodes with: the copy of the text being decoded (the parsers read a
// little past the end, so the copy is padded), the parsers, which keep their memory
// from line to line, and the room the fast read unescapes a string into. That room is
// ours rather than the on-demand parser's, as the parser does not tell when it could
// not get its own.
struct Decoding {
    std::string buffer;
    std::string strings;
    simdjson::ondemand::parser fastParser;
    simdjson::ondemand::document fastDocument;
    simdjson::dom::parser parser;

    std::string& paddedCopy(std::string_view text) {
        buffer.reserve(text.size() + simdjson::SIMDJSON_PADDING);
        buffer.assign(text);
        return buffer;
    }

    // A parser that could not get its buffers is left unfit for the next line (the
    // tree parser forgets its depth limit and would then write past its stacks): both
    // are made again, and memory running out is told as it is everywhere else.
    void checkMemory(simdjson::error_code error) {
        if (error != simdjson::MEMALLOC) [[likely]]
            return;
        fastDocument = {};
        fastParser = simdjson::ondemand::parser();
        parser = simdjson::dom::parser();
        throw std::bad_alloc();
    }
};

Decoding& decoding() { return qm::perThread<Decoding>(); }

// A string or key of the text read by iterateText, unescaped into this thread's room.
bool unescapeFast(simdjson::ondemand::raw_json_string raw, std::string_view& out) {
    Decoding& d = decoding();
    auto* room = reinterpret_cast<std::uint8_t*>(d.strings.data());
    return d.fastParser.unescape(raw, room).get(out) == simdjson::SUCCESS;
}

}  // namespace

bool skipValue(FastValue v, int depth) {
    // Deeper values are rare; the full parse reads them without recursion.
    constexpr int maxDepth = 32;
    using Type = simdjson::ondemand::json_type;
    Type type;
    if (v.type().get(type) != simdjson::SUCCESS) return false;
    switch (type) {
        case Type::object: {
            simdjson::ondemand::object obj;
            if (depth == maxDepth || v.get_object().get(obj) != simdjson::SUCCESS) return false;
            for (auto member : obj) {
                simdjson::ondemand::field f;
                std::string_view key;
                if (std::move(member).get(f) != simdjson::SUCCESS || !unescapeFast(f.key(), key) ||
                    !skipValue(f.value(), depth + 1))
                    return false;
            }
            return true;
        }
        case Type::array: {
            simdjson::ondemand::array arr;
            if (depth == maxDepth || v.get_array().get(arr) != simdjson::SUCCESS) return false;
            for (auto item : arr) {
                FastValue value;
                if (std::move(item).get(value) != simdjson::SUCCESS || !skipValue(value, depth + 1)) return false;
            }
            return true;
        }
        case Type::number: {
            simdjson::ondemand::number number;
            return v.get_number().get(number) == simdjson::SUCCESS;
        }
        case Type::string: {
            std::string_view text;
            return fastString(v, text);
        }
        case Type::boolean: {
            bool b;
            return v.get_bool().get(b) == simdjson::SUCCESS;
        }
        case Type::null: {
            bool null = false;
            return v.is_null().get(null) == simdjson::SUCCESS && null;
        }
    }
    return false;
}

namespace {

// The length of the JSON number at the start of text, 0 when it does not start
// with one; `integer` tells whether it has neither fraction nor exponent.
std::size_t numberLength(std::string_view text, bool& integer) {
    auto digit = [&](std::size_t i) { return i < text.size() && text[i] >= '0' && text[i] <= '9'; };
    std::size_t i = text.starts_with('-') ? 1 : 0;
    if (!digit(i)) return 0;
    if (text[i] == '0') ++i;
    else while (digit(i)) ++i;
    integer = true;
    if (i < text.size() && text[i] == '.') {
        if (!digit(++i)) return 0;
        while (digit(i)) ++i;
        integer = false;
    }
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
        if (!digit(i)) return 0;
        while (digit(i)) ++i;
        integer = false;
    }
    return i;
}

// The parser rejects a whole text for one well-formed number it cannot hold: an
// integer beyond 64 bits, or a value beyond the range of a double (1e400). No
// field of the model holds such a number, so each well-formed number that is not
// a 64-bit integer is replaced by one the parser holds and every field refuses as
// the original: an integer outside the signed range stays an integer outside it,
// any other number becomes 0.5. A value under a key the model does not read is
// ignored either way. Only whole number tokens between delimiters are replaced,
// so malformed text (01004, 1e, 1.e5x) stays malformed. Returns whether anything
// was replaced.
bool replaceUnheldNumbers(std::string& text) {
    auto delimiter = [](char c) {
        return c == ',' || c == ':' || c == '[' || c == ']' || c == '{' || c == '}' || c == ' ' || c == '\t' ||
               c == '\n' || c == '\r';
    };
    auto numeric = [](char c) { return (c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E'; };
    std::string out;
    bool inString = false, changed = false;
    std::size_t i = 0;
    while (i < text.size()) {
        char c = text[i];
        if (inString) {
            if (c == '\\' && i + 1 < text.size()) out += text[i++];
            else if (c == '"') inString = false;
            out += text[i++];
            continue;
        }
        if (c == '"') inString = true;
        if (!numeric(c)) {
            out += text[i++];
            continue;
        }
        std::size_t j = i;
        while (j < text.size() && numeric(text[j])) ++j;
        std::string_view token(text.data() + i, j - i);
        bool whole = (i == 0 || delimiter(text[i - 1])) && (j == text.size() || delimiter(text[j]));
        bool integer = false;
        const char* replacement = nullptr;
        if (whole && numberLength(token, integer) == token.size()) {
            if (!integer) {
                replacement = "0.5";
            } else {
                std::int64_t s;
                std::uint64_t u;
                auto end = token.data() + token.size();
                if (std::from_chars(token.data(), end, s).ec != std::errc() &&
                    (token[0] == '-' || std::from_chars(token.data(), end, u).ec != std::errc()))
                    replacement = "18446744073709551615";
            }
        }
        if (replacement) {
            out += replacement;
            changed = true;
        } else {
            out += token;
        }
        i = j;
    }
    if (changed) text = std::move(out);
    return changed;
}

}  // namespace

bool iterateText(std::string_view text, FastValue& root) {
    Decoding& d = decoding();
    std::string& buffer = d.paddedCopy(text);
    // A string unescapes to no more than it takes in the text; the unescaping writes
    // whole blocks, up to a padding's length past the end.
    if (const std::size_t room = text.size() + 2 * simdjson::SIMDJSON_PADDING; d.strings.size() < room)
        d.strings.resize(std::max(room, 2 * d.strings.size()));
    const simdjson::error_code error = d.fastParser.iterate(buffer.data(), buffer.size(), buffer.capacity()).get(d.fastDocument);
    d.checkMemory(error);
    return error == simdjson::SUCCESS && d.fastDocument.get_value().get(root) == simdjson::SUCCESS;
}

bool fastString(FastValue v, std::string_view& out) {
    simdjson::ondemand::raw_json_string raw;
    return v.get_raw_json_string().get(raw) == simdjson::SUCCESS && unescapeFast(raw, out);
}

bool iteratedToEnd() { return decoding().fastDocument.current_location().error() == simdjson::OUT_OF_BOUNDS; }

bool parseText(std::string_view text, JSONValue& root, DecodeFailure& failure) {
    Decoding& d = decoding();
    simdjson::dom::parser& parser = d.parser;
    std::string& buffer = d.paddedCopy(text);
    auto result = parser.parse(buffer.data(), buffer.size(), false);
    if (result.error() == simdjson::NUMBER_ERROR && replaceUnheldNumbers(buffer)) {
        buffer.reserve(buffer.size() + simdjson::SIMDJSON_PADDING);
        result = parser.parse(buffer.data(), buffer.size(), false);
    }
    d.checkMemory(result.error());
    if (result.error()) {
        failure.kind = DecodeFailure::Kind::corruptedData;
        failure.path.clear();
        failure.detail = "JSON";
        failure.description = std::string("The given data was not valid JSON: ") +
                              simdjson::error_message(result.error());
        return false;
    }
    root = result.value_unsafe();
    return true;
}

std::string shortNameOf(std::string_view caseName) {
    std::string lower(caseName);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::size_t pos = 0;
    for (int parts = 0; parts < 4; ++parts) {
        std::size_t u = lower.find('_', pos);
        if (u == std::string::npos) return {};
        pos = u + 1;
    }
    return lower.substr(pos);
}

}  // namespace es
