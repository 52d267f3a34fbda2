#pragma once
// The XPC wire format: length-prefixed frames on a Unix stream socket. A frame is a
// call (selector, arguments, reply number; 0 when no reply is wanted) or a reply
// (reply number, arguments). Arguments are Booleans, 64-bit integers or texts.
//
// Layout, integers little-endian:
//   u32 body length | u8 kind (1 call, 2 reply) | u64 reply number |
//   u16 selector length | selector | u16 argument count |
//   per argument: u8 kind (0 Bool, 1 Int, 2 text), then 1 byte, 8 bytes, or u32 length + bytes

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace xpc {

using Value = std::variant<bool, std::int64_t, std::string>;
enum class ValueKind : std::uint8_t { boolean = 0, integer = 1, string = 2 };

inline ValueKind kindOf(const Value& v) { return static_cast<ValueKind>(v.index()); }

struct Frame {
    enum class Kind : std::uint8_t { call = 1, reply = 2 };
    Kind kind = Kind::call;
    std::uint64_t replyId = 0;
    std::string selector;
    std::vector<Value> arguments;

    friend bool operator==(const Frame&, const Frame&) = default;
};

// Frames larger than this are refused on both ends.
inline constexpr std::size_t kMaxFrameBody = 16u << 20;

// The frame with its length prefix.
std::string encodeFrame(const Frame& frame);

// Decodes a body (without the prefix); nothing when it is malformed in any way
// (unknown kind, lengths past the end, bytes left over).
std::optional<Frame> decodeFrameBody(std::string_view body);

}  // namespace xpc
