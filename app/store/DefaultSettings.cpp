#include "DefaultSettings.h"

namespace qm {

const std::vector<std::string>& defaultAnnotatePaths() {
    static const std::vector<std::string> paths{
        "/Library/LaunchDaemons/",
        "/Library/LaunchAgents/",
        "/Contents/Library/LoginItems/",
        "/Library/StartupItems",
        "/System/Library/XPCServices/",
        "/Contents/XPCServices/",
        "/Library/PrivilegedHelperTools/",
        "/usr/bin/sudo",
        "/var/at/jobs/",
        "/var/db/emondClients",
        "/Library/Preferences/com.apple.loginwindow.plist",
        "/Library/Preferences/loginwindow.plist",
        "/Library/Preferences/ByHost/",
        "/com.apple.TCC/TCC.db",
        "/etc/rc.*",
        "/etc/profile",
        "/etc/profiles",
        ".bashrc",
        ".bash_login",
        ".bash_logout",
        ".bash_profile",
        ".profile",
        ".login",
        "/etc/crontab",
        "/cron/tabs/",
        "/etc/periodic/",
        "/etc/launchd.conf",
        "/Library/Managed Preferences/",
    };
    return paths;
}

SettingPairs defaultSettings() {
    SettingList paths(defaultAnnotatePaths().begin(), defaultAnnotatePaths().end());
    return {
        {std::string(keys::JSONFontName), "Menlo"},
        {std::string(keys::JSONFontSize), 11.0},
        {std::string(keys::tailInfoPopupEnabled), true},
        {std::string(keys::annotatePathsEnabled), true},
        {std::string(keys::annotatePaths), std::move(paths)},
        {std::string(keys::annotateRootUserEnabled), true},
        {std::string(keys::annotateQuarantinesEnabled), true},
        {std::string(keys::annotateQuarantineExecEnabled), true},
        {std::string(keys::stickyRowEnabled), true},
    };
}

void registerDefaultSettings(Settings& settings) { settings.registerDefaults(defaultSettings()); }

}  // namespace qm
