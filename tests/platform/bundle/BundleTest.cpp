#include "Bundle.h"
#include "Plist.h"

#include <gtest/gtest.h>

#include <fstream>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/qm-bundle-XXXXXX";
        path_ = ::mkdtemp(tmpl);
    }
    ~TempDir() { fs::remove_all(path_); }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

void writeFile(const fs::path& p, std::string_view text) {
    fs::create_directories(p.parent_path());
    std::ofstream(p) << text;
}

constexpr std::string_view kInfo = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
  <key>CFBundleIdentifier</key><string>com.example.Ext</string>
  <key>CFBundleExecutable</key><string>ext</string>
  <key>CFBundleShortVersionString</key><string>1.2</string>
  <key>Count</key><integer>-3</integer>
  <key>NetworkExtension</key><dict><key>NEMachServiceName</key><string>svc.name</string></dict>
</dict>
</plist>
)";

TEST(Plist, LookupsGiveValuesOnlyOfTheirKind) {
    auto p = plist::Plist::parse(kInfo);
    ASSERT_TRUE(p);
    plist::PlistNode root = p->root();
    EXPECT_EQ(root["NetworkExtension"]["NEMachServiceName"].string(), "svc.name");
    EXPECT_EQ(root["Count"].integer(), -3);
    EXPECT_FALSE(root["Count"].string());
    EXPECT_FALSE(root["CFBundleIdentifier"]["x"]);  // lookup inside a text
    EXPECT_FALSE(root["missing"]["deeper"]);
    EXPECT_FALSE(plist::Plist::parse("not a plist"));
    EXPECT_FALSE(plist::Plist::parse(""));
}

TEST(Plist, WrittenFileReadsBack) {
    TempDir dir;
    plist::Plist p = plist::Plist::dictionary();
    p.set("Enabled", plist::Plist::boolean(true));
    plist::Plist inner = plist::Plist::dictionary();
    inner.set("Name", plist::Plist::string("Quillmark & co"));
    p.set("Inner", std::move(inner));
    p.set("Enabled", plist::Plist::boolean(false));  // replaces
    fs::path file = dir.path() / "a.plist";
    EXPECT_FALSE(p.writeXMLFile(file));
    auto back = plist::Plist::readFile(file);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->root()["Enabled"].boolean(), false);
    EXPECT_EQ(back->root()["Inner"]["Name"].string(), "Quillmark & co");
    EXPECT_TRUE(p.writeXMLFile(dir.path() / "missing-dir" / "a.plist"));
}

TEST(Bundle, ReadsInfoPlistOfABundleFolder) {
    TempDir dir;
    fs::path root = dir.path() / "My Ext.systemextension";
    writeFile(root / "Contents" / "Info.plist", kInfo);
    auto b = bundle::Bundle::open(root);
    ASSERT_TRUE(b);
    EXPECT_EQ(b->bundleIdentifier(), "com.example.Ext");
    EXPECT_EQ(b->executablePath(), root / "Contents" / "MacOS" / "ext");
    EXPECT_EQ(b->objectForInfoDictionaryKey("CFBundleShortVersionString").string(), "1.2");
    EXPECT_EQ(b->bundleURL(), "file://" + dir.path().string() + "/My%20Ext.systemextension/");
}

TEST(Bundle, FolderWithoutInfoPlistAndMissingFolder) {
    TempDir dir;
    auto b = bundle::Bundle::open(dir.path());
    ASSERT_TRUE(b);
    EXPECT_TRUE(b->infoDictionary().isDictionary());
    EXPECT_FALSE(b->bundleIdentifier());
    EXPECT_FALSE(bundle::Bundle::open(dir.path() / "none"));
}

TEST(Bundle, MainBundleOfAPlainExecutableIsItsFolder) {
    fs::path exe = fs::read_symlink("/proc/self/exe");
    EXPECT_EQ(bundle::Bundle::main().bundlePath(), exe.parent_path());
}

}  // namespace
