// Windows open inside the available area of the screen they open on: the fitting
// rule itself, the preferences and details windows on a small and a tall screen
// (this program's screens, named in tests/ui/CMakeLists.txt), and a window shown again.

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

#include "AppDelegate.h"
#include "EventDetailsController.h"
#include "PreferencesWindow.h"
#include "UiTestSupport.h"
#include "WindowPlacement.h"

namespace {

TEST(WindowPlacement, FittingMovesAndShrinksTheFrameIntoTheArea) {
    const QRect tall(1024, 0, 1600, 1000);    // a second screen right of the first
    const QRect panel(0, 30, 1024, 570);      // a screen under a 30-pixel panel
    struct Case {
        const char* what;
        QRect area, frame, fitted;
    };
    const Case cases[] = {
        {"inside", tall, {1100, 100, 564, 550}, {1100, 100, 564, 550}},
        {"touching every edge", tall, tall, tall},
        {"below the bottom", tall, {1026, 495, 564, 550}, {1026, 450, 564, 550}},
        {"beyond the right", tall, {2400, 10, 564, 550}, {2060, 10, 564, 550}},
        {"left of the left", tall, {900, 10, 564, 550}, {1024, 10, 564, 550}},
        {"taller than the area", panel, {100, 0, 644, 744}, {100, 30, 644, 570}},
        {"larger both ways", tall, {1000, -20, 1700, 1100}, tall},
    };
    for (const auto& c : cases) EXPECT_EQ(qm::fittedInto(c.frame, c.area), c.fitted) << c.what;
}

class PlacementTest : public ::testing::Test {
protected:
    void SetUp() override {
        uitest::setUpApplication();
        qm::registerDefaultSettings(settings);
        const auto screens = QGuiApplication::screens();
        ASSERT_EQ(screens.size(), 2);
        small = screens[0], tall = screens[1];
        ASSERT_EQ(small->availableGeometry().height(), 600);
        ASSERT_EQ(tall->availableGeometry().height(), 1000);
    }

    // Makes a plain window on the screen the active window, as the main window is
    // when the user opens another.
    void activateMainWindowOn(QScreen* screen) {
        mainWindow.setWindowTitle("main");
        mainWindow.resize(300, 200);
        mainWindow.move(screen->availableGeometry().topLeft() + QPoint(40, 40));
        mainWindow.show();
        mainWindow.activateWindow();
        ASSERT_TRUE(uitest::waitUntil([&] { return QApplication::activeWindow() == &mainWindow; }));
        ASSERT_EQ(mainWindow.screen(), screen);
    }

    static bool inside(const QWidget& window, const QScreen* screen) {
        return screen->availableGeometry().contains(window.frameGeometry());
    }

    qm::InMemorySettings settings;
    QScreen* small = nullptr;
    QScreen* tall = nullptr;
    QWidget mainWindow;
};

TEST_F(PlacementTest, PreferencesAndDetailsOpenInsideTheActiveWindowsScreen) {
    for (QScreen* screen : {tall, small}) {
        SCOPED_TRACE(screen == tall ? "tall screen" : "small screen");
        activateMainWindowOn(screen);
        qm::AppDelegate delegate(settings);
        delegate.showPreferences();
        qm::EventDetailsController details(settings);
        details.showJSON("event", "{}");
        for (QWidget* window : {static_cast<QWidget*>(delegate.preferncesController.get()),
                                static_cast<QWidget*>(&details)}) {
            ASSERT_TRUE(uitest::waitUntil([&] { return window->isVisible(); }));
            EXPECT_TRUE(inside(*window, screen)) << window->windowTitle().toStdString() << " at "
                                                 << window->frameGeometry().y() << "+"
                                                 << window->frameGeometry().height();
        }
    }
}

TEST_F(PlacementTest, AWindowShownAgainKeepsItsPlaceOrMovesInside) {
    activateMainWindowOn(tall);
    qm::AppDelegate delegate(settings);
    delegate.showPreferences();
    QWidget* window = delegate.preferncesController.get();
    const QRect area = tall->availableGeometry();

    // Put where the user left it, inside: it opens there again.
    const QPoint chosen = area.topLeft() + QPoint(30, 20);
    window->move(chosen);
    window->hide();
    delegate.showPreferences();
    EXPECT_EQ(window->pos(), chosen);

    // Left partly below the bottom edge: it comes back inside, as large as before.
    const QSize size = window->frameGeometry().size();
    window->move(area.left() + 2, area.bottom() - 200);
    window->hide();
    delegate.showPreferences();
    EXPECT_TRUE(inside(*window, tall)) << window->frameGeometry().y();
    EXPECT_EQ(window->frameGeometry().size(), size);
}

}  // namespace
