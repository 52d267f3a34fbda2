// The events view closed while a file loads, in a process of its own that ends as the
// application does: the window goes, main waits for the sources' work and for the
// freeing of items, returns, and the statics' destructors run. Arguments: the file, the
// milliseconds before the close, the threads the file source decodes with. Exit status
// 0 when all went well.

#include <QApplication>
#include <QTimer>

#include <cstdlib>
#include <string>

#include "DefaultSettings.h"
#include "EventArena.h"
#include "MainQueueHook.h"
#include "SourceControl.h"
#include "ViewController.h"

int main(int argc, char** argv) {
    if (argc != 4) return 2;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const qm::MainQueueHook mainQueue;
    qm::registerDefaultSettings(qm::standardSettings());
    {
        auto* view = new qm::ViewController;
        view->sourceControl().setDecodeThreads(unsigned(std::stoul(argv[3])));
        view->openEventFiles(argv[1]);
        QTimer::singleShot(std::stoi(argv[2]), [&] {
            delete view;
            app.quit();
        });
        app.exec();
    }
    qm::SourceControl::waitForSourceWork();
    qm::waitForReleases();
    return 0;
}
