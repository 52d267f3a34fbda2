#pragma once
// Dates as text: the ISO 8601 internet date-time reader used for event times and a
// fixed-pattern formatter. No locale and no calendar other than the Gregorian one.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qm {

// An instant: whole seconds since 1970-01-01T00:00:00Z (rounded down) plus the
// nanoseconds past them (0 to 999,999,999).
struct Instant {
    std::int64_t seconds = 0;
    std::int32_t nanoseconds = 0;

    static Instant now();
    // The seconds truncated toward zero: -0.5 s gives 0.
    std::int64_t truncatedSeconds() const { return seconds < 0 && nanoseconds > 0 ? seconds + 1 : seconds; }
    friend bool operator==(const Instant&, const Instant&) = default;
};

// Reads an internet date-time: "2024-03-08T20:56:31.386817290Z", with an optional
// fraction of any number of digits (nanoseconds kept, further digits dropped) and
// the zone as "Z", "+01:00" or "+0100". Nothing when the text is not such a date.
std::optional<Instant> parseInternetDateTime(std::string_view text);

// Whole seconds since 1970 of an internet date-time, truncated toward zero; 0 when
// the text does not parse.
std::int64_t internetDateTimeSeconds(std::string_view text);

// A time zone: the process's local zone (as the C library sees it at each use) or a
// fixed offset from UTC.
class TimeZone {
public:
    static TimeZone local() { return TimeZone(); }
    static TimeZone utc() { return fixedOffset(0); }
    static TimeZone fixedOffset(int secondsEastOfUTC);

    // Seconds east of UTC in force at the instant.
    int offsetAt(std::int64_t seconds) const;

private:
    std::optional<int> fixed_;
};

// Formats instants by a fixed pattern of date-format letters:
//   yyyy year (yy: two digits), MM month, dd day, HH hour 00-23, mm minute, ss second,
//   S... fraction with as many digits as letters (truncated), Z / ZZ / ZZZ zone as
//   "+0100", ZZZZZ as "+01:00" ("Z" at UTC); a single M, d, H, m or s has no padding.
// Text in single quotes is copied ("''" is one quote), as is every other non-letter.
// Construction throws std::invalid_argument for a letter outside this set.
class DateFormatter {
public:
    explicit DateFormatter(std::string_view pattern, TimeZone zone = TimeZone::local());

    std::string format(Instant instant) const;

private:
    struct Token {
        char letter;  // 0 for literal text
        int count;
        std::string text;
    };
    std::vector<Token> tokens_;
    TimeZone zone_;
};

}  // namespace qm
