#include "Bundle.h"

#include <cstdio>
#include <cstdlib>

namespace bundle {

namespace fs = std::filesystem;

std::optional<Bundle> Bundle::open(const fs::path& path) {
    std::error_code ec;
    if (!fs::is_directory(path, ec)) return std::nullopt;
    fs::path absolute = fs::absolute(path, ec).lexically_normal();
    if (!absolute.has_filename()) absolute = absolute.parent_path();  // "x/" names x
    auto info = plist::Plist::readFile(absolute / "Contents" / "Info.plist");
    if (!info || !info->root().isDictionary()) info = plist::Plist::dictionary();
    return Bundle(absolute, std::make_shared<const plist::Plist>(std::move(*info)));
}

const Bundle& Bundle::main() {
    static const Bundle mainBundle = [] {
        std::error_code ec;
        fs::path exe = fs::read_symlink("/proc/self/exe", ec);
        fs::path dir = exe.parent_path();
        fs::path root = dir;
        if (dir.filename() == "MacOS" && dir.parent_path().filename() == "Contents") {
            root = dir.parent_path().parent_path();
        }
        auto b = open(root);
        if (!b) {
            std::fprintf(stderr, "cannot open the main bundle at %s\n", root.c_str());
            std::abort();
        }
        return *b;
    }();
    return mainBundle;
}

std::string Bundle::bundleURL() const { return fileURL(path_, true); }

plist::PlistNode Bundle::infoDictionary() const { return info_->root(); }

plist::PlistNode Bundle::objectForInfoDictionaryKey(std::string_view key) const { return info_->root()[key]; }

std::optional<std::string> Bundle::bundleIdentifier() const {
    return objectForInfoDictionaryKey("CFBundleIdentifier").string();
}

std::optional<fs::path> Bundle::executablePath() const {
    auto name = objectForInfoDictionaryKey("CFBundleExecutable").string();
    if (!name || name->empty()) return std::nullopt;
    return path_ / "Contents" / "MacOS" / *name;
}

std::string fileURL(const fs::path& path, bool isDirectory) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out = "file://";
    for (unsigned char c : path.string()) {
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                     std::string_view("/-._~!$&'()*+,;=:@").find(char(c)) != std::string_view::npos;
        if (plain) {
            out += char(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    if (isDirectory && out.back() != '/') out += '/';
    return out;
}

}  // namespace bundle
