#pragma once
// Property lists (XML or binary), read and written through libplist. A Plist owns a
// tree; a PlistNode is a borrowed view of one node in it, empty when a lookup found
// nothing or found a value of another kind.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace plist {

enum class Type { none, boolean, integer, real, string, array, dictionary, data, date, other };

class PlistNode {
public:
    PlistNode() = default;
    explicit PlistNode(void* node) : node_(node) {}

    Type type() const;
    explicit operator bool() const { return node_ != nullptr; }

    // The value when the node is of that kind, nothing otherwise.
    std::optional<std::string> string() const;
    std::optional<bool> boolean() const;
    std::optional<std::int64_t> integer() const;

    // The entry of a dictionary; an empty node when this is no dictionary or the key
    // is missing.
    PlistNode operator[](std::string_view key) const;
    // Property list dictionaries always have text keys.
    bool isDictionary() const { return type() == Type::dictionary; }

    void* raw() const { return node_; }

private:
    void* node_ = nullptr;
};

class Plist {
public:
    // A property list of one empty dictionary.
    static Plist dictionary();
    static Plist string(std::string_view value);
    static Plist boolean(bool value);
    static Plist integer(std::int64_t value);

    // Reads XML or binary property list bytes; nothing when they are neither, or when
    // a binary list shares a container between references, or shares leaves so often
    // that its tree would be many times its own size (see Plist.cpp).
    static std::optional<Plist> parse(std::string_view bytes);
    static std::optional<Plist> readFile(const std::filesystem::path& path);

    PlistNode root() const { return PlistNode(node_.get()); }

    // Sets key of the root dictionary to value (taking its tree); no effect when the
    // root is not a dictionary.
    void set(std::string_view key, Plist value);

    std::string toXML() const;
    // Writes the XML form to a temporary file beside path and renames it into place,
    // so that readers never see half a file. Returns an error text on failure.
    std::optional<std::string> writeXMLFile(const std::filesystem::path& path) const;
    // Writes bytes to path in the same way.
    static std::optional<std::string> replaceFile(const std::filesystem::path& path, std::string_view bytes);

private:
    struct Free {
        void operator()(void* node) const;
    };
    explicit Plist(void* node) : node_(node) {}
    std::unique_ptr<void, Free> node_;
};

}  // namespace plist
