#include "DateTime.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <stdexcept>

using qm::DateFormatter;
using qm::Instant;
using qm::TimeZone;

TEST(InternetDateTime, ParsesToWholeSecondsTruncatedTowardZero) {
    struct Case {
        const char* text;
        std::int64_t seconds;
    };
    const Case cases[] = {
        {"1970-01-01T00:00:00.000Z", 0},
        {"2023-03-08T20:56:31.386817290Z", 1678308991},
        {"2023-03-08T20:56:31.999Z", 1678308991},
        {"2023-03-08T20:56:31Z", 1678308991},            // no fraction
        {"2023-03-08T21:56:31.5+01:00", 1678308991},     // offsets move the instant
        {"2023-03-08T15:26:31.5-0530", 1678308991},
        {"2024-02-29T12:00:00.0Z", 1709208000},          // leap day
        {"1969-12-31T23:59:59.500Z", 0},                 // -0.5 s truncates to 0
        {"1969-12-31T23:59:58.250Z", -1},                // -1.75 s truncates to -1
        {"1969-12-31T23:59:59.000Z", -1},
        {"2016-12-31T23:59:60.5Z", 1483228800},          // leap second
        {"2023-03-08T20:56:31.1234567890123Z", 1678308991},  // more digits than nanoseconds
    };
    for (const auto& c : cases) EXPECT_EQ(qm::internetDateTimeSeconds(c.text), c.seconds) << c.text;
}

TEST(InternetDateTime, KeepsNanoseconds) {
    EXPECT_EQ(qm::parseInternetDateTime("2023-03-08T20:56:31.386817290Z"), (Instant{1678308991, 386817290}));
    EXPECT_EQ(qm::parseInternetDateTime("1969-12-31T23:59:59.25Z"), (Instant{-1, 250000000}));
}

TEST(InternetDateTime, TextThatIsNoDateGivesZero) {
    const char* bad[] = {
        "",
        "garbage",
        "2023-03-08",
        "2023-03-08 20:56:31.386Z",   // blank instead of T
        "2023-03-08T20:56:31.386",    // no zone
        "2023-03-08T20:56:31.Z",      // dot without digits
        "2023-13-08T20:56:31.386Z",   // month 13
        "2023-02-29T20:56:31.386Z",   // not a leap year
        "2023-03-08T24:00:00.000Z",
        "2023-03-08T20:60:00.000Z",
        "2023-03-08T20:56:31.386+1:00",
        "2023-03-08T20:56:31.386+01:00x",
        "2023-03-08T20:56:31.386Zx",
        "23-03-08T20:56:31.386Z",
        "2023-3-08T20:56:31.386Z",
    };
    for (const char* text : bad) {
        EXPECT_FALSE(qm::parseInternetDateTime(text)) << text;
        EXPECT_EQ(qm::internetDateTimeSeconds(text), 0) << text;
    }
}

TEST(DateFormatter, FlowTimePattern) {
    const char* pattern = "yyyy-MM-dd'T'HH:mm:ss.SSSZ";
    struct Case {
        Instant instant;
        int offset;
        const char* text;
    };
    const Case cases[] = {
        {{0, 0}, 0, "1970-01-01T00:00:00.000+0000"},
        {{1678308991, 386817290}, 0, "2023-03-08T20:56:31.386+0000"},
        {{1678308991, 999999999}, 3600, "2023-03-08T21:56:31.999+0100"},  // fraction truncated, not rounded
        {{1678308991, 0}, -19800, "2023-03-08T15:26:31.000-0530"},
        {{-1, 500000000}, 0, "1969-12-31T23:59:59.500+0000"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DateFormatter(pattern, TimeZone::fixedOffset(c.offset)).format(c.instant), c.text);
}

TEST(DateFormatter, OtherFieldsAndLiterals) {
    Instant t{1678308991, 386817290};
    auto utc = TimeZone::utc();
    EXPECT_EQ(DateFormatter("yy/M/d H:m:s S SSSSSSSSS", utc).format(t), "23/3/8 20:56:31 3 386817290");
    EXPECT_EQ(DateFormatter("'at' HH 'o''clock' ''ZZZZZ", utc).format(t), "at 20 o'clock 'Z");
    EXPECT_EQ(DateFormatter("ZZZZZ", TimeZone::fixedOffset(-3600)).format(t), "-01:00");
    for (const char* bad : {"MMM", "EEE", "yyyy-MM-dd'T", "a", "ZZZZ"})
        EXPECT_THROW(DateFormatter(bad, utc), std::invalid_argument) << bad;
}

TEST(DateFormatter, LocalZoneFollowsTheProcessZoneAndDaylightSaving) {
    const char* old = std::getenv("TZ");
    std::string saved = old ? old : "";
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
    DateFormatter f("yyyy-MM-dd HH:mmZ");
    EXPECT_EQ(f.format({1678308991, 0}), "2023-03-08 21:56+0100");  // winter
    EXPECT_EQ(f.format({1690000000, 0}), "2023-07-22 06:26+0200");  // summer
    if (old) setenv("TZ", saved.c_str(), 1);
    else unsetenv("TZ");
    tzset();
}

TEST(DateFormatter, FormattedFlowTimesReadBackToTheSameSecond) {
    DateFormatter f("yyyy-MM-dd'T'HH:mm:ss.SSSZ", TimeZone::fixedOffset(7 * 3600 + 1800));
    for (std::int64_t s : {std::int64_t{0}, std::int64_t{951782400}, std::int64_t{1678308991}, std::int64_t{-86401}}) {
        Instant t{s, 123000000};
        EXPECT_EQ(qm::parseInternetDateTime(f.format(t)), t) << f.format(t);
    }
}
