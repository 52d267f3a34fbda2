#pragma once
// Names of the Open Directory error codes that directory events carry in
// "error_code", for showing a code readably.

#include <cstdint>
#include <optional>
#include <string_view>
#include <unordered_map>

namespace es {

using ODErrorNameTable = std::unordered_map<std::int64_t, std::string_view>;

// The table from error code to the name of the platform's constant. Built on first
// use (thread-safe), immutable afterwards; the names have static storage.
const ODErrorNameTable& odErrorNames();

// The name of a code, or nothing when the table does not hold it.
std::optional<std::string_view> odErrorName(std::int64_t code);

}  // namespace es
