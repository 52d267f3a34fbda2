#pragma once
// The text description of the event model's values: every field with its value, walked
// from the same field tables as the JSON coding. A record reads
// Type(key: value, key: value), an absent optional nil, text in its printed form
// (quotedText), an enumeration its case name, code-signing flags their names joined by
// " | ", a list [a, b], and an event its key with its payload: exec(ESEvent_exec(...)).

#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "CodeSigningFlags.h"
#include "ESEvent.h"
#include "EnumSupport.h"
#include "Fields.h"
#include "TextForms.h"

namespace es {

struct ESMessage;

template <class T>
void appendDescription(std::string& out, const T& value) {
    if constexpr (std::is_same_v<T, std::int64_t>) {
        out += std::to_string(value);
    } else if constexpr (std::is_same_v<T, bool>) {
        out += value ? "true" : "false";
    } else if constexpr (std::is_same_v<T, std::string> || std::is_same_v<T, CompactString>) {
        appendQuotedText(out, value);
    } else if constexpr (std::is_same_v<T, CodeSigningFlags>) {
        out += value.description();
    } else if constexpr (ModelEnum<T>) {
        const auto name = caseName(value);
        out += name.empty() ? std::to_string(rawValue(value)) : std::string(name);
    } else if constexpr (IsOptional<T>::value) {
        if (value)
            appendDescription(out, *value);
        else
            out += "nil";
    } else if constexpr (std::is_same_v<T, ESEvent>) {
        out += value.key();
        out += '(';
        value.visit([&](const auto& payload) { appendDescription(out, payload); });
        out += ')';
    } else if constexpr (Record<T>) {
        out += T::typeName();
        out += '(';
        const char* separator = "";
        std::apply(
            [&](const auto&... field) {
                ((out += std::exchange(separator, ", "), out += field.key, out += ": ",
                  appendDescription(out, value.*(field.member))),
                 ...);
            },
            T::fields());
        out += ')';
    } else if constexpr (requires { value.begin(); value.size(); }) {
        out += '[';
        const char* separator = "";
        for (const auto& item : value) {
            out += std::exchange(separator, ", ");
            appendDescription(out, item);
        }
        out += ']';
    } else {
        // A payload without fields: the event's key alone, as in settime().
        static_assert(std::is_empty_v<T>, "a model value without a description");
    }
}

template <class T>
std::string description(const T& value) {
    std::string out;
    appendDescription(out, value);
    return out;
}

// The message's description, compiled once.
std::string description(const ESMessage& message);

}  // namespace es
