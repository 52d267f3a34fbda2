#pragma once
// Field tables of the event model's records. Each record declares its fields once,
// in declaration order, as a tuple of (key text, member); a member of type
// std::optional<T> is an optional key, any other member a required one. The
// generic decoder and encoder (Coding.h) walk that table.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <vector>

#include "CompactString.h"

namespace es {

template <class R, class M>
struct Field {
    std::string_view key;
    M R::*member;
};

template <class R, class M>
constexpr Field<R, M> field(std::string_view key, M R::*member) {
    return {key, member};
}

template <class T>
struct IsOptional : std::false_type {};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {};

// A record: a type with a static fields() table.
template <class T>
concept Record = requires { T::fields(); };

}  // namespace es

// Inside a record: ES_FIELDS(Type, ES_FIELD(a), ES_FIELD(b), ...).
#define ES_FIELD(name) ::es::field(#name, &Self::name)
#define ES_FIELD_KEY(key, name) ::es::field(key, &Self::name)
#define ES_FIELDS(Type, ...)                                          \
    using Self = Type;                                                \
    static constexpr std::string_view typeName() { return #Type; }   \
    static constexpr auto fields() { return std::tuple{__VA_ARGS__}; }
