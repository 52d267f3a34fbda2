#pragma once
// The store's rules for reading and comparing text: the order of program paths
// (by Unicode scalar values after canonical composition), the upper-casing of a
// search text (full Unicode case mapping), the reading of a decimal integer, and
// FragmentSet (any of several texts found in one scan). ASCII text takes a direct path.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qm {

bool isASCII(std::string_view s);

// The text in Normalization Form C; an ASCII text or one that is not valid UTF-8
// is returned as it is.
std::string canonicalComposition(std::string_view s);

// A strict order of paths: by the scalar values of their canonical compositions,
// canonically equal texts by their bytes.
bool canonicalLess(std::string_view a, std::string_view b);

// The text with every character upper-cased by its full mapping ("ß" gives "SS"),
// in Normalization Form C; a text that is not valid UTF-8 has only its ASCII letters
// upper-cased.
std::string upperCased(std::string_view s);

// A whole decimal signed 64-bit integer: an optional "+" or "-" then one or more
// digits 0-9 and nothing else (no blanks); leading zeros are allowed.
std::optional<std::int64_t> parseDecimal(std::string_view s);

// Texts to look for inside other texts, byte for byte: whether a text contains any
// of them, found in one scan of the text however many there are. An empty fragment
// is found in every text.
class FragmentSet {
public:
    FragmentSet() = default;
    template <class Range>
    explicit FragmentSet(const Range& fragments) {
        for (const auto& f : fragments) add(f);
        prepare();
    }

    bool empty() const { return firstCount_ == 0 && !matchesAll_; }
    bool foundIn(std::string_view text) const;

private:
    // A fragment can begin only where the text holds one of the fragments' first
    // bytes. When they are few (paths begin with "/" or "."), those places are
    // found sixteen bytes at a time; otherwise every byte is a place to look.
    static constexpr std::size_t fewFirsts = 4;
    // Fragments of two bytes or more are then told apart by their first two bytes:
    // a bit per pair (high bits dropped, so other bytes share keys) says whether
    // to compare.
    static unsigned pairKey(unsigned char a, unsigned char b) { return (a & 0x7Fu) << 7 | (b & 0x7Fu); }
    void add(std::string_view fragment);
    void prepare();
    bool beginsAt(const unsigned char* text, std::size_t size, std::size_t at) const;
    bool longBeginsAt(const unsigned char* text, std::size_t size, std::size_t at, unsigned key) const;

    std::array<std::uint64_t, (1 << 14) / 64> pairs_{};
    std::array<std::uint64_t, 4> singles_{};  // one-byte fragments, by byte value
    std::array<unsigned char, fewFirsts> firsts_{};
    std::size_t firstCount_ = 0;  // distinct first bytes; more than fewFirsts: not held in firsts_
    bool matchesAll_ = false;
    // A fragment of two bytes or more, with its first sixteen bytes as two words
    // and masks, so that most places are ruled out by two comparisons.
    struct Long {
        unsigned key;
        std::array<std::uint64_t, 2> head, mask;
        std::string text;
    };
    std::vector<Long> long_;  // by pair key
};

}  // namespace qm
