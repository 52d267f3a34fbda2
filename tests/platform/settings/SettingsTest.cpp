#include "Settings.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using qm::InMemorySettings;
using qm::SettingList;
using qm::SettingValue;

TEST(Settings, StoredValuesWinOverRegisteredOnesAndRemovalRestoresThem) {
    InMemorySettings s;
    s.setValue("font", "Courier");
    s.registerDefaults({{"font", "Menlo"}, {"size", 11.0}});
    EXPECT_EQ(s.stringValue("font"), "Courier");  // registering fills gaps only
    EXPECT_EQ(s.doubleValue("size"), 11.0);

    s.removeValue("font");
    EXPECT_EQ(s.stringValue("font"), "Menlo");
    s.removeValue("font");  // nothing stored: still the default
    EXPECT_EQ(s.stringValue("font"), "Menlo");

    s.registerDefaults({{"font", "Monaco"}});  // a later registration replaces the earlier default
    EXPECT_EQ(s.stringValue("font"), "Monaco");
    EXPECT_FALSE(s.value("missing").has_value());
}

TEST(Settings, TypedReadsConvertLikeUserDefaults) {
    struct Case {
        SettingValue value;
        bool asBool;
        double asDouble;
        std::optional<std::string> asString;
    };
    const Case cases[] = {
        {true, true, 1, std::nullopt},
        {false, false, 0, std::nullopt},
        {0, false, 0, "0"},
        {-3, true, -3, "-3"},
        {2.5, true, 2.5, "2.5"},
        {"YES", true, 0, "YES"},
        {"true", true, 0, "true"},
        {"no", false, 0, "no"},
        {"12.5", true, 12.5, "12.5"},
        {"0", false, 0, "0"},
        {"", false, 0, ""},
        {SettingList{"a"}, false, 0, std::nullopt},
    };
    for (const auto& c : cases) {
        InMemorySettings s;
        s.setValue("k", c.value);
        SCOPED_TRACE(c.asString.value_or("(none)"));
        EXPECT_EQ(s.boolValue("k"), c.asBool);
        EXPECT_EQ(s.doubleValue("k"), c.asDouble);
        EXPECT_EQ(s.stringValue("k"), c.asString);
        EXPECT_EQ(s.listValue("k").has_value(), c.value.get<SettingList>() != nullptr);
    }
    InMemorySettings empty;
    EXPECT_FALSE(empty.boolValue("k"));
    EXPECT_EQ(empty.doubleValue("k"), 0);
    EXPECT_FALSE(empty.stringValue("k"));
    EXPECT_FALSE(empty.listValue("k"));
}

TEST(Settings, ListsKeepMixedElements) {
    InMemorySettings s;
    s.setValue("paths", SettingList{"/a", 7, SettingList{true}});
    auto list = s.listValue("paths");
    ASSERT_TRUE(list);
    ASSERT_EQ(list->size(), 3u);
    EXPECT_EQ(*(*list)[0].get<std::string>(), "/a");
    EXPECT_EQ(*(*list)[1].get<std::int64_t>(), 7);
    EXPECT_EQ((*list)[2], SettingValue(SettingList{true}));
}

TEST(Settings, ObserversHearEveryChangeUntilRemoved) {
    InMemorySettings s;
    int calls = 0;
    std::optional<std::string> seen;
    auto id = s.addObserver([&] {
        ++calls;
        seen = s.stringValue("k");  // the change is in force, and reading back does not deadlock
    });
    s.setValue("k", "v");
    EXPECT_EQ(seen, "v");
    s.removeValue("k");
    s.registerDefaults({{"k", "d"}});
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(seen, "d");

    s.removeObserver(id);
    s.setValue("k", "w");
    EXPECT_EQ(calls, 3);
}

TEST(Settings, ConcurrentWritesReadsAndObserversAreSafe) {
    InMemorySettings s;
    s.registerDefaults({{"flag", true}});
    std::atomic<int> notified{0};
    s.addObserver([&] { notified.fetch_add(1, std::memory_order_relaxed); });
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 500; ++i) {
                s.setValue("k" + std::to_string(t), i);
                (void)s.boolValue("flag");
                auto id = s.addObserver([] {});
                s.removeObserver(id);
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(notified.load(), 4 * 500);
    EXPECT_EQ(s.doubleValue("k3"), 499);
}

TEST(Settings, StandardSettingsAreTheInstalledOnesAndCannotBeSwappedOnceUsed) {
    auto mine = std::make_unique<InMemorySettings>();
    qm::Settings* raw = mine.get();
    ASSERT_TRUE(qm::installStandardSettings(std::move(mine)));
    EXPECT_EQ(&qm::standardSettings(), raw);
    EXPECT_FALSE(qm::installStandardSettings(std::make_unique<InMemorySettings>()));
    EXPECT_EQ(&qm::standardSettings(), raw);
}
