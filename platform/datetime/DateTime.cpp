#include "DateTime.h"

#include <chrono>
#include <ctime>
#include <stdexcept>

namespace qm {

namespace {

using namespace std::chrono;

constexpr std::int64_t secondsPerDay = 86400;

std::int64_t floorDiv(std::int64_t a, std::int64_t b) {
    std::int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// Reads exactly n decimal digits at pos; advances pos.
std::optional<int> digits(std::string_view s, std::size_t& pos, int n) {
    if (pos + static_cast<std::size_t>(n) > s.size()) return std::nullopt;
    int v = 0;
    for (int i = 0; i < n; ++i) {
        char c = s[pos + static_cast<std::size_t>(i)];
        if (c < '0' || c > '9') return std::nullopt;
        v = v * 10 + (c - '0');
    }
    pos += static_cast<std::size_t>(n);
    return v;
}

bool expect(std::string_view s, std::size_t& pos, char c) {
    if (pos >= s.size() || s[pos] != c) return false;
    ++pos;
    return true;
}

// The zone designator at pos, to the end of the text: seconds east of UTC.
std::optional<int> zoneOffset(std::string_view s, std::size_t pos) {
    if (pos >= s.size()) return std::nullopt;
    if (s[pos] == 'Z') return pos + 1 == s.size() ? std::optional<int>(0) : std::nullopt;
    if (s[pos] != '+' && s[pos] != '-') return std::nullopt;
    int sign = s[pos++] == '-' ? -1 : 1;
    auto hh = digits(s, pos, 2);
    if (pos < s.size() && s[pos] == ':') ++pos;
    auto mm = digits(s, pos, 2);
    if (!hh || !mm || *hh > 23 || *mm > 59 || pos != s.size()) return std::nullopt;
    return sign * (*hh * 3600 + *mm * 60);
}

struct Civil {
    int year, month, day, hour, minute, second;
};

Civil civilOf(std::int64_t localSeconds) {
    std::int64_t days = floorDiv(localSeconds, secondsPerDay);
    auto secOfDay = static_cast<int>(localSeconds - days * secondsPerDay);
    year_month_day ymd{sys_days{std::chrono::days{days}}};
    return {int(ymd.year()), static_cast<int>(unsigned(ymd.month())), static_cast<int>(unsigned(ymd.day())),
            secOfDay / 3600, secOfDay / 60 % 60, secOfDay % 60};
}

void appendNumber(std::string& out, std::int64_t v, int width) {
    if (v < 0) {
        out += '-';
        v = -v;
    }
    std::string d = std::to_string(v);
    if (static_cast<int>(d.size()) < width) out.append(static_cast<std::size_t>(width) - d.size(), '0');
    out += d;
}

}  // namespace

Instant Instant::now() {
    auto ns = duration_cast<std::chrono::nanoseconds>(system_clock::now().time_since_epoch()).count();
    std::int64_t s = floorDiv(ns, 1'000'000'000);
    return {s, static_cast<std::int32_t>(ns - s * 1'000'000'000)};
}

std::optional<Instant> parseInternetDateTime(std::string_view s) {
    std::size_t pos = 0;
    auto year = digits(s, pos, 4);
    if (!year || !expect(s, pos, '-')) return std::nullopt;
    auto month = digits(s, pos, 2);
    if (!month || !expect(s, pos, '-')) return std::nullopt;
    auto day = digits(s, pos, 2);
    if (!day || !expect(s, pos, 'T')) return std::nullopt;
    auto hour = digits(s, pos, 2);
    if (!hour || !expect(s, pos, ':')) return std::nullopt;
    auto minute = digits(s, pos, 2);
    if (!minute || !expect(s, pos, ':')) return std::nullopt;
    auto second = digits(s, pos, 2);
    if (!second) return std::nullopt;

    std::int32_t nanos = 0;
    if (pos < s.size() && s[pos] == '.') {
        ++pos;
        std::size_t start = pos;
        std::int32_t scale = 100'000'000;
        for (; pos < s.size() && s[pos] >= '0' && s[pos] <= '9'; ++pos) {
            nanos += (s[pos] - '0') * scale;
            scale /= 10;
        }
        if (pos == start) return std::nullopt;
    }
    auto offset = zoneOffset(s, pos);
    if (!offset) return std::nullopt;

    year_month_day ymd{std::chrono::year{*year}, std::chrono::month{unsigned(*month)},
                       std::chrono::day{unsigned(*day)}};
    // A leap second (60) is accepted and counts into the next minute.
    if (!ymd.ok() || *hour > 23 || *minute > 59 || *second > 60) return std::nullopt;

    std::int64_t days = sys_days{ymd}.time_since_epoch().count();
    std::int64_t seconds = days * secondsPerDay + *hour * 3600 + *minute * 60 + *second - *offset;
    return Instant{seconds, nanos};
}

std::int64_t internetDateTimeSeconds(std::string_view text) {
    auto instant = parseInternetDateTime(text);
    return instant ? instant->truncatedSeconds() : 0;
}

TimeZone TimeZone::fixedOffset(int secondsEastOfUTC) {
    TimeZone z;
    z.fixed_ = secondsEastOfUTC;
    return z;
}

int TimeZone::offsetAt(std::int64_t seconds) const {
    if (fixed_) return *fixed_;
    std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    if (!localtime_r(&t, &tm)) return 0;
    return static_cast<int>(tm.tm_gmtoff);
}

DateFormatter::DateFormatter(std::string_view pattern, TimeZone zone) : zone_(zone) {
    auto isLetter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    auto addText = [this](std::string_view text) {
        if (tokens_.empty() || tokens_.back().letter != 0) tokens_.push_back({0, 0, {}});
        tokens_.back().text += text;
    };
    for (std::size_t i = 0; i < pattern.size();) {
        char c = pattern[i];
        if (c == '\'') {
            if (i + 1 < pattern.size() && pattern[i + 1] == '\'') {
                addText("'");
                i += 2;
                continue;
            }
            // Quoted text runs to the next lone quote; "''" inside it is one quote.
            std::string text;
            for (++i;; ++i) {
                if (i >= pattern.size()) throw std::invalid_argument("unterminated quote in date pattern");
                if (pattern[i] != '\'') text += pattern[i];
                else if (i + 1 < pattern.size() && pattern[i + 1] == '\'') text += pattern[i++];
                else break;
            }
            addText(text);
            ++i;
        } else if (isLetter(c)) {
            std::size_t j = i;
            while (j < pattern.size() && pattern[j] == c) ++j;
            int count = static_cast<int>(j - i);
            bool supported = c == 'y' || c == 'S' || ((c == 'M' || c == 'd' || c == 'H' || c == 'm' || c == 's') && count <= 2) ||
                             (c == 'Z' && (count <= 3 || count == 5));
            if (!supported)
                throw std::invalid_argument("unsupported date pattern field: " + std::string(pattern.substr(i, j - i)));
            tokens_.push_back({c, count, {}});
            i = j;
        } else {
            addText(pattern.substr(i, 1));
            ++i;
        }
    }
}

std::string DateFormatter::format(Instant instant) const {
    int offset = zone_.offsetAt(instant.seconds);
    Civil c = civilOf(instant.seconds + offset);
    std::string out;
    out.reserve(32);
    for (const Token& t : tokens_) {
        switch (t.letter) {
        case 0: out += t.text; break;
        case 'y': appendNumber(out, t.count == 2 ? c.year % 100 : c.year, t.count); break;
        case 'M': appendNumber(out, c.month, t.count); break;
        case 'd': appendNumber(out, c.day, t.count); break;
        case 'H': appendNumber(out, c.hour, t.count); break;
        case 'm': appendNumber(out, c.minute, t.count); break;
        case 's': appendNumber(out, c.second, t.count); break;
        case 'S': {
            std::string nanos = std::to_string(instant.nanoseconds);
            nanos.insert(0, 9 - nanos.size(), '0');
            nanos.resize(static_cast<std::size_t>(t.count), '0');
            out += nanos;
            break;
        }
        case 'Z': {
            if (t.count == 5 && offset == 0) {
                out += 'Z';
                break;
            }
            int a = offset < 0 ? -offset : offset;
            out += offset < 0 ? '-' : '+';
            appendNumber(out, a / 3600, 2);
            if (t.count == 5) out += ':';
            appendNumber(out, a / 60 % 60, 2);
            break;
        }
        }
    }
    return out;
}

}  // namespace qm
