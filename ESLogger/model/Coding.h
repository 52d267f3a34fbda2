#pragma once
// The generic JSON coding of the event model. Three decoders (the fast read from the text,
// the optimistic decode of a parsed document, the strict one when those fail) and one encoder
// walk a record's field table; scalars, arrays, enumerations and code-signing flags have one
// coding each. The strict decode reports the first failure (declaration order) with its path.

#include <simdjson.h>

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "CodeSigningFlags.h"
#include "DecodeFailure.h"
#include "EnumSupport.h"
#include "Fields.h"
#include "JSONWriter.h"
#include "KeyIndex.h"

namespace es {

using JSONValue = simdjson::dom::element;
// A value read straight from the text, for the fast decode (see decodeJSON).
using FastValue = simdjson::ondemand::value;
// A string of the text read by iterateText, unescaped; valid until the next call.
bool fastString(FastValue v, std::string_view& out);

// The state of one decode. A decode first runs optimistically: members are decoded
// in the order of the text, no path is kept and a failure only returns false. Only
// when that fails does the strict decode run, which walks the fields in declaration
// order, keeps the path as views into the document and the field tables, and
// reports the first failure.
class DecodeContext {
public:
    struct Step {
        std::string_view key;
        std::size_t index = 0;
        bool isIndex = false;
    };

    explicit DecodeContext(bool optimistic = false) : optimistic_(optimistic) {}
    bool optimistic() const { return optimistic_; }

    void push(std::string_view key) {
        if (!optimistic_) path_.push_back({key, 0, false});
    }
    void push(std::size_t index) {
        if (!optimistic_) path_.push_back({{}, index, true});
    }
    void pop() {
        if (!optimistic_) path_.pop_back();
    }

    // Records the failure at the current path and returns false.
    bool fail(DecodeFailure::Kind kind, std::string_view detail, std::string description);
    // The same, for a key missing from the object at the current path.
    bool failMissingKey(std::string_view key);
    // Fails for value v, which is not of the expected kind (missingValue for null).
    bool failType(JSONValue v, std::string_view expected);

    DecodeFailure takeFailure() { return std::move(failure_); }

private:
    std::vector<Step> path_;
    DecodeFailure failure_;
    bool optimistic_;
};

// decode(JSONValue, T&, DecodeContext&) -> bool; encode(JSONWriter&, const T&); and,
// for the event model, fast(FastValue, T&) -> bool, which accepts only text that
// decode would accept with the same value, and otherwise leaves the verdict to decode.
template <class T>
struct Coding;

// Always inlined: the small codings on the decoders' hot paths.
#define ES_HOT inline __attribute__((always_inline))
// Decodes v as T at the child step `step` of the current path.
template <class T, class Step>
ES_HOT bool decodeAt(JSONValue v, Step step, T& out, DecodeContext& ctx) {
    ctx.push(step);
    bool ok = Coding<T>::decode(v, out, ctx);
    ctx.pop();
    return ok;
}

template <>
struct Coding<std::int64_t> {
    static ES_HOT bool decode(JSONValue v, std::int64_t& out, DecodeContext& ctx) {
        if (v.type() == simdjson::dom::element_type::INT64) {
            out = v.get_int64().value_unsafe();
            return true;
        }
        return ctx.failType(v, "Int");
    }
    static ES_HOT bool fast(FastValue v, std::int64_t& out) { return v.get_int64().get(out) == simdjson::SUCCESS; }
    static void encode(JSONWriter& w, std::int64_t v) { w.writeInt(v); }
};

// The model's two string types code alike: a JSON string, as its text.
template <class S>
struct TextCoding {
    static ES_HOT bool decode(JSONValue v, S& out, DecodeContext& ctx) {
        if (v.type() == simdjson::dom::element_type::STRING) {
            out = v.get_string().value_unsafe();
            return true;
        }
        return ctx.failType(v, "String");
    }
    static ES_HOT bool fast(FastValue v, S& out) {
        std::string_view text;
        if (!fastString(v, text)) return false;
        out = text;
        return true;
    }
    static void encode(JSONWriter& w, const S& v) { w.writeString(v); }
};

template <>
struct Coding<std::string> : TextCoding<std::string> {};

template <>
struct Coding<CompactString> : TextCoding<CompactString> {};

template <>
struct Coding<bool> {
    static ES_HOT bool decode(JSONValue v, bool& out, DecodeContext& ctx) {
        if (v.type() == simdjson::dom::element_type::BOOL) {
            out = v.get_bool().value_unsafe();
            return true;
        }
        return ctx.failType(v, "Bool");
    }
    static ES_HOT bool fast(FastValue v, bool& out) { return v.get_bool().get(out) == simdjson::SUCCESS; }
    static void encode(JSONWriter& w, bool v) { w.writeBool(v); }
};

template <>
struct Coding<CodeSigningFlags> {
    static bool decode(JSONValue v, CodeSigningFlags& out, DecodeContext& ctx) {
        return Coding<std::int64_t>::decode(v, out.rawValue, ctx);
    }
    static bool fast(FastValue v, CodeSigningFlags& out) { return Coding<std::int64_t>::fast(v, out.rawValue); }
    static void encode(JSONWriter& w, CodeSigningFlags v) { w.writeInt(v.rawValue); }
};

// An integer that must be the raw value of one of the enumeration's cases.
bool decodeEnumRaw(JSONValue v, const EnumCase* (*lookup)(std::int64_t), std::string_view typeName,
                   std::int64_t& out, DecodeContext& ctx);

template <ModelEnum E>
struct Coding<E> {
    static const EnumCase* lookup(std::int64_t raw) { return enumCase<E>(raw); }
    static bool decode(JSONValue v, E& out, DecodeContext& ctx) {
        std::int64_t raw = 0;
        if (!decodeEnumRaw(v, &lookup, EnumInfo<E>::typeName, raw, ctx)) return false;
        out = static_cast<E>(raw);
        return true;
    }
    static bool fast(FastValue v, E& out) {
        std::int64_t raw = 0;
        if (!Coding<std::int64_t>::fast(v, raw) || !lookup(raw)) return false;
        out = static_cast<E>(raw);
        return true;
    }
    static void encode(JSONWriter& w, E v) { w.writeInt(rawValue(v)); }
};

template <class T>
struct Coding<std::vector<T>> {
    static bool decode(JSONValue v, std::vector<T>& out, DecodeContext& ctx) {
        if (v.type() != simdjson::dom::element_type::ARRAY) return ctx.failType(v, "Array");
        auto arr = simdjson::dom::array(v);
        out.clear();
        out.reserve(arr.size());
        std::size_t i = 0;
        for (JSONValue item : arr) {
            if (!decodeAt(item, i++, out.emplace_back(), ctx)) return false;
        }
        return true;
    }
    static bool fast(FastValue v, std::vector<T>& out) {
        simdjson::ondemand::array arr;
        if (v.get_array().get(arr) != simdjson::SUCCESS) return false;
        out.clear();
        for (auto item : arr) {
            FastValue value;
            if (std::move(item).get(value) != simdjson::SUCCESS || !Coding<T>::fast(value, out.emplace_back()))
                return false;
        }
        return true;
    }
    static void encode(JSONWriter& w, const std::vector<T>& v) {
        w.beginArray();
        for (const auto& item : v) Coding<T>::encode(w, item);
        w.endArray();
    }
};

// The shared coding of the single-Int family: an object whose one required key
// holds an Int; other keys are ignored.
bool decodeSingleIntRecord(JSONValue v, std::string_view typeName, std::string_view key,
                           std::int64_t& out, DecodeContext& ctx);
void encodeSingleIntRecord(JSONWriter& w, std::string_view key, std::int64_t value);
bool fastSingleIntRecord(FastValue v, std::string_view key, std::int64_t& out);

// The length of a key as it stands in the text (raw, just after its opening quote),
// or escapedKey when it holds an escape: the model's keys hold no quote or
// backslash, so only a key without one can be one of them, and an escaped key is
// left to the full parse, which reads it unescaped. The text is padded, so whole
// words may be read past the closing quote.
inline constexpr std::size_t escapedKey = ~std::size_t(0);
// The bytes of w that are a quote or a backslash, as the high bit of each (exact up
// to the lowest, which is all that is used).
ES_HOT std::uint64_t quoteOrBackslash(std::uint64_t w) {
    constexpr std::uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
    std::uint64_t q = w ^ (ones * '"'), b = w ^ (ones * '\\');
    return (((q - ones) & ~q) | ((b - ones) & ~b)) & highs;
}
ES_HOT std::size_t rawKeyLength(const char* raw) {
    // Most keys end within two words: found without a loop.
    std::uint64_t h0 = quoteOrBackslash(load8(raw)), h1 = quoteOrBackslash(load8(raw + 8));
    std::size_t at = 0;
    if (h0 | h1) {
        at = h0 ? std::size_t(std::countr_zero(h0)) / 8 : 8 + std::size_t(std::countr_zero(h1)) / 8;
    } else {
        for (std::size_t i = 16;; i += 8) {
            if (std::uint64_t h = quoteOrBackslash(load8(raw + i))) {
                at = i + std::size_t(std::countr_zero(h)) / 8;
                break;
            }
        }
    }
    return raw[at] == '"' ? at : escapedKey;
}

// Reads a value that the model does not hold, checking it as the full parse would
// (every string, number and literal read, every container walked), so that a value
// skipped here is one the full parse accepts. False for anything else, and for
// nesting deeper than a skip follows.
bool skipValue(FastValue v, int depth = 0);

template <Record R>
struct RecordTable {
    static constexpr auto fields = R::fields();
    static constexpr std::size_t size = std::tuple_size_v<decltype(fields)>;
    static constexpr auto keys = []<std::size_t... I>(std::index_sequence<I...>) {
        return std::array<std::string_view, size>{std::get<I>(fields).key...};
    }(std::make_index_sequence<size>{});
    static constexpr KeyIndex<size> index{keys};
};

namespace detail {
template <class R, class M>
M memberType(Field<R, M>);

template <Record R>
constexpr bool isSingleInt() {
    using Table = RecordTable<R>;
    if constexpr (Table::size != 1) return false;
    else return std::is_same_v<decltype(memberType(std::get<0>(Table::fields))), std::int64_t>;
}

template <class R, class M>
bool decodeField(const Field<R, M>& f, JSONValue v, bool have, R& out, DecodeContext& ctx) {
    M& member = out.*(f.member);
    if constexpr (IsOptional<M>::value) {
        if (!have || v.is_null()) {
            member.reset();
            return true;
        }
        return decodeAt(v, f.key, member.emplace(), ctx);
    } else {
        if (!have) return ctx.failMissingKey(f.key);
        return decodeAt(v, f.key, member, ctx);
    }
}

// Optimistic decode of field I from a present value.
template <Record R, std::size_t I>
bool decodePresent(JSONValue v, R& out, DecodeContext& ctx) {
    constexpr auto f = std::get<I>(RecordTable<R>::fields);
    return decodeField(f, v, true, out, ctx);
}

// Optimistic decode of field I when its key is absent: only optionals may be.
template <Record R, std::size_t I>
bool decodeAbsent(R& out) {
    constexpr auto f = std::get<I>(RecordTable<R>::fields);
    using M = std::remove_cvref_t<decltype(out.*(f.member))>;
    if constexpr (IsOptional<M>::value) {
        (out.*(f.member)).reset();
        return true;
    } else {
        return false;
    }
}

// After the last member: every field not seen must be optional, and is reset.
template <Record R>
bool decodeAbsentFields(const std::array<bool, RecordTable<R>::size>& have, R& out) {
    return [&]<std::size_t... I>(std::index_sequence<I...>) {
        return ((have[I] || decodeAbsent<R, I>(out)) && ...);
    }(std::make_index_sequence<RecordTable<R>::size>{});
}

template <Record R>
bool decodeOptimistic(simdjson::dom::object obj, R& out, DecodeContext& ctx) {
    using Table = RecordTable<R>;
    std::array<bool, Table::size> have{};
    for (auto member : obj) {
        std::size_t i = Table::index.find(member.key);
        if (i == Table::size || have[i]) continue;  // unknown key, or a repeat: the first counts
        have[i] = true;
        // Dispatch on the field index with the field decoders inlined.
        bool ok = [&]<std::size_t... I>(std::index_sequence<I...>) {
            bool result = false;
            ((i == I ? (result = decodePresent<R, I>(member.value, out, ctx), true) : false) || ...);
            return result;
        }(std::make_index_sequence<Table::size>{});
        if (!ok) return false;
    }
    return decodeAbsentFields(have, out);
}

// Fast decode of field I from a present value.
template <Record R, std::size_t I>
bool fastPresent(FastValue v, R& out) {
    constexpr auto f = std::get<I>(RecordTable<R>::fields);
    auto& member = out.*(f.member);
    using M = std::remove_cvref_t<decltype(member)>;
    if constexpr (IsOptional<M>::value) {
        bool null = false;
        if (v.is_null().get(null) != simdjson::SUCCESS) return false;
        if (null) {
            member.reset();
            return true;
        }
        return Coding<typename M::value_type>::fast(v, member.emplace());
    } else {
        return Coding<M>::fast(v, member);
    }
}

// Fast decode of a record. Keys are matched in any order, with one lookup each
// after a guess of the next field in declaration order; unknown keys and repeats
// (the first counts) are skipped; an escaped key leaves the line to the full parse.
template <Record R>
bool decodeFast(FastValue v, R& out) {
    using Table = RecordTable<R>;
    simdjson::ondemand::object obj;
    if (v.get_object().get(obj) != simdjson::SUCCESS) return false;
    std::array<bool, Table::size> have{};
    std::size_t next = 0;  // the field after the last one read: next in declaration order
    for (auto member : obj) {
        simdjson::ondemand::field f;
        if (std::move(member).get(f) != simdjson::SUCCESS) return false;
        const char* raw = f.key().raw();
        std::size_t i = next;
        if (!Table::index.isAt(raw, i)) {
            std::size_t n = rawKeyLength(raw);
            if (n == escapedKey) return false;
            i = Table::index.findPadded(raw, n);
        }
        if (i == Table::size || have[i]) {
            if (!skipValue(f.value())) return false;
            continue;
        }
        have[i] = true;
        // Dispatched as in decodeOptimistic. Written out in place: passing the field
        // decoder to a shared helper as a lambda made decoding a quarter slower.
        bool ok = [&]<std::size_t... I>(std::index_sequence<I...>) {
            bool result = false;
            ((i == I ? (result = fastPresent<R, I>(f.value(), out), true) : false) || ...);
            return result;
        }(std::make_index_sequence<Table::size>{});
        if (!ok) return false;
        next = i + 1 == Table::size ? 0 : i + 1;
    }
    return decodeAbsentFields(have, out);
}

// A record that also reads as an array of its Int fields in a fixed order declares
// that order as arrayOrder(), a table of member pointers.
template <class R>
concept HasArrayForm = requires { R::arrayOrder(); };

template <HasArrayForm R>
bool decodeArrayForm(simdjson::dom::array arr, R& out, DecodeContext& ctx) {
    constexpr auto order = R::arrayOrder();
    if (arr.size() != order.size())
        return ctx.fail(DecodeFailure::Kind::wrongType, R::typeName(),
                        "Expected to decode " + std::string(R::typeName()) + " from an array of " +
                            std::to_string(order.size()) + " integers but found an array of " +
                            std::to_string(arr.size()) + " elements instead.");
    std::size_t i = 0;
    for (JSONValue item : arr) {
        if (!decodeAt(item, i, out.*order[i], ctx)) return false;
        ++i;
    }
    return true;
}

template <HasArrayForm R>
bool fastArrayForm(FastValue v, R& out) {
    constexpr auto order = R::arrayOrder();
    simdjson::ondemand::array arr;
    if (v.get_array().get(arr) != simdjson::SUCCESS) return false;
    std::size_t i = 0;
    for (auto item : arr) {
        FastValue value;
        if (i == order.size() || std::move(item).get(value) != simdjson::SUCCESS ||
            !Coding<std::int64_t>::fast(value, out.*order[i]))
            return false;
        ++i;
    }
    return i == order.size();
}

template <class R, class M>
void encodeField(const Field<R, M>& f, const R& in, JSONWriter& w) {
    const M& member = in.*(f.member);
    if constexpr (IsOptional<M>::value) {
        if (!member) return;
        w.key(f.key);
        Coding<typename M::value_type>::encode(w, *member);
    } else {
        w.key(f.key);
        Coding<M>::encode(w, member);
    }
}
}  // namespace detail

template <Record R>
struct Coding<R> {
    using Table = RecordTable<R>;

    static bool decode(JSONValue v, R& out, DecodeContext& ctx) {
        if constexpr (detail::isSingleInt<R>()) {
            constexpr auto f = std::get<0>(Table::fields);
            return decodeSingleIntRecord(v, R::typeName(), f.key, out.*(f.member), ctx);
        } else {
            if constexpr (detail::HasArrayForm<R>) {
                if (v.type() == simdjson::dom::element_type::ARRAY)
                    return detail::decodeArrayForm(simdjson::dom::array(v), out, ctx);
            }
            if (v.type() != simdjson::dom::element_type::OBJECT) return ctx.failType(v, R::typeName());
            if (ctx.optimistic()) return detail::decodeOptimistic(simdjson::dom::object(v), out, ctx);
            // The first member that carries each key counts.
            std::array<JSONValue, Table::size> found{};
            std::array<bool, Table::size> have{};
            for (auto member : simdjson::dom::object(v)) {
                std::size_t i = Table::index.find(member.key);
                if (i == Table::size || have[i]) continue;
                have[i] = true;
                found[i] = member.value;
            }
            return [&]<std::size_t... I>(std::index_sequence<I...>) {
                return (detail::decodeField(std::get<I>(Table::fields), found[I], have[I], out, ctx) && ...);
            }(std::make_index_sequence<Table::size>{});
        }
    }

    static bool fast(FastValue v, R& out) {
        if constexpr (detail::isSingleInt<R>()) {
            constexpr auto f = std::get<0>(Table::fields);
            return fastSingleIntRecord(v, f.key, out.*(f.member));
        } else {
            if constexpr (detail::HasArrayForm<R>) {
                simdjson::ondemand::json_type type;
                if (v.type().get(type) != simdjson::SUCCESS) return false;
                if (type == simdjson::ondemand::json_type::array) return detail::fastArrayForm(v, out);
            }
            return detail::decodeFast(v, out);
        }
    }

    static void encode(JSONWriter& w, const R& in) {
        if constexpr (detail::isSingleInt<R>()) {
            constexpr auto f = std::get<0>(Table::fields);
            encodeSingleIntRecord(w, f.key, in.*(f.member));
        } else {
            w.beginObject();
            std::apply([&](const auto&... f) { (detail::encodeField(f, in, w), ...); }, Table::fields);
            w.endObject();
        }
    }
};

// Parses text with this thread's parser; root stays valid until the next parse on
// this thread. Text that is not well-formed JSON is a corruptedData failure.
bool parseText(std::string_view text, JSONValue& root, DecodeFailure& failure);

// Starts reading text with this thread's on-demand parser; false when the text
// cannot even be indexed (the full parse then tells why).
bool iterateText(std::string_view text, FastValue& root);
// Whether the text read by iterateText has nothing left after its root value.
bool iteratedToEnd();

template <class T>
concept FastDecodable = requires(FastValue v, T& out) { Coding<T>::fast(v, out); };

// Decodes one JSON text as T from a full parse: optimistically first, and
// strictly, with the path of the first failure, when that fails.
template <class T>
Decoded<T> decodeParsedJSON(std::string_view text) {
    JSONValue root;
    DecodeFailure failure;
    if (!parseText(text, root, failure)) return failure;
    Decoded<T> result(std::in_place);
    DecodeContext optimistic(true);
    if (Coding<T>::decode(root, result.value(), optimistic)) return result;
    result.value() = T{};
    DecodeContext strict;
    if (!Coding<T>::decode(root, result.value(), strict)) return strict.takeFailure();
    return result;
}

// Decodes one JSON text as T. Text is first read once, straight from its text,
// with members the model does not hold checked and skipped; anything else (escaped
// keys, wrong types, numbers the fast read does not take, malformed text) goes to
// the full parse, which gives the same value or the failure.
template <class T>
Decoded<T> decodeJSON(std::string_view text) {
    Decoded<T> result(std::in_place);
    if constexpr (FastDecodable<T>) {
        FastValue root;
        if (iterateText(text, root) && Coding<T>::fast(root, result.value()) && iteratedToEnd()) return result;
    }
    result = decodeParsedJSON<T>(text);
    return result;
}

// Encodes a value as JSON text, compact or pretty.
template <class T>
std::string encodeJSON(const T& value, bool pretty = false) {
    JSONWriter w(pretty);
    Coding<T>::encode(w, value);
    return w.take();
}

}  // namespace es
