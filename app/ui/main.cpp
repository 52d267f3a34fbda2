// Quillmark: starts the application, registers the default settings and shows
// the main window. A file named on the command line is opened as the open
// command would open it.

#include <QAction>
#include <QApplication>
#include <QMenu>

#include <malloc.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "AppDelegate.h"
#include "EventArena.h"
#include "MainQueueHook.h"
#include "MainWindowController.h"
#include "QtSettings.h"
#include "SourceControl.h"
#include "WindowPlacement.h"

namespace {

QtMessageHandler qtDefaultHandler = nullptr;  // Qt's own, while the platform starts

// Qt ends the process when its platform cannot start, with advice about reinstalling;
// the usual cause is that no X server can be reached.
void reportNoDisplay(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (type != QtFatalMsg) return qtDefaultHandler(type, context, message);
    const char* display = std::getenv("DISPLAY");
    std::fprintf(stderr,
                 "quillmark: no display found (DISPLAY is %s%s%s). Start it inside a desktop session, or "
                 "under a virtual X server (scripts/deps.sh desktop installs one).\n",
                 display ? "\"" : "not set", display ? display : "", display ? "\"" : "");
    std::_Exit(1);
}

}  // namespace

int main(int argc, char** argv) {
    // The C library gives each new thread a memory arena of its own, up to eight per
    // core, and each reserves 64 MiB of address space: the Qt pool's threads, the
    // global queues and the file reader's would take most of a limited address space
    // before any event is read, and the GUI could no longer start a thread or draw.
    // Two arenas, shared by all threads, load a file as fast.
    mallopt(M_ARENA_MAX, 2);
    qtDefaultHandler = qInstallMessageHandler(reportNoDisplay);
    QApplication app(argc, argv);
    qInstallMessageHandler(qtDefaultHandler);
    QCoreApplication::setOrganizationName(QStringLiteral("Quillmark"));
    QCoreApplication::setApplicationName(QStringLiteral("Quillmark"));
    // The main queue of the rest of the program is the GUI thread's event loop.
    const qm::MainQueueHook mainQueue;
    qm::installStandardSettings(std::make_unique<qm::QtSettings>());

    int result = 0;
    {
        qm::AppDelegate delegate;
        app.setQuitOnLastWindowClosed(qm::AppDelegate::applicationShouldTerminateAfterLastWindowClosed());
        delegate.applicationDidFinishLaunching();

        qm::MainWindowController window;
        auto* preferences = new QAction(QObject::tr("Preferences..."), &window);
        preferences->setShortcut(QKeySequence::Preferences);
        QObject::connect(preferences, &QAction::triggered, &delegate, &qm::AppDelegate::showPreferences);
        QMenu* menu = window.applicationMenu();
        menu->insertAction(menu->actions().value(0), preferences);
        menu->insertSeparator(menu->actions().value(1));
        qm::showWithinScreen(&window);

        const QStringList arguments = QCoreApplication::arguments();
        if (arguments.size() > 1) window.openEventFile(std::filesystem::path(arguments[1].toStdString()));
        result = app.exec();
    }
    // The window has stopped its sources and handed its items to be freed without
    // waiting for either; that work ends before the statics it uses do (a file source
    // before its next block of lines), sources first: their ends free items too.
    qm::SourceControl::waitForSourceWork();
    qm::waitForReleases();
    return result;
}
