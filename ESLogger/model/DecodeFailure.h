#pragma once
// The one failure of every decode in the event model.

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace es {

// A step of a coding path: an object key or an array position.
using CodingKey = std::variant<std::string, std::size_t>;

struct DecodeFailure {
    enum class Kind { missingKey, wrongType, missingValue, corruptedData };

    Kind kind = Kind::corruptedData;
    // Keys from the message's root down to the value at fault. For a missing key
    // the path ends with that key, except for a missing event key, whose path
    // ends at `event`.
    std::vector<CodingKey> path;
    // The missing key (missingKey) or the expected type (wrongType, missingValue,
    // corruptedData).
    std::string detail;
    std::string description;

    // The path joined with "." (array positions as numbers), "-" when empty.
    std::string pathText() const;
};

std::string_view kindName(DecodeFailure::Kind kind);

// Either a decoded value or the failure that stopped its decoding.
template <class T>
class Decoded {
public:
    Decoded(T value) : v_(std::move(value)) {}
    Decoded(DecodeFailure failure) : v_(std::move(failure)) {}
    // A default value to be decoded in place.
    explicit Decoded(std::in_place_t) : v_(std::in_place_index<0>) {}

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }
    const T& value() const& { return std::get<0>(v_); }
    T& value() & { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    const T* operator->() const { return &std::get<0>(v_); }
    const DecodeFailure& failure() const { return std::get<1>(v_); }

private:
    std::variant<T, DecodeFailure> v_;
};

}  // namespace es
