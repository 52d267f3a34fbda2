#pragma once
// Ill-formed UTF-8 of every class, each with the text that its repair gives: one U+FFFD
// for each maximal ill-formed subpart (the start of a character that is not completed
// is one, any other bad byte one each).

#include <string>
#include <vector>

namespace utf8cases {

struct Case {
    const char* name;
    std::string bytes;
    std::string repaired;
};

inline const std::vector<Case>& illFormed() {
    static const std::string R = "\xEF\xBF\xBD";
    static const std::vector<Case> cases = {
        {"2-byte character cut", "a\xC3z", "a" + R + "z"},
        {"3-byte character cut after 1 byte", "a\xE2z", "a" + R + "z"},
        {"3-byte character cut after 2 bytes", "a\xE2\x82z", "a" + R + "z"},
        {"4-byte character cut after 1 byte", "a\xF0z", "a" + R + "z"},
        {"4-byte character cut after 2 bytes", "a\xF0\x9Fz", "a" + R + "z"},
        {"4-byte character cut after 3 bytes", "a\xF0\x9F\x98z", "a" + R + "z"},
        {"cut characters one after the other", "\xE2\x82\xF0\x9F\x98\xC3", R + R + R},
        {"cut character at the end", "a\xE2\x82", "a" + R},
        {"lone continuation byte", "a\x80z", "a" + R + "z"},
        {"continuation bytes after a whole character", "\xC3\xA9\xBF\xBF", "\xC3\xA9" + R + R},
        {"overlong 2-byte form", "\xC0\xAF", R + R},
        {"overlong 3-byte form", "\xE0\x80\xAF", R + R + R},
        {"overlong 4-byte form", "\xF0\x80\x80\xAF", R + R + R + R},
        {"surrogate", "\xED\xA0\x80", R + R + R},
        {"past U+10FFFF", "\xF4\x90\x80\x80", R + R + R + R},
        {"bytes F5 to FF", "\xF5\xF8\xFE\xFF", R + R + R + R},
        {"well-formed characters of 2, 3 and 4 bytes", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80",
         "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
    };
    return cases;
}

}  // namespace utf8cases
