#pragma once
// A string of the model that keeps texts of up to 31 bytes inside its own 32 bytes
// (the size of std::string, whose own buffer holds only 15), and longer texts in one
// heap block. Time texts ("2023-05-01T09:26:37.011212Z", 27-30 bytes) are the many
// short strings of a message: a capture holds dozens per event, and kept inline they
// cost no heap block each.

#include <compare>
#include <cstddef>
#include <cstring>
#include <functional>
#include <ostream>
#include <string>
#include <string_view>

namespace es {

class alignas(8) CompactString {
public:
    static constexpr std::size_t inlineCapacity = 31;

    CompactString() noexcept { setInlineSize(0); }
    CompactString(std::string_view text) { init(text); }
    CompactString(const char* text) { init(text); }
    CompactString(const std::string& text) { init(text); }
    CompactString(const CompactString& other) { init(other.view()); }
    CompactString(CompactString&& other) noexcept {
        std::memcpy(bytes_, other.bytes_, sizeof bytes_);
        other.setInlineSize(0);
    }
    ~CompactString() { release(); }

    CompactString& operator=(const CompactString& other) {
        if (this != &other) assign(other.view());
        return *this;
    }
    CompactString& operator=(CompactString&& other) noexcept {
        if (this != &other) {
            release();
            std::memcpy(bytes_, other.bytes_, sizeof bytes_);
            other.setInlineSize(0);
        }
        return *this;
    }
    CompactString& operator=(std::string_view text) { return assign(text); }
    CompactString& operator=(const char* text) { return assign(text); }
    CompactString& operator=(const std::string& text) { return assign(text); }

    CompactString& assign(std::string_view text) {
        // The text may lie inside this string: copy it before releasing.
        CompactString copy(text);
        return *this = std::move(copy);
    }

    const char* data() const noexcept { return isHeap() ? heap().data : bytes_; }
    const char* c_str() const noexcept { return data(); }
    std::size_t size() const noexcept { return isHeap() ? heap().size : inlineCapacity - tag(); }
    bool empty() const noexcept { return size() == 0; }
    std::string_view view() const noexcept { return {data(), size()}; }
    operator std::string_view() const noexcept { return view(); }

    friend bool operator==(const CompactString& a, const CompactString& b) noexcept { return a.view() == b.view(); }
    friend bool operator==(const CompactString& a, std::string_view b) noexcept { return a.view() == b; }
    friend bool operator==(const CompactString& a, const char* b) noexcept { return a.view() == b; }
    friend bool operator==(const CompactString& a, const std::string& b) noexcept { return a.view() == b; }
    friend auto operator<=>(const CompactString& a, const CompactString& b) noexcept { return a.view() <=> b.view(); }
    friend std::string operator+(std::string a, const CompactString& b) { return a.append(b.view()); }
    friend std::ostream& operator<<(std::ostream& os, const CompactString& s) { return os << s.view(); }

private:
    // Inline: the text, its terminator, and in the last byte the unused capacity
    // (so a full 31-byte text's last byte is its terminator, 0). Heap: pointer and
    // size at the front, heapTag in the last byte.
    static constexpr unsigned char heapTag = 0xFF;
    struct Heap {
        char* data;
        std::size_t size;
    };

    unsigned char tag() const noexcept { return static_cast<unsigned char>(bytes_[inlineCapacity]); }
    bool isHeap() const noexcept { return tag() == heapTag; }
    Heap heap() const noexcept {
        Heap h;
        std::memcpy(&h, bytes_, sizeof h);
        return h;
    }
    void setInlineSize(std::size_t n) noexcept {
        bytes_[n] = '\0';
        bytes_[inlineCapacity] = static_cast<char>(inlineCapacity - n);
    }
    void init(std::string_view text) {
        if (text.size() <= inlineCapacity) {
            std::memcpy(bytes_, text.data(), text.size());
            setInlineSize(text.size());
            return;
        }
        Heap h{new char[text.size() + 1], text.size()};
        std::memcpy(h.data, text.data(), text.size());
        h.data[text.size()] = '\0';
        std::memcpy(bytes_, &h, sizeof h);
        bytes_[inlineCapacity] = static_cast<char>(heapTag);
    }
    void release() noexcept {
        if (isHeap()) delete[] heap().data;
    }

    char bytes_[inlineCapacity + 1];
};

static_assert(sizeof(CompactString) == sizeof(std::string), "a compact string takes a std::string's place");

}  // namespace es

template <>
struct std::hash<es::CompactString> {
    std::size_t operator()(const es::CompactString& s) const noexcept { return std::hash<std::string_view>{}(s.view()); }
};
