// Loads the sample capture into the events view inside a main window and saves a
// picture of it (screenshots/events-view.png in the build folder) for readers.
#include <QMainWindow>
#include <QStatusBar>

#include "UiTestSupport.h"

using namespace uitest;

namespace {

TEST(EventsViewScreenshotTest, SampleFileInTheEventsView) {
    setUpApplication();
    AlertRecorder alerts;
    CountingDelegate delegate;
    QMainWindow window;
    auto* vc = new TestViewController;
    window.setCentralWidget(vc);
    window.setWindowTitle("Quillmark");
    QObject::connect(vc, &qm::ViewController::subtitleChanged, window.statusBar(),
                     [&](const QString& text) { window.statusBar()->showMessage(text); });
    window.resize(1400, 800);
    window.show();
    vc->setDelegate(&delegate);

    vc->openEventFiles(QM_SOURCE_DIR "/samples/events.jsonl");
    ASSERT_TRUE(waitUntil([&] { return delegate.loads == 1 && rows(*vc) == 3000; }));
    EXPECT_TRUE(alerts.alerts().empty());
    EXPECT_TRUE(window.statusBar()->currentMessage().startsWith("3000 of 3000-events, "));
    clickRow(*vc, 3);
    settle();

    const char* buildDir = std::getenv("QM_BUILD_DIR");
    const std::filesystem::path folder = std::filesystem::path(buildDir ? buildDir : ".") / "screenshots";
    std::filesystem::create_directories(folder);
    const QString file = QString::fromStdString((folder / "events-view.png").string());
    EXPECT_TRUE(window.grab().save(file));
    vc->setDelegate(nullptr);
}

}  // namespace
