// Quillmark: starts the application, registers the default settings and shows
// the main window. A file named on the command line is opened as the open
// command would open it.

#include <QAction>
#include <QApplication>
#include <QMenu>

#include <filesystem>
#include <memory>

#include "AppDelegate.h"
#include "Dispatch.h"
#include "MainWindowController.h"
#include "QtSettings.h"
#include "WindowPlacement.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Quillmark"));
    QCoreApplication::setApplicationName(QStringLiteral("Quillmark"));
    // The main queue of the rest of the program is the GUI thread's event loop.
    dispatch::setMainQueueHook(
        [](dispatch::Work work) { QMetaObject::invokeMethod(qApp, std::move(work), Qt::QueuedConnection); });
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
    dispatch::setMainQueueHook({});
    return result;
}
