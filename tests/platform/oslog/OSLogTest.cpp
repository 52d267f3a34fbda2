#include "OSLog.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

TEST(OSLogRender, TextsArePrivateUnlessPublic) {
    const std::pair<std::string_view, std::string> cases[] = {
        {"Starting XPC listener for mach service %{public}s", "Starting XPC listener for mach service svc"},
        {"private text %s", "private text <private>"},
        {"object %{public}@", "object svc"},
        {"object %@", "object <private>"},
        {"100%% done %{public}s", "100% done svc"},
    };
    for (const auto& [format, expected] : cases) EXPECT_EQ(oslog::render(format, {"svc"}), expected) << format;
}

TEST(OSLogRender, NumbersArePublicUnlessPrivate) {
    const std::pair<std::string_view, std::string> cases[] = {
        {"pid: %ld", "pid: -5"},
        {"status: %{public}d", "status: -5"},
        {"hidden %{private}d", "hidden <private>"},
    };
    for (const auto& [format, expected] : cases) EXPECT_EQ(oslog::render(format, {-5}), expected) << format;
}

TEST(OSLogRender, MissingArgumentsAndUnsignedValues) {
    EXPECT_EQ(oslog::render("a %{public}s b %ld", {"x"}), "a x b <missing>");
    EXPECT_EQ(oslog::render("%lu", {std::uint32_t(4294967295u)}), "4294967295");
    EXPECT_EQ(oslog::render("no placeholders", {}), "no placeholders");
}

TEST(OSLogCapture, CollectsEveryLevelFromEveryThreadWhileAlive) {
    oslog::Logger log("com.example.test", "Cat");
    log.info("before");
    oslog::LogCapture capture;
    log.debug("one %ld", 1);
    std::thread([&] { log.error("two %{public}s", "x"); }).join();
    log.fault("three");
    auto entries = capture.entries();
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].level, oslog::Level::debug);
    EXPECT_EQ(entries[1].message, "two x");
    EXPECT_EQ(entries[2].subsystem, "com.example.test");
    EXPECT_EQ(capture.messages("Cat"), (std::vector<std::string>{"one 1", "two x", "three"}));
    EXPECT_TRUE(capture.messages("Other").empty());
}

}  // namespace
