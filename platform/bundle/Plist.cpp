#include "Plist.h"

#include <plist/plist.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <unistd.h>

namespace plist {

namespace {
plist_t node(const PlistNode& n) { return static_cast<plist_t>(n.raw()); }
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
    std::string xml = toXML();
    std::filesystem::path tmp = path;
    tmp += ".tmp." + std::to_string(::getpid());
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        if (!out) return "cannot write " + tmp.string() + ": " + std::strerror(errno);
        out.write(xml.data(), static_cast<std::streamsize>(xml.size()));
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
