#pragma once
// Finding a key among a fixed set of keys with one probe: a perfect hash chosen at
// compile time for each set (a record's field keys, the event keys), then one
// comparison with the only key that can match.

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <type_traits>

namespace es {

inline std::uint64_t load8(const char* p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

// A key as two words: its first (up to) eight bytes, and its last eight bytes when
// it is eight bytes long or more (else 0). With the length they identify every key
// of up to sixteen bytes.
struct KeyWords {
    std::uint64_t head = 0, tail = 0;
    constexpr bool operator==(const KeyWords&) const = default;
};

// The words of the n bytes at p, reading none past them.
constexpr KeyWords keyWords(const char* p, std::size_t n) {
    auto bytes = [p](std::size_t from, std::size_t count) {
        std::uint64_t v = 0;
        for (std::size_t i = 0; i < count; ++i) v |= std::uint64_t(static_cast<unsigned char>(p[from + i])) << (8 * i);
        return v;
    };
    if (std::is_constant_evaluated()) return {bytes(0, n < 8 ? n : 8), n >= 8 ? bytes(n - 8, 8) : 0};
    if (n >= 8) return {load8(p), load8(p + n - 8)};
    std::uint64_t head = 0;
    std::memcpy(&head, p, n);
    return {head, 0};
}

// The same for a key inside padded text, where whole words may be read past its end.
[[gnu::always_inline]] inline KeyWords paddedKeyWords(const char* p, std::size_t n) {
    std::uint64_t head = load8(p), tail = load8(p + (n >= 8 ? n - 8 : 0));
    return {n >= 8 ? head : head & ((std::uint64_t(1) << (8 * n)) - 1), n >= 8 ? tail : 0};
}

template <std::size_t N>
class KeyIndex {
public:
    static constexpr std::size_t npos = N;

    constexpr explicit KeyIndex(const std::array<std::string_view, N>& keys) : keys_(keys) {
        for (std::size_t i = 0; i < N; ++i) words_[i] = keyWords(keys[i].data(), keys[i].size());
        // The smallest table, and in it the first multiplier, that gives every key
        // a slot of its own.
        for (bits_ = minBits(); bits_ <= maxBits; ++bits_) {
            for (std::uint64_t seed = 1; seed <= 512; ++seed) {
                multiplier_ = (seed * 0xD6E8FEB86659FD93ull) | 1;
                if (fill()) return;
            }
        }
        throw "no perfect hash for these keys";  // a compile-time error in a constant expression
    }

    // The position of the key of n bytes at p, with its words w, in the set; npos
    // when it is none.
    [[gnu::always_inline]] constexpr std::size_t find(const char* p, std::size_t n, KeyWords w) const {
        std::size_t i = slots_[slot(w, n)];
        if (i >= N || words_[i] != w || keys_[i].size() != n) return npos;
        // Keys longer than sixteen bytes also have bytes between their two words.
        if (n > 16 && std::string_view(p + 8, n - 16) != keys_[i].substr(8, n - 16)) return npos;
        return i;
    }
    constexpr std::size_t find(std::string_view key) const {
        return find(key.data(), key.size(), keyWords(key.data(), key.size()));
    }
    // Whether the key inside padded text at p (just after its opening quote) is
    // key i. Cheaper than a search when a writer's order makes it a good guess.
    [[gnu::always_inline]] bool isAt(const char* p, std::size_t i) const {
        std::size_t n = keys_[i].size();
        return p[n] == '"' && paddedKeyWords(p, n) == words_[i] &&
               (n <= 16 || std::string_view(p + 8, n - 16) == keys_[i].substr(8, n - 16));
    }
    // A key inside padded text.
    [[gnu::always_inline]] std::size_t findPadded(const char* p, std::size_t n) const { return find(p, n, paddedKeyWords(p, n)); }

private:
    // A table of about N * N / 4 slots holds a perfect hash for one multiplier in
    // every few (the chance is about exp(-N * N / 2 / slots)).
    static constexpr unsigned minBits() { return N <= 1 ? 0 : std::bit_width(N * N / 4); }
    static constexpr unsigned maxBits = minBits() + 3;

    [[gnu::always_inline]] constexpr std::size_t slot(KeyWords w, std::size_t n) const {
        std::uint64_t digest = (w.head ^ std::rotl(w.tail, 29)) + n * 0x9E3779B97F4A7C15ull;
        return bits_ == 0 ? 0 : std::size_t((digest * multiplier_) >> (64 - bits_));
    }

    constexpr bool fill() {
        for (std::size_t s = 0; s < (std::size_t(1) << bits_); ++s) slots_[s] = empty;
        for (std::size_t i = 0; i < N; ++i) {
            auto& s = slots_[slot(words_[i], keys_[i].size())];
            if (s != empty) return false;
            s = std::uint8_t(i);
        }
        return true;
    }

    static constexpr std::uint8_t empty = 0xFF;
    static_assert(N < empty, "slots hold key positions in a byte");
    std::array<std::string_view, N> keys_;
    std::array<KeyWords, N> words_{};
    std::array<std::uint8_t, std::size_t(1) << maxBits> slots_{};
    std::uint64_t multiplier_ = 1;
    unsigned bits_ = 0;
};

}  // namespace es
