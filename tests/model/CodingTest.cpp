// Coding rules shared by every record: scalars, optional keys, failure kinds and
// paths, the single-Int family, and the JSON writer.
#include <gtest/gtest.h>

#include "Coding.h"
#include "CoreRecords.h"

using namespace es;
using Kind = DecodeFailure::Kind;

namespace {

struct Inner {
    std::int64_t a{};
    std::optional<std::string> b;
    ES_FIELDS(Inner, ES_FIELD(a), ES_FIELD(b))
};

struct Outer {
    std::string name;
    Inner inner;
    std::optional<std::int64_t> count;
    std::optional<std::vector<Inner>> items;
    bool flag{};
    ES_FIELDS(Outer, ES_FIELD(name), ES_FIELD(inner), ES_FIELD(count), ES_FIELD(items), ES_FIELD(flag))
};

struct FailureCase {
    const char* json;
    Kind kind;
    const char* path;
};

}  // namespace

TEST(Coding, DecodesInAnyKeyOrderAndWritesDeclarationOrder) {
    auto d = decodeJSON<Outer>(R"({"flag":true,"extra":{"x":1},"inner":{"b":"t","a":3,"zz":null},"name":"n"})");
    ASSERT_TRUE(d.ok()) << d.failure().description;
    EXPECT_EQ(encodeJSON(d.value()), R"({"name":"n","inner":{"a":3,"b":"t"},"flag":true})");
}

TEST(Coding, OptionalKeys) {
    struct Case {
        const char* json;
        const char* encoded;
    } cases[] = {
        // null and absent both decode as absent and are left out on output
        {R"({"name":"","inner":{"a":1,"b":null},"count":null,"flag":false})",
         R"({"name":"","inner":{"a":1},"flag":false})"},
        // an empty array is present and written as []
        {R"({"name":"x","inner":{"a":1},"items":[],"flag":false})",
         R"({"name":"x","inner":{"a":1},"items":[],"flag":false})"},
        {R"({"name":"x","inner":{"a":-9223372036854775808},"count":9223372036854775807,"items":[{"a":2}],"flag":true})",
         R"({"name":"x","inner":{"a":-9223372036854775808},"count":9223372036854775807,"items":[{"a":2}],"flag":true})"},
    };
    for (const auto& c : cases) {
        auto d = decodeJSON<Outer>(c.json);
        ASSERT_TRUE(d.ok()) << c.json << ": " << d.failure().description;
        EXPECT_EQ(encodeJSON(d.value()), c.encoded);
        auto again = decodeJSON<Outer>(c.encoded);
        ASSERT_TRUE(again.ok());
        EXPECT_EQ(encodeJSON(again.value()), c.encoded);
    }
}

TEST(Coding, Failures) {
    const FailureCase cases[] = {
        {R"(null)", Kind::missingValue, "-"},
        {R"([1])", Kind::wrongType, "-"},
        {R"({"inner":{"a":1},"flag":true})", Kind::missingKey, "name"},
        {R"({"name":null,"inner":{"a":1},"flag":true})", Kind::missingValue, "name"},
        {R"({"name":5,"inner":{"a":1},"flag":true})", Kind::wrongType, "name"},
        {R"({"name":"n","inner":{"a":1},"flag":1})", Kind::wrongType, "flag"},
        {R"({"name":"n","inner":{"a":"1"},"flag":true})", Kind::wrongType, "inner.a"},
        // the nested fault comes before the later missing key
        {R"({"name":"n","inner":{}})", Kind::missingKey, "inner.a"},
        // first missing key in declaration order
        {R"({"flag":true})", Kind::missingKey, "name"},
        // a wrong type under an optional key is a failure, not an absent field
        {R"({"name":"n","inner":{"a":1},"count":"3","flag":true})", Kind::wrongType, "count"},
        {R"({"name":"n","inner":{"a":1,"b":7},"flag":true})", Kind::wrongType, "inner.b"},
        {R"({"name":"n","inner":{"a":1},"items":[{"a":1},null],"flag":true})", Kind::missingValue, "items.1"},
        {R"({"name":"n","inner":{"a":1},"items":[{"a":1},{"b":"x"}],"flag":true})", Kind::missingKey, "items.1.a"},
        {R"({"name":"n","inner":{"a":1},"items":{},"flag":true})", Kind::wrongType, "items"},
        // numbers that are no 64-bit Int
        {R"({"name":"n","inner":{"a":34.0},"flag":true})", Kind::wrongType, "inner.a"},
        {R"({"name":"n","inner":{"a":1e3},"flag":true})", Kind::wrongType, "inner.a"},
        {R"({"name":"n","inner":{"a":9223372036854775808},"flag":true})", Kind::wrongType, "inner.a"},
        {R"({"name":"n","inner":{"a":-9223372036854775809},"flag":true})", Kind::wrongType, "inner.a"},
        // text that is not JSON, cut off, or not UTF-8
        {R"({"name":"n","inner":{"a":1},"fl)", Kind::corruptedData, "-"},
        {"", Kind::corruptedData, "-"},
        {"{\"name\":\"\xff\",\"inner\":{\"a\":1},\"flag\":true}", Kind::corruptedData, "-"},
    };
    for (const auto& c : cases) {
        auto d = decodeJSON<Outer>(c.json);
        ASSERT_FALSE(d.ok()) << c.json;
        EXPECT_EQ(d.failure().kind, c.kind) << c.json << ": " << d.failure().description;
        EXPECT_EQ(d.failure().pathText(), c.path) << c.json;
    }
}

TEST(Coding, FirstOccurrenceOfARepeatedKeyCounts) {
    auto d = decodeJSON<Inner>(R"({"a":1,"a":"two"})");
    ASSERT_TRUE(d.ok());
    EXPECT_EQ(d.value().a, 1);
}

TEST(Coding, MissingKeyNamesTheKey) {
    auto d = decodeJSON<Outer>(R"({"name":"n","flag":true})");
    ASSERT_FALSE(d.ok());
    EXPECT_EQ(d.failure().detail, "inner");
}

TEST(Coding, SingleIntFamily) {
    struct Case {
        const char* json;
        bool ok;
        Kind kind;
    } cases[] = {
        {R"({"thread_id":20})", true, {}},
        {R"({"thread_id":20,"other":"x"})", true, {}},
        {R"({})", false, Kind::missingKey},
        {R"({"thread_id":null})", false, Kind::missingValue},
        {R"({"thread_id":"20"})", false, Kind::wrongType},
        {R"(20)", false, Kind::wrongType},
    };
    for (const auto& c : cases) {
        auto d = decodeJSON<ESThread>(c.json);
        ASSERT_EQ(d.ok(), c.ok) << c.json;
        if (c.ok) {
            EXPECT_EQ(d.value().thread_id, 20);
            EXPECT_EQ(encodeJSON(d.value()), R"({"thread_id":20})");
        } else {
            EXPECT_EQ(d.failure().kind, c.kind) << c.json;
        }
    }
}

TEST(JSONWriter, EscapesQuotesBackslashesAndControlCharacters) {
    std::string out;
    JSONWriter::appendQuoted(out, std::string("a\"b\\c\n\r\t\b\f\x01\x1f\x7f", 13) + "é😀");
    EXPECT_EQ(out, "\"a\\\"b\\\\c\\n\\r\\t\\b\\f\\u0001\\u001f\x7f" "é😀\"");
    // and reads back to the same text
    struct S {
        std::string s;
        ES_FIELDS(S, ES_FIELD(s))
    };
    S s{std::string("q\"\\\x02\n", 5)};
    auto d = decodeJSON<S>(encodeJSON(s));
    ASSERT_TRUE(d.ok());
    EXPECT_EQ(d.value().s, s.s);
}

TEST(JSONWriter, PrettyForm) {
    auto d = decodeJSON<Outer>(R"({"name":"n","inner":{"a":1},"items":[],"flag":true})");
    ASSERT_TRUE(d.ok());
    EXPECT_EQ(encodeJSON(d.value(), true),
              "{\n  \"name\": \"n\",\n  \"inner\": {\n    \"a\": 1\n  },\n  \"items\": [],\n  \"flag\": true\n}");
}

// Numbers: a well-formed number the parser cannot hold (beyond 64 bits, beyond a
// double) fails only where the model reads it, and a malformed one (leading zero,
// no digits after a point or exponent) never becomes valid. The fast read and the
// full parse agree on each.
TEST(Coding, NumberCases) {
    const std::string head = R"({"name":"n","inner":{"a":1},"flag":true)";
    struct Case {
        std::string json;
        bool ok;
        Kind kind;
        const char* path;
    } cases[] = {
        {head + R"(,"zz":1e400})", true, {}, ""},
        {head + R"(,"zz":-1e400})", true, {}, ""},
        {head + R"(,"zz":1e-400})", true, {}, ""},
        {head + R"(,"zz":[1E+999,{"y":-0.5e-999}]})", true, {}, ""},
        {head + R"(,"zz":123456789012345678901234567890})", true, {}, ""},
        {head + R"(,"zz":-123456789012345678901234567890})", true, {}, ""},
        {head + R"(,"zz":18446744073709551615})", true, {}, ""},
        {head + R"(,"zz":"1e400 01"})", true, {}, ""},
        {R"({"zz":1e400,"inner":{"a":1},"flag":true})", false, Kind::missingKey, "name"},
        {R"({"name":"n","inner":{"a":1e400},"flag":true})", false, Kind::wrongType, "inner.a"},
        {R"({"name":"n","inner":{"a":-99999999999999999999999},"flag":true})", false, Kind::wrongType, "inner.a"},
        {R"({"name":"n","inner":{"a":18446744073709551616},"flag":true,"zz":1e400})", false, Kind::wrongType, "inner.a"},
        {R"({"name":1e400,"inner":{"a":1},"flag":true})", false, Kind::wrongType, "name"},
        {head + R"(,"zz":09223372036854775808})", false, Kind::corruptedData, "-"},
        {head + R"(,"zz":01004})", false, Kind::corruptedData, "-"},
        {head + R"(,"zz":-01})", false, Kind::corruptedData, "-"},
        {head + R"(,"zz":1.})", false, Kind::corruptedData, "-"},
        {head + R"(,"zz":.5})", false, Kind::corruptedData, "-"},
        {head + R"(,"zz":1e})", false, Kind::corruptedData, "-"},
        {head + R"(,"zz":+1})", false, Kind::corruptedData, "-"},
        {head + R"(,"zz":--1})", false, Kind::corruptedData, "-"},
        {head + R"(,"zz":1e400x})", false, Kind::corruptedData, "-"},
        {head + R"(,"zz":1e400,"yy":01})", false, Kind::corruptedData, "-"},
        {head + R"(,"zz":99999999999999999999999 1})", false, Kind::corruptedData, "-"},
    };
    for (const auto& c : cases) {
        auto d = decodeJSON<Outer>(c.json);
        auto full = decodeParsedJSON<Outer>(c.json);
        ASSERT_EQ(d.ok(), c.ok) << c.json << ": " << (d.ok() ? "" : d.failure().description);
        ASSERT_EQ(full.ok(), c.ok) << c.json;
        if (c.ok) {
            EXPECT_EQ(encodeJSON(d.value()), R"({"name":"n","inner":{"a":1},"flag":true})") << c.json;
        } else {
            EXPECT_EQ(d.failure().kind, c.kind) << c.json << ": " << d.failure().description;
            EXPECT_EQ(d.failure().pathText(), c.path) << c.json;
            EXPECT_EQ(full.failure().pathText(), c.path) << c.json;
        }
    }
}
