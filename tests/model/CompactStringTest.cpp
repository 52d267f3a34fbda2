// The model's compact string: texts up to 31 bytes inline, longer ones on the heap,
// with value semantics either way, and the time texts that use it decoded and
// written back unchanged by both decode paths.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "Coding.h"
#include "CoreRecords.h"

using es::CompactString;

namespace {

// Lengths on both sides of the inline capacity (31) and of std::string's own (15).
const std::size_t lengths[] = {0, 1, 15, 16, 30, 31, 32, 33, 200};

std::string textOf(std::size_t n) {
    std::string s;
    for (std::size_t i = 0; i < n; ++i) s += char('a' + i % 26);
    return s;
}

}  // namespace

TEST(CompactString, KeepsItsTextThroughCopiesMovesAndAssignments) {
    for (std::size_t n : lengths) {
        SCOPED_TRACE(n);
        const std::string text = textOf(n);
        CompactString s(text);
        EXPECT_EQ(s.size(), n);
        EXPECT_EQ(s.view(), text);
        EXPECT_EQ(std::string_view(s.c_str()), text) << "terminated";

        CompactString copy = s;
        EXPECT_EQ(copy, s);
        CompactString moved = std::move(copy);
        EXPECT_EQ(moved, text);
        EXPECT_TRUE(copy.empty());  // NOLINT: a moved-from string is empty

        // Assignments across the inline/heap border in both directions.
        for (std::size_t m : lengths) {
            CompactString t(textOf(m));
            t = s;
            EXPECT_EQ(t, text);
            t = std::string_view(textOf(m));
            EXPECT_EQ(t, textOf(m));
            t = std::move(moved);
            EXPECT_EQ(t, text);
            moved = t;
        }

        // Self-assignment and assignment from a piece of itself.
        s = s;
        EXPECT_EQ(s, text);
        s = s.view().substr(n / 2);
        EXPECT_EQ(s, text.substr(n / 2));
    }
}

TEST(CompactString, ComparesAndHashesAsItsText) {
    const CompactString a("2023-05-01T09:26:37.011212Z"), b(textOf(40));
    EXPECT_TRUE(a == "2023-05-01T09:26:37.011212Z");
    EXPECT_TRUE(std::string("2023-05-01T09:26:37.011212Z") == a);
    EXPECT_TRUE(a < b);
    EXPECT_EQ(std::hash<CompactString>{}(b), std::hash<std::string_view>{}(textOf(40)));
    EXPECT_EQ("x" + a, "x2023-05-01T09:26:37.011212Z");
}

TEST(CompactString, TimeTextsRoundTripInBothDecodePaths) {
    for (std::size_t n : lengths) {
        SCOPED_TRACE(n);
        const std::string t = textOf(n);
        const std::string json = R"({"st_blocks":1,"st_blksize":2,"st_rdev":3,"st_dev":4,"st_uid":5,"st_gid":6,"st_ino":7,)"
                                 R"("st_birthtimespec":")" + t + R"(","st_flags":8,"st_nlink":9,"st_mtimespec":")" + t +
                                 R"(","st_ctimespec":")" + t + R"(","st_size":10,"st_gen":11,"st_mode":12,"st_atimespec":")" +
                                 t + R"("})";
        for (bool fast : {true, false}) {
            auto d = fast ? es::decodeJSON<es::Stat>(json) : es::decodeParsedJSON<es::Stat>(json);
            ASSERT_TRUE(d.ok()) << d.failure().description;
            EXPECT_EQ(d.value().st_atimespec, t);
            EXPECT_EQ(es::encodeJSON(d.value()), json);
        }
    }
    // Escapes are decoded into the text, and written back escaped.
    auto d = es::decodeJSON<es::Stat>(R"({"st_blocks":1,"st_blksize":2,"st_rdev":3,"st_dev":4,"st_uid":5,"st_gid":6,)"
                                      R"("st_ino":7,"st_birthtimespec":"a\"b\u00e9","st_flags":8,"st_nlink":9,)"
                                      R"("st_mtimespec":"","st_ctimespec":"","st_size":10,"st_gen":11,"st_mode":12,)"
                                      R"("st_atimespec":""})");
    ASSERT_TRUE(d.ok()) << d.failure().description;
    EXPECT_EQ(d.value().st_birthtimespec, "a\"b\xc3\xa9");
}
