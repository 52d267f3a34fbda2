#include "Coding.h"

#include <cctype>
#include <charconv>
#include <cstring>

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
    JSONValue found;
    bool have = false;
    collectFields(simdjson::dom::object(v), &key, 1, &found, &have);
    if (!have) return ctx.failMissingKey(key);
    return decodeAt(found, key, out, ctx);
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
        if (std::move(member).get(f) != simdjson::SUCCESS || have || !rawKeyIs(f.key().raw(), key)) return false;
        if (!Coding<std::int64_t>::fast(f.value(), out)) return false;
        have = true;
    }
    return have;
}

namespace {
// The first of the n keys after `next` (wrapping round, `next` itself already
// tried) that `same` accepts; n when none does.
template <class Same>
std::size_t searchKeys(const std::string_view* keys, std::size_t n, std::size_t next, Same same) {
    for (std::size_t tried = 1; tried < n; ++tried) {
        std::size_t i = next + tried;
        if (i >= n) i -= n;
        if (same(keys[i])) return i;
    }
    return n;
}
}  // namespace

std::size_t matchRawKeySlow(const char* raw, const std::string_view* keys, std::size_t n, std::size_t next) {
    return searchKeys(keys, n, next, [raw](std::string_view k) { return rawKeyIs(raw, k); });
}

std::size_t matchKeySlow(std::string_view key, const std::string_view* keys, std::size_t n, std::size_t next) {
    return searchKeys(keys, n, next, [key](std::string_view k) { return sameKey(k, key); });
}

void collectFields(simdjson::dom::object obj, const std::string_view* keys, std::size_t n, JSONValue* found,
                   bool* have) {
    // The first occurrence of a key counts.
    std::size_t next = 0;
    for (auto member : obj) {
        std::size_t i = matchKey(member.key, keys, n, next);
        if (i == n) continue;
        if (!have[i]) {
            have[i] = true;
            found[i] = member.value;
        }
        next = i + 1 == n ? 0 : i + 1;
    }
}

namespace {

// The parser rejects a whole text for one integer beyond 64 bits. Such a value is a
// wrong type for every Int of the model, so it is replaced by a number with a
// fraction, which fails as wrongType at its own path (or is ignored under an
// unknown key). Returns false when the text holds no such integer.
bool replaceOversizedIntegers(std::string& text) {
    std::string out;
    bool inString = false, changed = false;
    std::size_t i = 0;
    while (i < text.size()) {
        char c = text[i];
        if (inString) {
            if (c == '\\') { out += c; if (++i < text.size()) out += text[i]; ++i; continue; }
            if (c == '"') inString = false;
            out += c; ++i; continue;
        }
        if (c == '"') { inString = true; out += c; ++i; continue; }
        if (c == '-' || (c >= '0' && c <= '9')) {
            std::size_t j = i + (c == '-');
            while (j < text.size() && text[j] >= '0' && text[j] <= '9') ++j;
            bool integer = j == text.size() || (text[j] != '.' && text[j] != 'e' && text[j] != 'E');
            std::int64_t v;
            auto r = std::from_chars(text.data() + i, text.data() + j, v);
            if (integer && r.ec == std::errc::result_out_of_range) {
                out += "0.5";
                changed = true;
            } else {
                out.append(text, i, j - i);
            }
            i = j;
            continue;
        }
        out += c; ++i;
    }
    if (changed) text = std::move(out);
    return changed;
}

// This thread's copy of the text being decoded. The parsers read a little past
// the end, so the copy is padded.
std::string& paddedCopy(std::string_view text) {
    thread_local std::string buffer;
    buffer.reserve(text.size() + simdjson::SIMDJSON_PADDING);
    buffer.assign(text);
    return buffer;
}

thread_local simdjson::ondemand::parser fastParser;
thread_local simdjson::ondemand::document fastDocument;

}  // namespace

bool iterateText(std::string_view text, FastValue& root) {
    std::string& buffer = paddedCopy(text);
    return fastParser.iterate(buffer.data(), buffer.size(), buffer.capacity()).get(fastDocument) == simdjson::SUCCESS &&
           fastDocument.get_value().get(root) == simdjson::SUCCESS;
}

bool iteratedToEnd() { return fastDocument.current_location().error() == simdjson::OUT_OF_BOUNDS; }

bool parseText(std::string_view text, JSONValue& root, DecodeFailure& failure) {
    thread_local simdjson::dom::parser parser;
    std::string& buffer = paddedCopy(text);
    auto result = parser.parse(buffer.data(), buffer.size(), false);
    if (result.error() == simdjson::NUMBER_ERROR &&
        replaceOversizedIntegers(buffer)) {
        buffer.reserve(buffer.size() + simdjson::SIMDJSON_PADDING);
        result = parser.parse(buffer.data(), buffer.size(), false);
    }
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
