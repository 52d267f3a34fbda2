#include "Plist.h"

#include <plist/plist.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <optional>
#include <vector>

#include <unistd.h>

namespace plist {

namespace {

plist_t node(const PlistNode& n) { return static_cast<plist_t>(n.raw()); }

// libplist builds the tree of a binary list by parsing an object again for every
// reference to it, so a shared object is copied once per reference, and containers
// shared that way grow the tree exponentially with their depth: a few hundred bytes
// ask for terabytes. Writers share only leaves (equal strings, numbers, booleans).
// A list that shares a container, or whose copies of shared leaves would make the tree
// larger than kExpansion times its own size (plus kExpansionSlack), is refused before
// libplist sees it. The walk meets each container once, so it costs no more than the
// list's own size; it reads the objects as libplist does, and refuses whatever libplist
// might read otherwise (odd sizes of references and lengths).
constexpr std::uint64_t kExpansion = 32;
constexpr std::uint64_t kExpansionSlack = 64 * 1024;
constexpr std::uint64_t kNodeBytes = 64;  // what libplist allocates for a node, about

class BinaryList {
public:
    explicit BinaryList(std::string_view bytes) : b_(bytes) {}

    bool bounded() {
        constexpr std::size_t kHeader = 8, kTrailer = 32;
        if (b_.size() < kHeader + kTrailer) return false;
        const std::size_t trailer = b_.size() - kTrailer;
        offsetSize_ = std::uint8_t(b_[trailer + 6]);
        refSize_ = std::uint8_t(b_[trailer + 7]);
        if (!validSize(offsetSize_) || !validSize(refSize_)) return false;
        const std::uint64_t objects = be(trailer + 8, 8), root = be(trailer + 16, 8);
        table_ = be(trailer + 24, 8);
        if (objects == 0 || root >= objects || table_ < kHeader || table_ > trailer ||
            objects > (trailer - table_) / offsetSize_) {
            return false;
        }
        objects_ = objects;
        const std::uint64_t limit = kExpansion * b_.size() + kExpansionSlack;
        std::vector<bool> seen(objects);
        std::vector<std::uint64_t> pending{root};
        std::uint64_t expanded = 0;
        while (!pending.empty()) {
            const std::uint64_t index = pending.back();
            pending.pop_back();
            std::uint64_t at = be(table_ + index * offsetSize_, offsetSize_);
            if (at < kHeader || at >= table_) return false;
            const unsigned type = std::uint8_t(b_[at]) >> 4, info = std::uint8_t(b_[at]) & 0xF;
            ++at;
            std::uint64_t payload = 0, refs = 0;
            switch (type) {
                case 0x0:  // false, true
                    if (info != 0x8 && info != 0x9) return false;
                    break;
                case 0x1:  // integer of 2^info bytes
                case 0x2:  // real
                    if (info > (type == 0x1 ? 4u : 3u) || !fits(at, std::uint64_t(1) << info)) return false;
                    break;
                case 0x3:  // date
                    if (info != 3 || !fits(at, 8)) return false;
                    break;
                case 0x8:  // UID of info + 1 bytes
                    if (info > 7 || !fits(at, info + 1)) return false;
                    break;
                case 0x4:  // data
                case 0x5:  // ASCII text
                case 0x6: {  // UTF-16 text: up to 3 bytes of UTF-8 for each unit
                    auto count = length(at, info);
                    const std::uint64_t unit = type == 0x6 ? 2 : 1;
                    if (!count || *count > table_ || !fits(at, *count * unit)) return false;
                    payload = *count * (type == 0x6 ? 3 : 1);
                    break;
                }
                case 0xA:  // array
                case 0xC:  // set
                case 0xD: {  // dictionary: keys, then values
                    auto count = length(at, info);
                    if (!count || *count > table_) return false;
                    refs = *count * (type == 0xD ? 2 : 1);
                    if (seen[index] || !fits(at, refs * refSize_)) return false;
                    seen[index] = true;
                    break;
                }
                default: return false;
            }
            expanded += kNodeBytes + payload;
            if (expanded > limit) return false;
            for (std::uint64_t r = 0; r < refs; ++r) {
                const std::uint64_t child = be(at + r * refSize_, refSize_);
                if (child >= objects_) return false;
                pending.push_back(child);
            }
        }
        return true;
    }

private:
    static bool validSize(unsigned n) { return n == 1 || n == 2 || n == 3 || n == 4 || n == 8; }
    // n bytes at at lie before the offset table.
    bool fits(std::uint64_t at, std::uint64_t n) const { return at <= table_ && n <= table_ - at; }
    std::uint64_t be(std::uint64_t at, unsigned n) const {
        std::uint64_t v = 0;
        for (unsigned i = 0; i < n; ++i) v = (v << 8) | std::uint8_t(b_[at + i]);
        return v;
    }
    // The length of an object: info, or the integer after the marker when info is 0xF
    // (its 2^n bytes follow the integer's own marker); moves at past it.
    std::optional<std::uint64_t> length(std::uint64_t& at, unsigned info) const {
        if (info != 0xF) return info;
        if (!fits(at, 1)) return std::nullopt;
        const unsigned marker = std::uint8_t(b_[at]);
        if ((marker >> 4) != 0x1 || (marker & 0xF) > 3) return std::nullopt;
        const unsigned n = 1u << (marker & 0xF);
        if (!fits(at + 1, n)) return std::nullopt;
        const std::uint64_t v = be(at + 1, n);
        at += 1 + n;
        return v;
    }

    std::string_view b_;
    unsigned offsetSize_ = 0, refSize_ = 0;
    std::uint64_t table_ = 0, objects_ = 0;
};

}  // namespace

Type PlistNode::type() const {
    if (!node_) return Type::none;
    switch (plist_get_node_type(node(*this))) {
        case PLIST_BOOLEAN: return Type::boolean;
        case PLIST_UINT: return Type::integer;
        case PLIST_REAL: return Type::real;
        case PLIST_STRING: return Type::string;
        case PLIST_ARRAY: return Type::array;
        case PLIST_DICT: return Type::dictionary;
        case PLIST_DATA: return Type::data;
        case PLIST_DATE: return Type::date;
        default: return Type::other;
    }
}

std::optional<std::string> PlistNode::string() const {
    if (type() != Type::string) return std::nullopt;
    std::uint64_t length = 0;
    const char* p = plist_get_string_ptr(node(*this), &length);
    if (!p) return std::nullopt;
    return std::string(p, length);
}

std::optional<bool> PlistNode::boolean() const {
    if (type() != Type::boolean) return std::nullopt;
    std::uint8_t v = 0;
    plist_get_bool_val(node(*this), &v);
    return v != 0;
}

std::optional<std::int64_t> PlistNode::integer() const {
    if (type() != Type::integer) return std::nullopt;
    std::uint64_t v = 0;
    plist_get_uint_val(node(*this), &v);
    return static_cast<std::int64_t>(v);  // libplist keeps negative integers in two's complement
}

PlistNode PlistNode::operator[](std::string_view key) const {
    if (type() != Type::dictionary) return {};
    std::string k(key);
    return PlistNode(plist_dict_get_item(node(*this), k.c_str()));
}

void Plist::Free::operator()(void* n) const { plist_free(static_cast<plist_t>(n)); }

Plist Plist::dictionary() { return Plist(plist_new_dict()); }
Plist Plist::string(std::string_view value) { return Plist(plist_new_string(std::string(value).c_str())); }
Plist Plist::boolean(bool value) { return Plist(plist_new_bool(value ? 1 : 0)); }
Plist Plist::integer(std::int64_t value) { return Plist(plist_new_uint(static_cast<std::uint64_t>(value))); }

std::optional<Plist> Plist::parse(std::string_view bytes) {
    if (bytes.empty() || bytes.size() > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
    if (bytes.starts_with("bplist00") && !BinaryList(bytes).bounded()) return std::nullopt;
    plist_t out = nullptr;
    plist_from_memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &out);
    if (!out) return std::nullopt;
    return Plist(out);
}

std::optional<Plist> Plist::readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return parse(bytes);
}

void Plist::set(std::string_view key, Plist value) {
    if (root().type() != Type::dictionary) return;
    plist_dict_set_item(node_.get(), std::string(key).c_str(), value.node_.release());
}

std::string Plist::toXML() const {
    char* xml = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(node_.get(), &xml, &length);
    std::string out = xml ? std::string(xml, length) : std::string();
    if (xml) plist_to_xml_free(xml);
    return out;
}

std::optional<std::string> Plist::writeXMLFile(const std::filesystem::path& path) const {
    return replaceFile(path, toXML());
}

std::optional<std::string> Plist::replaceFile(const std::filesystem::path& path, std::string_view bytes) {
    std::filesystem::path tmp = path;
    tmp += ".tmp." + std::to_string(::getpid());
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        if (!out) return "cannot write " + tmp.string() + ": " + std::strerror(errno);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        out.flush();
        if (!out) {
            std::filesystem::remove(tmp);
            return "cannot write " + tmp.string();
        }
    }
    std::error_code ec;
    std::filesystem::rename(tmp, path, ec);
    if (ec) {
        std::filesystem::remove(tmp);
        return "cannot replace " + path.string() + ": " + ec.message();
    }
    return std::nullopt;
}

}  // namespace plist
