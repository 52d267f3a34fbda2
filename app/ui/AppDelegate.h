#pragma once
// The application's delegate: registers the default settings once the
// application has started, and opens the preferences window on request (the
// same window every time; closing only hides it).

#include <QObject>

#include <memory>

#include "PreferencesWindow.h"
#include "Settings.h"

namespace qm {

class AppDelegate : public QObject {
    Q_OBJECT
public:
    explicit AppDelegate(Settings& settings = standardSettings(), QObject* parent = nullptr);
    ~AppDelegate() override;

    // The preferences window once it was first shown.
    std::unique_ptr<PreferencesWindowController> preferncesController;

    void applicationDidFinishLaunching();
    // Closing the main window quits the application.
    static constexpr bool applicationShouldTerminateAfterLastWindowClosed() { return true; }

public slots:
    void showPreferences();

private:
    Settings& settings_;
};

}  // namespace qm
