#pragma once
// UTF-8 checks for texts that come from the system as bytes.

#include <string>
#include <string_view>

namespace flowspur {

// True when text is well-formed UTF-8 (no overlong forms, surrogates or values past
// U+10FFFF).
bool isValidUTF8(std::string_view text);

// text with every ill-formed sequence replaced by U+FFFD.
std::string repairedUTF8(std::string_view text);

}  // namespace flowspur
