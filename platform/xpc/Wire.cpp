#include "Wire.h"

#include <cstring>

namespace xpc {

namespace {

template <class T>
void put(std::string& out, T v) {
    for (std::size_t i = 0; i < sizeof(T); ++i) out += char((std::uint64_t(v) >> (8 * i)) & 0xFF);
}

class Reader {
public:
    explicit Reader(std::string_view in) : in_(in) {}

    template <class T>
    bool get(T& v) {
        if (in_.size() < sizeof(T)) return false;
        std::uint64_t x = 0;
        for (std::size_t i = 0; i < sizeof(T); ++i) x |= std::uint64_t(std::uint8_t(in_[i])) << (8 * i);
        v = static_cast<T>(x);
        in_.remove_prefix(sizeof(T));
        return true;
    }
    bool bytes(std::size_t n, std::string& out) {
        if (in_.size() < n) return false;
        out.assign(in_.substr(0, n));
        in_.remove_prefix(n);
        return true;
    }
    bool done() const { return in_.empty(); }

private:
    std::string_view in_;
};

}  // namespace

std::string encodeFrame(const Frame& frame) {
    std::string out(4, '\0');
    put(out, std::uint8_t(frame.kind));
    put(out, frame.replyId);
    put(out, std::uint16_t(frame.selector.size()));
    out += frame.selector;
    put(out, std::uint16_t(frame.arguments.size()));
    for (const Value& v : frame.arguments) {
        put(out, std::uint8_t(kindOf(v)));
        if (auto* b = std::get_if<bool>(&v)) put(out, std::uint8_t(*b ? 1 : 0));
        else if (auto* i = std::get_if<std::int64_t>(&v)) put(out, std::uint64_t(*i));
        else {
            const std::string& s = std::get<std::string>(v);
            put(out, std::uint32_t(s.size()));
            out += s;
        }
    }
    std::uint32_t body = std::uint32_t(out.size() - 4);
    for (int i = 0; i < 4; ++i) out[i] = char((body >> (8 * i)) & 0xFF);
    return out;
}

std::optional<Frame> decodeFrameBody(std::string_view body) {
    if (body.size() > kMaxFrameBody) return std::nullopt;
    Reader r(body);
    Frame f;
    std::uint8_t kind = 0;
    std::uint16_t selectorLength = 0, count = 0;
    if (!r.get(kind) || (kind != 1 && kind != 2)) return std::nullopt;
    f.kind = static_cast<Frame::Kind>(kind);
    if (!r.get(f.replyId) || !r.get(selectorLength) || !r.bytes(selectorLength, f.selector)) return std::nullopt;
    if (!r.get(count)) return std::nullopt;
    f.arguments.reserve(count);
    for (std::uint16_t i = 0; i < count; ++i) {
        std::uint8_t type = 0;
        if (!r.get(type)) return std::nullopt;
        switch (static_cast<ValueKind>(type)) {
            case ValueKind::boolean: {
                std::uint8_t b = 0;
                if (!r.get(b) || b > 1) return std::nullopt;
                f.arguments.emplace_back(b == 1);
                break;
            }
            case ValueKind::integer: {
                std::uint64_t x = 0;
                if (!r.get(x)) return std::nullopt;
                f.arguments.emplace_back(static_cast<std::int64_t>(x));
                break;
            }
            case ValueKind::string: {
                std::uint32_t n = 0;
                std::string s;
                if (!r.get(n) || !r.bytes(n, s)) return std::nullopt;
                f.arguments.emplace_back(std::move(s));
                break;
            }
            default: return std::nullopt;
        }
    }
    if (!r.done()) return std::nullopt;
    return f;
}

}  // namespace xpc
