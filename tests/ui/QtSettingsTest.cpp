// The QSettings-backed settings keep every kind of value across instances.
#include "QtSettings.h"
#include "UiTestSupport.h"

using namespace uitest;

namespace {

TEST(QtSettingsTest, ValuesComeBackWithTheirKindAfterReopening) {
    TempDir dir;
    const QString path = QString::fromStdString((dir / "settings.ini").string());
    const std::vector<std::pair<std::string, qm::SettingValue>> values{
        {"flagOn", true},
        {"flagOff", false},
        {"count", std::int64_t{-42}},
        {"size", 11.5},
        {"name", "DejaVu Sans Mono"},
        {"paths", qm::SettingList{"/Library/LaunchDaemons/", "/etc/rc.*", "a, b"}},
        {"onePath", qm::SettingList{"/usr/bin/sudo"}},
        {"mixed", qm::SettingList{true, std::int64_t{3}, "x"}},
    };
    {
        qm::QtSettings settings(path);
        for (const auto& [key, value] : values) settings.setValue(key, value);
        settings.setValue("gone", "soon");
        settings.removeValue("gone");
    }
    qm::QtSettings reopened(path);
    for (const auto& [key, value] : values) {
        SCOPED_TRACE(key);
        EXPECT_EQ(reopened.value(key), value);
    }
    EXPECT_FALSE(reopened.value("gone").has_value());
}

TEST(QtSettingsTest, StoredValuesWinOverRegisteredOnesAndObserversHearChanges) {
    TempDir dir;
    qm::QtSettings settings(QString::fromStdString((dir / "settings.ini").string()));
    qm::registerDefaultSettings(settings);
    EXPECT_EQ(settings.stringValue(qm::keys::JSONFontName), "Menlo");
    int changes = 0;
    settings.addObserver([&] { ++changes; });
    settings.setValue(qm::keys::stickyRowEnabled, false);
    EXPECT_FALSE(settings.boolValue(qm::keys::stickyRowEnabled));
    settings.removeValue(qm::keys::stickyRowEnabled);
    EXPECT_TRUE(settings.boolValue(qm::keys::stickyRowEnabled));
    EXPECT_EQ(changes, 2);
}

}  // namespace
