#include "AppDelegate.h"

#include "DefaultSettings.h"
#include "WindowPlacement.h"

namespace qm {

AppDelegate::AppDelegate(Settings& settings, QObject* parent) : QObject(parent), settings_(settings) {}

AppDelegate::~AppDelegate() = default;

void AppDelegate::applicationDidFinishLaunching() { registerDefaultSettings(settings_); }

void AppDelegate::showPreferences() {
    if (!preferncesController) preferncesController = std::make_unique<PreferencesWindowController>(settings_);
    showWithinScreen(preferncesController.get());
    preferncesController->raise();
    preferncesController->activateWindow();
}

}  // namespace qm
