// Shell's JSON and property-list results: the expected type, another type, output that
// does not parse, a failed command, and values decoded from the parsed root.
#include <gtest/gtest.h>

#include <functional>

#include "ShellFormats.h"

using namespace subprocess;
using Kind = SubprocessError::Kind;

namespace {

Shell sh(const std::string& script) {
    return Shell({"/bin/sh", "-c", script});
}

std::string xmlPlist(const std::string& body) {
    return "printf '%s' '<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\">" + body +
           "</plist>'";
}

// What a call threw: a SubprocessError's kind and text, "parse error" for the parser's
// own error, "ok" for none.
std::string outcome(const std::function<void()>& call) {
    try {
        call();
        return "ok";
    } catch (const SubprocessError& e) {
        const char* names[] = {"exitedWithNonZeroStatus", "unexpectedPropertyListObject",
                               "unexpectedJSONObject", "inputStringEncodingError",
                               "outputStringEncodingError"};
        return std::string(names[static_cast<int>(e.kind())]) + " " + e.text();
    } catch (const simdjson::simdjson_error&) {
        return "parse error";
    } catch (const PropertyListParseError&) {
        return "parse error";
    }
}

TEST(ShellFormats, JSONOfTheExpectedType) {
    struct Case {
        const char* script;
        JSONType expected;
        const char* outcome;
    };
    const Case cases[] = {
        {"printf '{\"a\":[1,2]}'", JSONType::object, "ok"},
        {"printf ' [1] \\n'", JSONType::array, "ok"},
        {"printf 2.5", JSONType::number, "ok"},
        {"printf 18446744073709551615", JSONType::number, "ok"},
        {"printf null", JSONType::null, "ok"},
        {"printf '[1]'", JSONType::object, "unexpectedJSONObject array"},
        {"printf '\"x\"'", JSONType::array, "unexpectedJSONObject string"},
        {"printf true", JSONType::object, "unexpectedJSONObject boolean"},
        {"printf '{\"a\":'", JSONType::object, "parse error"},
        {"printf ''", JSONType::object, "parse error"},
        {"printf '{} {}'", JSONType::object, "parse error"},
        {"printf '{}'; exit 4", JSONType::object, "exitedWithNonZeroStatus {}"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(outcome([&] {
                      auto shell = sh(c.script);
                      execJSON(shell, c.expected);
                  }),
                  c.outcome)
            << c.script;

    auto shell = sh("printf '{\"a\":[1,2]}'");
    const auto output = execJSON(shell, JSONType::object);
    EXPECT_EQ(simdjson::dom::array(output.root()["a"]).size(), 2u);
    EXPECT_EQ(SubprocessError::unexpectedJSONObject("array").errorDescription(),
              "The JSON object could not be cast to expected type");
}

TEST(ShellFormats, PropertyListOfTheExpectedType) {
    struct Case {
        std::string script;
        plist::Type expected;
        const char* outcome;
    };
    const Case cases[] = {
        {xmlPlist("<dict><key>k</key><string>v</string></dict>"), plist::Type::dictionary, "ok"},
        {xmlPlist("<array><integer>1</integer></array>"), plist::Type::array, "ok"},
        {xmlPlist("<array/>"), plist::Type::dictionary, "unexpectedPropertyListObject array"},
        {xmlPlist("<string>x</string>"), plist::Type::dictionary, "unexpectedPropertyListObject string"},
        {"printf 'no property list'", plist::Type::dictionary, "parse error"},
        {"printf ''", plist::Type::dictionary, "parse error"},
        {xmlPlist("<dict/>") + "; exit 3", plist::Type::dictionary, "exitedWithNonZeroStatus "},
    };
    for (const auto& c : cases) {
        const std::string result = outcome([&] {
            auto shell = sh(c.script);
            execPropertyList(shell, c.expected);
        });
        // A failed command's text is its output, the whole XML.
        EXPECT_EQ(result.substr(0, std::string_view(c.outcome).size()), c.outcome) << c.script;
    }

    auto shell = sh(xmlPlist("<dict><key>k</key><string>v</string></dict>"));
    EXPECT_EQ(execPropertyList(shell, plist::Type::dictionary).root()["k"].string(), "v");
    EXPECT_EQ(SubprocessError::unexpectedPropertyListObject("array").errorDescription(),
              "The property list object could not be cast to expected type");
}

TEST(ShellFormats, DecodedValues) {
    struct Version {
        std::string name;
        std::int64_t number;
    };
    const auto fromJSON = [](simdjson::dom::element root) {
        return Version{std::string(std::string_view(root["name"])), std::int64_t(root["number"])};
    };
    auto json = sh("printf '{\"number\":7,\"name\":\"seven\"}'");
    const Version v = execDecodingJSON(json, fromJSON);
    EXPECT_EQ(v.name, "seven");
    EXPECT_EQ(v.number, 7);
    // The decoder's own error, the parser's and the exit status pass through.
    EXPECT_EQ(outcome([&] {
                  auto shell = sh("printf '{\"name\":\"x\"}'");
                  execDecodingJSON(shell, fromJSON);
              }),
              "parse error");
    EXPECT_EQ(outcome([&] {
                  auto shell = sh("printf '{'; exit 0");
                  execDecodingJSON(shell, fromJSON);
              }),
              "parse error");
    EXPECT_EQ(outcome([&] {
                  auto shell = sh("printf '{}'; exit 1");
                  execDecodingJSON(shell, fromJSON);
              }),
              "exitedWithNonZeroStatus {}");

    auto list = sh(xmlPlist("<dict><key>name</key><string>eight</string></dict>"));
    EXPECT_EQ(execDecodingPropertyList(list, [](plist::PlistNode root) { return root["name"].string(); }),
              "eight");
    EXPECT_EQ(outcome([&] {
                  auto shell = sh("printf 'x'");
                  execDecodingPropertyList(shell, [](plist::PlistNode) { return 0; });
              }),
              "parse error");
}

}  // namespace
