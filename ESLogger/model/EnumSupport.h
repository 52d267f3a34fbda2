#pragma once
// Integer enumerations of the event model: each is declared once as an X-list of
// (case name, raw value); the list yields the enum class and a table that serves
// lookup by raw value, the text form and JSON coding.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace es {

struct EnumCase {
    std::int64_t raw;
    std::string_view name;
};

template <class E>
struct EnumInfo;  // specialised by ES_ENUM: typeName, cases (ascending raw values)

template <class E>
concept ModelEnum = requires { EnumInfo<E>::cases; };

template <ModelEnum E>
constexpr bool enumIsContiguous() {
    const auto& c = EnumInfo<E>::cases;
    for (std::size_t i = 0; i < c.size(); ++i)
        if (c[i].raw != c[0].raw + static_cast<std::int64_t>(i)) return false;
    return true;
}

template <ModelEnum E>
constexpr bool enumIsAscending() {
    const auto& c = EnumInfo<E>::cases;
    for (std::size_t i = 1; i < c.size(); ++i)
        if (c[i].raw <= c[i - 1].raw) return false;
    return true;
}

// The case table entry of a raw value, or nullptr when no case has it.
template <ModelEnum E>
constexpr const EnumCase* enumCase(std::int64_t raw) {
    constexpr const auto& c = EnumInfo<E>::cases;
    static_assert(enumIsAscending<E>(), "enum cases must be listed in ascending order");
    if constexpr (enumIsContiguous<E>()) {
        if (raw < c[0].raw || raw > c[c.size() - 1].raw) return nullptr;
        return &c[static_cast<std::size_t>(raw - c[0].raw)];
    } else {
        std::size_t lo = 0, hi = c.size();
        while (lo < hi) {
            std::size_t mid = (lo + hi) / 2;
            if (c[mid].raw < raw) lo = mid + 1;
            else hi = mid;
        }
        return lo < c.size() && c[lo].raw == raw ? &c[lo] : nullptr;
    }
}

template <ModelEnum E>
constexpr std::int64_t rawValue(E e) {
    return static_cast<std::int64_t>(e);
}

// The case name, character for character; empty for a value that is no case.
template <ModelEnum E>
constexpr std::string_view caseName(E e) {
    const EnumCase* c = enumCase<E>(rawValue(e));
    return c ? c->name : std::string_view{};
}

// The short name rule shared by XPC domain types and event types: lower-case the
// case name, split at "_", drop the first four parts, join the rest with "_".
std::string shortNameOf(std::string_view caseName);

}  // namespace es

#define ES_ENUM_ENUMERATOR(name, value) name = value,
#define ES_ENUM_CASE(name, value) ::es::EnumCase{value, #name},
#define ES_ENUM(Type, LIST)                                   \
    enum class Type : std::int64_t { LIST(ES_ENUM_ENUMERATOR) }; \
    template <>                                               \
    struct EnumInfo<Type> {                                   \
        static constexpr std::string_view typeName = #Type;  \
        static constexpr std::array cases{LIST(ES_ENUM_CASE)}; \
    };
