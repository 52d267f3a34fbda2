// windowshot EVENTS OUT.png [WIDTH HEIGHT]: opens EVENTS in Quillmark's main window
// and saves a picture of the whole window once the file is loaded. Runs on Qt's
// offscreen platform unless QT_QPA_PLATFORM names another; reads and writes no
// user settings (the registered defaults only).

#include <QApplication>
#include <QElapsedTimer>
#include <QPixmap>
#include <QThread>

#include <cstdio>
#include <filesystem>
#include <memory>

#include "AppDelegate.h"
#include "MainQueueHook.h"
#include "MainWindowController.h"
#include "ViewController.h"

namespace {

// Runs the event loop until done() holds or a minute has passed.
bool runUntil(const std::function<bool()>& done) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > 60000) return false;
        QApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 && argc != 5) {
        std::fprintf(stderr, "usage: windowshot EVENTS OUT.png [WIDTH HEIGHT]\n");
        return 2;
    }
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const qm::MainQueueHook mainQueue;
    qm::installStandardSettings(std::make_unique<qm::InMemorySettings>());

    int result = 0;
    {
        qm::AppDelegate delegate;
        delegate.applicationDidFinishLaunching();
        qm::MainWindowController window;
        window.resize(argc == 5 ? std::atoi(argv[3]) : 1400, argc == 5 ? std::atoi(argv[4]) : 860);
        window.show();
        window.openEventFile(std::filesystem::path(argv[1]));

        const qm::ViewController& view = *window.eventsViewController;
        const bool loaded = runUntil([&] {
            const auto source = view.eslogger();
            return !view.filters.allEvents.empty() && !(source && source->isRunning()) &&
                   !view.subtitle().isEmpty() && !window.isActivityAnimating();
        });
        // Let the queued redraws (types pane, programs) run.
        QElapsedTimer settle;
        settle.start();
        runUntil([&] { return settle.elapsed() > 500; });
        if (!loaded) {
            std::fprintf(stderr, "windowshot: %s did not load\n", argv[1]);
            result = 1;
        } else if (!window.grab().save(QString::fromLocal8Bit(argv[2]), "PNG")) {
            std::fprintf(stderr, "windowshot: cannot write %s\n", argv[2]);
            result = 1;
        }
    }
    return result;
}
