// Shell: collected output of finished commands, the exit-status check, decoding, and the
// error type's texts.
#include <gtest/gtest.h>

#include "Shell.h"

using namespace subprocess;
using Options = Shell::OutputOptions;
using Kind = SubprocessError::Kind;

namespace {

Shell sh(const std::string& script) {
    return Shell({"/bin/sh", "-c", script});
}

TEST(Shell, ReturnsTheSelectedStreamsOutputFirst) {
    struct Case {
        const char* script;
        Options options;
        Bytes expected;
    };
    const Case cases[] = {
        {"printf 'one\\ntwo\\n'", Options::standardOutput, "one\ntwo\n"},
        {"printf b >&2; sleep 0.05; printf a", Options::both, "ab"},
        {"printf b >&2; printf a", Options::standardOutput, "a"},
        {"printf b >&2; printf a", Options::standardError, "b"},
        {"printf b >&2; printf a", Options{0}, ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(sh(c.script).exec(std::nullopt, c.options), c.expected) << c.script;
    EXPECT_EQ(Shell({"/bin/cat"}).exec(Subprocess::Input::text("in\n")), "in\n");
}

TEST(Shell, NonZeroStatusThrowsWithTheCollectedText) {
    struct Case {
        const char* script;
        Options options;
        int status;
        const char* text;
    };
    const Case cases[] = {
        {"exit 1", Options::standardOutput, 1, ""},
        {"printf '\\377'; exit 2", Options::standardOutput, 2, ""},  // not UTF-8
        {"echo out; echo err >&2; exit 3", Options::standardOutput, 3, "out\n"},
        {"echo out; echo err >&2; exit 3", Options::both, 3, "out\nerr\n"},
        {"kill -9 $$", Options::standardOutput, 9, ""},
    };
    for (const auto& c : cases) {
        try {
            sh(c.script).exec(std::nullopt, c.options);
            ADD_FAILURE() << c.script << " did not throw";
        } catch (const SubprocessError& e) {
            EXPECT_EQ(e.kind(), Kind::exitedWithNonZeroStatus) << c.script;
            EXPECT_EQ(e.status(), c.status) << c.script;
            EXPECT_EQ(e.text(), c.text) << c.script;
            EXPECT_EQ(e.errorDescription(), c.text) << c.script;
        }
    }
}

TEST(Shell, MissingExecutableThrowsTheSystemError) {
    EXPECT_THROW(Shell({"/nonexistent/eslogger", "--list-events"}).exec(), std::system_error);
}

TEST(Shell, TextForms) {
    EXPECT_EQ(sh("printf 'caf\\351'")
                  .execText(std::nullopt, Options::standardOutput, TextEncoding::isoLatin1),
              "café");
    EXPECT_EQ(sh("printf 'x'; exit 0").execText(), "x");
    try {
        sh("printf 'caf\\351'").execText();
        ADD_FAILURE() << "invalid UTF-8 decoded";
    } catch (const SubprocessError& e) {
        EXPECT_EQ(e.kind(), Kind::outputStringEncodingError);
    }
    try {
        sh("echo sorry; exit 6").execText();
        ADD_FAILURE() << "status 6 not reported";
    } catch (const SubprocessError& e) {
        EXPECT_EQ(e.status(), 6);
        EXPECT_EQ(e.text(), "sorry\n");
    }
    // A transform sees the process and the text.
    auto lines = sh("printf 'a\\nb\\n'")
                     .execText(std::nullopt, Options::standardOutput, TextEncoding::utf8,
                               [](Subprocess& p, std::string text) {
                                   return std::to_string(p.exitCode()) + ":" + text;
                               });
    EXPECT_EQ(lines, "0:a\nb\n");
}

TEST(Shell, OutputOptionsAreFlags) {
    EXPECT_EQ(Options::standardOutput | Options::standardError, Options::both);
    EXPECT_EQ(Options::both & Options::standardError, Options::standardError);
    EXPECT_TRUE(Options::both.contains(Options::standardOutput));
    EXPECT_FALSE(Options::standardError.contains(Options::standardOutput));
    EXPECT_EQ(Options::both.rawValue, 3);
}

TEST(SubprocessError, Descriptions) {
    const std::pair<SubprocessError, const char*> table[] = {
        {SubprocessError::exitedWithNonZeroStatus(1, "tool said no"), "tool said no"},
        {SubprocessError::unexpectedPropertyListObject("Array"),
         "The property list object could not be cast to expected type"},
        {SubprocessError::unexpectedJSONObject("Array"),
         "The JSON object could not be cast to expected type"},
        {SubprocessError::inputStringEncodingError(), "Input string could not be encoded"},
        {SubprocessError::outputStringEncodingError(), "Output string could not be encoded"},
    };
    for (const auto& [error, text] : table) {
        EXPECT_EQ(error.errorDescription(), text);
        EXPECT_STREQ(error.what(), text);
    }
}

TEST(TextEncoding, EncodeAndDecode) {
    struct Case {
        TextEncoding encoding;
        std::string text;
        std::optional<Bytes> bytes;  // nothing: the text cannot be encoded
    };
    const Case cases[] = {
        {TextEncoding::utf8, "café ✓", "café ✓"},
        {TextEncoding::utf8, "bad \xC3", std::nullopt},
        {TextEncoding::utf8, "\xED\xA0\x80", std::nullopt},  // surrogate
        {TextEncoding::utf8, "\xC0\xAF", std::nullopt},      // overlong
        {TextEncoding::ascii, "plain", "plain"},
        {TextEncoding::ascii, "café", std::nullopt},
        {TextEncoding::isoLatin1, "café", "caf\xE9"},
        {TextEncoding::isoLatin1, "✓", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(encode(c.text, c.encoding), c.bytes) << c.text;
        if (c.bytes) {
            EXPECT_EQ(decode(*c.bytes, c.encoding), c.text) << c.text;
        }
    }
    EXPECT_EQ(decode("\xE9", TextEncoding::ascii), std::nullopt);
    EXPECT_EQ(decode("\xE9", TextEncoding::utf8), std::nullopt);
}

}  // namespace
