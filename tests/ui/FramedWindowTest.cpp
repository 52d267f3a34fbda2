// Windows fitted with the frame their window manager gives them: the main, details
// and preferences windows on a 1024x768 screen that openbox manages (QtTestMain
// starts both for this program; the offscreen platform draws no frames).

#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <QStatusBar>

#include <cstdlib>
#include <sstream>

#include "AppDelegate.h"
#include "EventDetailsController.h"
#include "MainWindowController.h"
#include "UiTestSupport.h"
#include "WindowPlacement.h"

namespace {

std::string describe(const QRect& r) {
    std::ostringstream text;
    text << r.width() << "x" << r.height() << "+" << r.x() << "+" << r.y();
    return text.str();
}

class FramedWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char* why = std::getenv("QM_NO_WINDOW_MANAGER")) GTEST_SKIP() << why;
        uitest::setUpApplication();
        qm::registerDefaultSettings(settings);
        ASSERT_EQ(QGuiApplication::primaryScreen()->geometry(), QRect(0, 0, 1024, 768));
    }

    // Waits until the window manager has framed the window and the whole frame lies
    // in the screen's available area.
    static void expectFramedInside(const QWidget& window) {
        const QRect area = window.screen()->availableGeometry();
        const bool inside = uitest::waitUntil([&] {
            return window.isVisible() && window.frameGeometry() != window.geometry() &&
                   area.contains(window.frameGeometry());
        });
        EXPECT_TRUE(inside) << window.windowTitle().toStdString() << ": frame " << describe(window.frameGeometry())
                            << ", window " << describe(window.geometry()) << ", area " << describe(area);
    }

    qm::InMemorySettings settings;
};

TEST_F(FramedWindowTest, MainWindowLargerThanTheScreenFitsFrameAndStatusLine) {
    qm::MainWindowController window(settings);
    ASSERT_GT(window.height(), 768);
    qm::showWithinScreen(&window);
    expectFramedInside(window);
    const QRect status(window.statusBar()->mapToGlobal(QPoint(0, 0)), window.statusBar()->size());
    EXPECT_TRUE(window.screen()->availableGeometry().contains(status)) << describe(status);
}

TEST_F(FramedWindowTest, DetailsAndPreferencesFitWithTheirFrames) {
    // The details window as large as the screen: its frame must still fit.
    qm::EventDetailsController details(settings);
    details.resize(1024, 768);
    details.showJSON("event", "{}");
    expectFramedInside(details);

    // The preferences window left larger than the screen and partly below it comes
    // back inside when shown again.
    qm::AppDelegate delegate(settings);
    delegate.showPreferences();
    QWidget* preferences = delegate.preferncesController.get();
    expectFramedInside(*preferences);
    preferences->hide();
    preferences->resize(1100, 800);
    preferences->move(40, 300);
    delegate.showPreferences();
    expectFramedInside(*preferences);
}

}  // namespace
