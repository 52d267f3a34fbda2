#pragma once
// A small JSON writer: compact (no blanks) or pretty (two-space indentation).
// Keys are written in the order they are handed over.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace es {

class JSONWriter {
public:
    explicit JSONWriter(bool pretty = false) : pretty_(pretty) {}

    void beginObject() { open('{'); }
    void endObject() { close('}'); }
    void beginArray() { open('['); }
    void endArray() { close(']'); }
    void key(std::string_view k);
    void writeInt(std::int64_t v);
    void writeString(std::string_view s);
    void writeBool(bool b);
    void writeNull();

    const std::string& text() const { return out_; }
    std::string take() { return std::move(out_); }
    void clear() { out_.clear(); first_.clear(); afterKey_ = false; }

    // Appends s to out as a quoted JSON string: quote, backslash and control
    // characters escaped, every other byte (UTF-8 included) passed through.
    static void appendQuoted(std::string& out, std::string_view s);

private:
    void open(char c);
    void close(char c);
    void beforeValue();
    void newline(std::size_t depth);

    std::string out_;
    std::vector<unsigned char> first_;  // per open container: 1 while nothing is written into it
    bool pretty_;
    bool afterKey_ = false;
};

}  // namespace es
