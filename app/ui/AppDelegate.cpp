#include "AppDelegate.h"

#include "DefaultSettings.h"

namespace qm {

AppDelegate::AppDelegate(Settings& settings, QObject* parent) : QObject(parent), settings_(settings) {}

AppDelegate::~AppDelegate() = default;

void AppDelegate::applicationDidFinishLaunching() { registerDefaultSettings(settings_); }

void AppDelegate::showPreferences() {
    if (!preferncesController) preferncesController = std::make_unique<PreferencesWindowController>(settings_);
    preferncesController->show();
    preferncesController->raise();
    preferncesController->activateWindow();
}

}  // namespace qm
