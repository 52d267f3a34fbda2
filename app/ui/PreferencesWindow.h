#pragma once
// The preferences window: five switches, each bound to one Boolean setting and
// written the moment it changes, and the list of privileged paths. The window is
// created once and only hidden when closed. Also the font rule of the JSON
// details window, which reads its font from the same settings.

#include <QFont>
#include <QWidget>

#include "Settings.h"

class QCheckBox;
class QCloseEvent;
class QShowEvent;
class QTableWidget;

namespace qm {

// The switches of the preferences window; states are read from the settings
// every time the view is shown, so changes made elsewhere show up.
class PreferencesViewController : public QWidget {
    Q_OBJECT
public:
    explicit PreferencesViewController(QWidget* parent = nullptr);

    QCheckBox* rootUserButton = nullptr;       // "annotateRootUserEnabled"
    QCheckBox* quarantineButton = nullptr;     // "annotateQuarantinesEnabled"
    QCheckBox* privilegedPathsButton = nullptr;  // "annotatePathsEnabled"
    QCheckBox* tailInfoPopupButton = nullptr;  // "tailInfoPopupEnabled"
    QCheckBox* tailBigFButton = nullptr;       // "tailUseBigF"

    // Sets each switch from its key; the settings are those of the window.
    void readSwitches(const Settings& settings);
};

class PreferencesWindowController : public QWidget {
    Q_OBJECT
public:
    explicit PreferencesWindowController(Settings& settings = standardSettings(), QWidget* parent = nullptr);

    Settings& defaults;
    PreferencesViewController* content = nullptr;
    QTableWidget* pathsTable = nullptr;

    // The number of entries of the privileged-path list; 0 when there is none.
    int numberOfRowsInTableView() const;

public slots:
    void toggleTailStartInfo(bool on);
    void toggleTailingF(bool on);
    void toggleAnnotateDownloads(bool on);
    void toggleAnnotatePaths(bool on);
    void toggleAnnotateRootUser(bool on);

protected:
    // Re-reads the switches and the path list.
    void showEvent(QShowEvent* event) override;
    // Hides the window instead of closing it.
    void closeEvent(QCloseEvent* event) override;

private:
    void reloadPaths();
};

// The font of the JSON details window: the font named by "JSONFontName" at the
// size of the JSON font size key when such a font is installed, else the font
// and size registered at start.
QFont jsonDetailsFont(const Settings& settings = standardSettings());

}  // namespace qm
