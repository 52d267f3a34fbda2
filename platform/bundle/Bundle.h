#pragma once
// Bundles: folders shaped like NAME.app or NAME.systemextension, with
// Contents/Info.plist and the executable in Contents/MacOS.

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "Plist.h"

namespace bundle {

class Bundle {
public:
    // The bundle at path; nothing when path is no directory. A bundle without a
    // readable Info.plist has an empty info dictionary.
    static std::optional<Bundle> open(const std::filesystem::path& path);

    // The bundle of the running executable: the folder that holds Contents/MacOS/<exe>,
    // or, for an executable outside any bundle, the folder that holds it.
    static const Bundle& main();

    const std::filesystem::path& bundlePath() const { return path_; }
    // The bundle's location as an absolute file URL ending in "/".
    std::string bundleURL() const;

    // The Info.plist root (a dictionary) and one of its values; empty nodes when absent.
    plist::PlistNode infoDictionary() const;
    plist::PlistNode objectForInfoDictionaryKey(std::string_view key) const;

    // "CFBundleIdentifier" when it is a text.
    std::optional<std::string> bundleIdentifier() const;
    // Contents/MacOS/<"CFBundleExecutable">, when the Info.plist names one.
    std::optional<std::filesystem::path> executablePath() const;

private:
    Bundle(std::filesystem::path path, std::shared_ptr<const plist::Plist> info)
        : path_(std::move(path)), info_(std::move(info)) {}

    std::filesystem::path path_;
    std::shared_ptr<const plist::Plist> info_;
};

// An absolute file URL for path ("file:///a%20b/"), a trailing "/" for directories.
std::string fileURL(const std::filesystem::path& path, bool isDirectory);

}  // namespace bundle
