#pragma once
// The store's rules for reading and comparing text: the order of program paths
// (by Unicode scalar values after canonical composition), the upper-casing of a
// search text (full Unicode case mapping) and the reading of a decimal integer.
// ASCII text takes a direct path; only other text goes through the Unicode tables.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qm {

bool isASCII(std::string_view s);

// The text in Normalization Form C; an ASCII text or one that is not valid UTF-8
// is returned as it is.
std::string canonicalComposition(std::string_view s);

// A strict order of paths: by the scalar values of their canonical compositions,
// canonically equal texts by their bytes.
bool canonicalLess(std::string_view a, std::string_view b);

// The text with every character upper-cased by its full mapping ("ß" gives "SS"),
// in Normalization Form C; a text that is not valid UTF-8 has only its ASCII letters
// upper-cased.
std::string upperCased(std::string_view s);

// A whole decimal signed 64-bit integer: an optional "+" or "-" then one or more
// digits 0-9 and nothing else (no blanks); leading zeros are allowed.
std::optional<std::int64_t> parseDecimal(std::string_view s);

}  // namespace qm
