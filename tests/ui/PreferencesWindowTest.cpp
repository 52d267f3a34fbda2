// The preferences window: each switch writes its key at once, the switches are
// read again whenever the window is shown, closing hides the one window; and the
// details window's font rule.

#include <QCheckBox>
#include <QFontDatabase>
#include <QFontInfo>
#include <QTableWidget>

#include "AppDelegate.h"
#include "EventAnnotator.h"
#include "PreferencesWindow.h"
#include "UiTestSupport.h"

namespace {

using qm::PreferencesViewController;

class PreferencesTest : public ::testing::Test {
protected:
    void SetUp() override { qm::registerDefaultSettings(settings); }
    qm::InMemorySettings settings;
};

TEST_F(PreferencesTest, EachSwitchWritesItsKeyAtOnce) {
    qm::PreferencesWindowController window(settings);
    window.show();
    const struct {
        QCheckBox* PreferencesViewController::*button;
        std::string_view key;
    } switches[] = {
        {&PreferencesViewController::rootUserButton, qm::keys::annotateRootUserEnabled},
        {&PreferencesViewController::quarantineButton, qm::keys::annotateQuarantinesEnabled},
        {&PreferencesViewController::privilegedPathsButton, qm::keys::annotatePathsEnabled},
        {&PreferencesViewController::tailInfoPopupButton, qm::keys::tailInfoPopupEnabled},
        {&PreferencesViewController::tailBigFButton, qm::keys::tailUseBigF},
    };
    for (const auto& s : switches) {
        QCheckBox* button = window.content->*s.button;
        const bool before = settings.boolValue(s.key);
        EXPECT_EQ(button->isChecked(), before) << s.key;
        button->click();
        EXPECT_EQ(settings.value(s.key), qm::SettingValue(!before)) << s.key;
        button->click();
        EXPECT_EQ(settings.value(s.key), qm::SettingValue(before)) << s.key;
    }
}

TEST_F(PreferencesTest, UntickingPrivilegedPathsStopsMarkingLaterEvents) {
    qm::EventAnnotator annotator(settings);
    qm::PreferencesWindowController window(settings);
    window.show();
    auto launchDaemon = [] {
        return storetest::message(storetest::openOf("/Library/LaunchDaemons/com.example.plist"),
                                  storetest::process("/bin/cp"));
    };
    EXPECT_TRUE(storetest::item(launchDaemon(), annotator)->annotations().contains(qm::EventAnnotation::PRIVILEGED_PATH));
    window.content->privilegedPathsButton->click();
    EXPECT_FALSE(settings.boolValue(qm::keys::annotatePathsEnabled));
    EXPECT_FALSE(storetest::item(launchDaemon(), annotator)->annotations().contains(qm::EventAnnotation::PRIVILEGED_PATH));
}

TEST_F(PreferencesTest, ClosingHidesTheOneWindowAndShowingRereadsTheSettings) {
    qm::AppDelegate delegate(settings);
    delegate.showPreferences();
    qm::PreferencesWindowController* window = delegate.preferncesController.get();
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(window->content->tailInfoPopupButton->isChecked());
    EXPECT_EQ(window->windowTitle(), window->content->windowTitle());

    EXPECT_FALSE(window->close());
    EXPECT_FALSE(window->isVisible());

    // Changed elsewhere (the follow hint's check box) while hidden.
    settings.setValue(qm::keys::tailInfoPopupEnabled, false);
    delegate.showPreferences();
    EXPECT_EQ(delegate.preferncesController.get(), window);
    EXPECT_TRUE(window->isVisible());
    EXPECT_FALSE(window->content->tailInfoPopupButton->isChecked());
}

TEST_F(PreferencesTest, PathRowsCountThePrivilegedPathList) {
    qm::PreferencesWindowController window(settings);
    window.show();
    EXPECT_EQ(window.numberOfRowsInTableView(), int(qm::defaultAnnotatePaths().size()));
    EXPECT_EQ(window.pathsTable->rowCount(), window.numberOfRowsInTableView());
    EXPECT_EQ(window.pathsTable->item(0, 0)->text().toStdString(), qm::defaultAnnotatePaths()[0]);

    qm::InMemorySettings empty;
    qm::PreferencesWindowController bare(empty);
    bare.show();
    EXPECT_EQ(bare.numberOfRowsInTableView(), 0);
    EXPECT_EQ(bare.pathsTable->rowCount(), 0);
}

TEST_F(PreferencesTest, DetailsFontFallsBackToTheRegisteredFont) {
    // The registered family where the machine has it, else the system's fixed font.
    const QString fallback = QFontDatabase::hasFamily("Menlo")
                                 ? QStringLiteral("Menlo")
                                 : QFontDatabase::systemFont(QFontDatabase::FixedFont).family();
    const struct {
        const char* name;
        double size;
        QString family;
        double expectedSize;
    } cases[] = {
        {"DejaVu Sans Mono", 14.0, "DejaVu Sans Mono", 14.0},
        {"No Such Font Anywhere", 14.0, fallback, 11.0},
        {"DejaVu Sans Mono", 0.0, fallback, 11.0},
    };
    for (const auto& c : cases) {
        settings.setValue(qm::keys::JSONFontName, c.name);
        settings.setValue(qm::keys::JSONFontSize, c.size);
        const QFont font = qm::jsonDetailsFont(settings);
        EXPECT_EQ(font.family(), c.family) << c.name;
        EXPECT_DOUBLE_EQ(font.pointSizeF(), c.expectedSize) << c.name;
    }
    // The font shown is the one the machine gives for that fallback.
    settings.setValue(qm::keys::JSONFontName, "No Such Font Anywhere");
    QFont expected(fallback);
    expected.setStyleHint(QFont::TypeWriter);
    EXPECT_EQ(QFontInfo(qm::jsonDetailsFont(settings)).family(), QFontInfo(expected).family());
}

}  // namespace
