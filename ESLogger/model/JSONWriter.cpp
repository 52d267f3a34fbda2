#include "JSONWriter.h"

#include <array>
#include <charconv>

namespace es {

void JSONWriter::newline(std::size_t depth) {
    out_ += '\n';
    out_.append(depth * 2, ' ');
}

void JSONWriter::beforeValue() {
    if (afterKey_) {
        afterKey_ = false;
        return;
    }
    if (first_.empty()) return;
    if (!first_.back()) out_ += ',';
    first_.back() = 0;
    if (pretty_) newline(first_.size());
}

void JSONWriter::open(char c) {
    beforeValue();
    out_ += c;
    first_.push_back(1);
}

void JSONWriter::close(char c) {
    bool empty = first_.back();
    first_.pop_back();
    if (pretty_ && !empty) newline(first_.size());
    out_ += c;
}

void JSONWriter::key(std::string_view k) {
    beforeValue();
    appendQuoted(out_, k);
    out_ += pretty_ ? ": " : ":";
    afterKey_ = true;
}

void JSONWriter::writeInt(std::int64_t v) {
    beforeValue();
    char buf[24];
    auto res = std::to_chars(buf, buf + sizeof buf, v);
    out_.append(buf, res.ptr);
}

void JSONWriter::writeString(std::string_view s) {
    beforeValue();
    appendQuoted(out_, s);
}

void JSONWriter::writeBool(bool b) {
    beforeValue();
    out_ += b ? "true" : "false";
}

void JSONWriter::writeNull() {
    beforeValue();
    out_ += "null";
}

namespace {

// Bytes that must be escaped in a JSON string: quote, backslash, controls.
constexpr auto needsEscape = [] {
    std::array<bool, 256> t{};
    for (int c = 0; c < 0x20; ++c) t[std::size_t(c)] = true;
    t['"'] = t['\\'] = true;
    return t;
}();

}  // namespace

void JSONWriter::appendQuoted(std::string& out, std::string_view s) {
    static constexpr char hex[] = "0123456789abcdef";
    out += '"';
    std::size_t run = 0;  // start of the pending run of bytes that need no escape
    for (std::size_t i = 0; i < s.size(); ++i) {
        auto c = static_cast<unsigned char>(s[i]);
        if (!needsEscape[c]) continue;
        out.append(s.data() + run, i - run);
        run = i + 1;
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            default:
                out += "\\u00";
                out += hex[c >> 4];
                out += hex[c & 0xf];
        }
    }
    out.append(s.data() + run, s.size() - run);
    out += '"';
}

}  // namespace es
