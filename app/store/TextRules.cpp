#include "TextRules.h"

#include <utf8proc.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace qm {

namespace {

using Bytes = const utf8proc_uint8_t*;

Bytes bytes(std::string_view s) { return reinterpret_cast<Bytes>(s.data()); }

std::string asciiUpper(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return out;
}

// The text in Normalization Form C; nothing when it is not valid UTF-8.
std::optional<std::string> composed(std::string_view s) {
    utf8proc_uint8_t* out = nullptr;
    auto n = utf8proc_map(bytes(s), static_cast<utf8proc_ssize_t>(s.size()), &out,
                          static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE));
    std::unique_ptr<utf8proc_uint8_t, decltype(&std::free)> owner(out, &std::free);
    if (n < 0) return std::nullopt;
    return std::string(reinterpret_cast<const char*>(out), static_cast<std::size_t>(n));
}

// The full upper-case mapping of one code point, appended to out. utf8proc carries
// the simple (one to one) mappings and the full case foldings; a lower- or title-case
// letter whose folding has several code points (ß, ligatures, Greek with iota
// subscript) upper-cases to the simple upper case of each of them, as the full
// mapping does. Every other character takes its simple mapping.
void appendUpper(utf8proc_int32_t c, std::string& out) {
    auto append = [&out](utf8proc_int32_t u) {
        utf8proc_uint8_t buffer[4];
        auto n = utf8proc_encode_char(u, buffer);
        out.append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(n));
    };
    const auto category = utf8proc_category(c);
    if (category == UTF8PROC_CATEGORY_LL || category == UTF8PROC_CATEGORY_LT) {
        utf8proc_int32_t folded[8];
        int boundclass = UTF8PROC_BOUNDCLASS_START;
        auto n = utf8proc_decompose_char(c, folded, 8, UTF8PROC_CASEFOLD, &boundclass);
        if (n > 1 && n <= 8) {
            for (utf8proc_ssize_t i = 0; i < n; ++i) append(utf8proc_toupper(folded[i]));
            return;
        }
    }
    append(utf8proc_toupper(c));
}

}  // namespace

bool isASCII(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

std::string canonicalComposition(std::string_view s) {
    if (isASCII(s)) return std::string(s);
    return composed(s).value_or(std::string(s));
}

bool canonicalLess(std::string_view a, std::string_view b) {
    if (isASCII(a) && isASCII(b)) return a < b;
    // UTF-8 byte order is scalar-value order.
    const std::string ca = canonicalComposition(a), cb = canonicalComposition(b);
    if (ca != cb) return ca < cb;
    return a < b;
}

std::string upperCased(std::string_view s) {
    if (isASCII(s)) return asciiUpper(s);
    std::string upper;
    upper.reserve(s.size());
    for (std::string_view rest = s; !rest.empty();) {
        utf8proc_int32_t c;
        auto n = utf8proc_iterate(bytes(rest), static_cast<utf8proc_ssize_t>(rest.size()), &c);
        if (n <= 0) return asciiUpper(s);
        appendUpper(c, upper);
        rest.remove_prefix(static_cast<std::size_t>(n));
    }
    return composed(upper).value_or(upper);
}

std::optional<std::int64_t> parseDecimal(std::string_view s) {
    const bool plus = !s.empty() && s.front() == '+';
    if (plus) s.remove_prefix(1);
    if (s.empty() || (plus && s.front() == '-')) return std::nullopt;
    std::int64_t v = 0;
    auto r = std::from_chars(s.data(), s.data() + s.size(), v);
    if (r.ec != std::errc() || r.ptr != s.data() + s.size()) return std::nullopt;
    return v;
}

void FragmentSet::add(std::string_view fragment) {
    const auto* b = reinterpret_cast<const unsigned char*>(fragment.data());
    if (fragment.empty()) {
        matchesAll_ = true;
    } else if (fragment.size() == 1) {
        singles_[b[0] / 64] |= std::uint64_t(1) << (b[0] % 64);
    } else {
        const unsigned key = pairKey(b[0], b[1]);
        pairs_[key / 64] |= std::uint64_t(1) << (key % 64);
        Long f{key, {}, {}, std::string(fragment)};
        unsigned char head[16] = {}, mask[16] = {};
        for (std::size_t i = 0; i < 16 && i < fragment.size(); ++i) head[i] = b[i], mask[i] = 0xFF;
        std::memcpy(f.head.data(), head, sizeof head);
        std::memcpy(f.mask.data(), mask, sizeof mask);
        long_.push_back(std::move(f));
    }
}

void FragmentSet::prepare() {
    std::sort(long_.begin(), long_.end(), [](const Long& x, const Long& y) { return x.key < y.key; });
    std::array<bool, 256> first{};
    for (unsigned c = 0; c < 256; ++c) first[c] = (singles_[c / 64] >> (c % 64)) & 1;
    for (const auto& f : long_) first[static_cast<unsigned char>(f.text[0])] = true;
    for (unsigned c = 0; c < 256; ++c) {
        if (!first[c]) continue;
        if (firstCount_ < fewFirsts) firsts_[firstCount_] = static_cast<unsigned char>(c);
        ++firstCount_;
    }
}

bool FragmentSet::beginsAt(const unsigned char* text, std::size_t size, std::size_t at) const {
    const unsigned char c = text[at];
    if ((singles_[c / 64] >> (c % 64)) & 1) return true;
    if (at + 1 >= size) return false;
    const unsigned key = pairKey(c, text[at + 1]);
    if (!((pairs_[key / 64] >> (key % 64)) & 1)) return false;
    return longBeginsAt(text, size, at, key);
}

bool FragmentSet::longBeginsAt(const unsigned char* text, std::size_t size, std::size_t at, unsigned key) const {
    const std::size_t rest = size - at;
    std::array<std::uint64_t, 2> words{};
    if (rest >= sizeof words) std::memcpy(words.data(), text + at, sizeof words);
    auto it = std::lower_bound(long_.begin(), long_.end(), key, [](const Long& f, unsigned k) { return f.key < k; });
    for (; it != long_.end() && it->key == key; ++it) {
        const std::string& f = it->text;
        if (f.size() > rest) continue;
        if (rest < sizeof words) {
            if (std::memcmp(text + at, f.data(), f.size()) == 0) return true;
            continue;
        }
        if ((words[0] & it->mask[0]) != it->head[0] || (words[1] & it->mask[1]) != it->head[1]) continue;
        if (f.size() <= sizeof words || std::memcmp(text + at + sizeof words, f.data() + sizeof words, f.size() - sizeof words) == 0)
            return true;
    }
    return false;
}

bool FragmentSet::foundIn(std::string_view text) const {
    if (matchesAll_) return true;
    if (firstCount_ == 0) return false;
    const auto* b = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
#if defined(__SSE2__)
    if (firstCount_ <= fewFirsts) {
        __m128i firsts[fewFirsts];
        for (std::size_t f = 0; f < firstCount_; ++f) firsts[f] = _mm_set1_epi8(static_cast<char>(firsts_[f]));
        // The places in sixteen bytes where one of the first bytes is, as bits.
        auto placesIn = [&](const unsigned char* sixteen) {
            const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(sixteen));
            unsigned places = 0;
            for (std::size_t f = 0; f < firstCount_; ++f)
                places |= unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(chunk, firsts[f])));
            return places;
        };
        auto anyBegins = [&](std::size_t from, unsigned places) {
            for (; places != 0; places &= places - 1)
                if (beginsAt(b, n, from + std::size_t(std::countr_zero(places)))) return true;
            return false;
        };
        std::size_t i = 0;
        for (; i + 16 <= n; i += 16)
            if (anyBegins(i, placesIn(b + i))) return true;
        if (i == n) return false;
        // The last bytes, copied so as not to read past the text.
        unsigned char last[16] = {};
        std::memcpy(last, b + i, n - i);
        return anyBegins(i, placesIn(last) & ((1u << (n - i)) - 1));
    }
#endif
    for (std::size_t i = 0; i < n; ++i)
        if (beginsAt(b, n, i)) return true;
    return false;
}

}  // namespace qm
