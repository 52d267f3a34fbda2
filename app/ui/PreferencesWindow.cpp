#include "PreferencesWindow.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QFontDatabase>
#include <QGroupBox>
#include <QHeaderView>
#include <QTableWidget>
#include <QVBoxLayout>

#include <string_view>

#include "DefaultSettings.h"

namespace qm {

namespace {

QString qstr(std::string_view s) { return QString::fromUtf8(s.data(), qsizetype(s.size())); }

// A font of the family at the size; monospaced stand-ins fill in for a missing family.
QFont monospaceFont(const QString& family, double size) {
    QFont font(family);
    font.setStyleHint(QFont::TypeWriter);
    font.setPointSizeF(size);
    return font;
}

}  // namespace

PreferencesViewController::PreferencesViewController(QWidget* parent) : QWidget(parent) {
    setWindowTitle(tr("Preferences"));
    rootUserButton = new QCheckBox(tr("Annotate events of processes running as root"), this);
    quarantineButton = new QCheckBox(tr("Annotate quarantine attribute changes"), this);
    privilegedPathsButton = new QCheckBox(tr("Annotate events touching privileged paths"), this);
    tailInfoPopupButton = new QCheckBox(tr("Show how to start eslogger before following a file"), this);
    tailBigFButton = new QCheckBox(tr("Follow the file by name (tail -F) instead of by descriptor"), this);
}

void PreferencesViewController::readSwitches(const Settings& settings) {
    const std::pair<QCheckBox*, std::string_view> switches[] = {
        {rootUserButton, keys::annotateRootUserEnabled},
        {quarantineButton, keys::annotateQuarantinesEnabled},
        {privilegedPathsButton, keys::annotatePathsEnabled},
        {tailInfoPopupButton, keys::tailInfoPopupEnabled},
        {tailBigFButton, keys::tailUseBigF},
    };
    for (const auto& [button, key] : switches) button->setChecked(settings.boolValue(key));
}

PreferencesWindowController::PreferencesWindowController(Settings& settings, QWidget* parent)
    : QWidget(parent, Qt::Window), defaults(settings) {
    content = new PreferencesViewController(this);
    pathsTable = new QTableWidget(this);
    pathsTable->setColumnCount(1);
    pathsTable->setHorizontalHeaderLabels({tr("Privileged paths")});
    pathsTable->horizontalHeader()->setStretchLastSection(true);
    pathsTable->verticalHeader()->hide();
    pathsTable->setEditTriggers(QAbstractItemView::NoEditTriggers);

    auto* annotations = new QGroupBox(tr("Annotations"), content);
    auto* annotationsLayout = new QVBoxLayout(annotations);
    annotationsLayout->addWidget(content->rootUserButton);
    annotationsLayout->addWidget(content->quarantineButton);
    annotationsLayout->addWidget(content->privilegedPathsButton);
    annotationsLayout->addWidget(pathsTable);
    auto* following = new QGroupBox(tr("Following a file"), content);
    auto* followingLayout = new QVBoxLayout(following);
    followingLayout->addWidget(content->tailInfoPopupButton);
    followingLayout->addWidget(content->tailBigFButton);
    auto* contentLayout = new QVBoxLayout(content);
    contentLayout->addWidget(annotations);
    contentLayout->addWidget(following);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(content);

    // clicked, not toggled: only the user's switching writes a key, never the
    // states set from the settings when the window is shown.
    const std::pair<QCheckBox*, void (PreferencesWindowController::*)(bool)> actions[] = {
        {content->tailInfoPopupButton, &PreferencesWindowController::toggleTailStartInfo},
        {content->tailBigFButton, &PreferencesWindowController::toggleTailingF},
        {content->quarantineButton, &PreferencesWindowController::toggleAnnotateDownloads},
        {content->privilegedPathsButton, &PreferencesWindowController::toggleAnnotatePaths},
        {content->rootUserButton, &PreferencesWindowController::toggleAnnotateRootUser},
    };
    for (const auto& [button, slot] : actions) connect(button, &QCheckBox::clicked, this, slot);
    resize(560, 520);
}

void PreferencesWindowController::toggleTailStartInfo(bool on) { defaults.setValue(keys::tailInfoPopupEnabled, on); }
void PreferencesWindowController::toggleTailingF(bool on) { defaults.setValue(keys::tailUseBigF, on); }
void PreferencesWindowController::toggleAnnotateDownloads(bool on) { defaults.setValue(keys::annotateQuarantinesEnabled, on); }
void PreferencesWindowController::toggleAnnotatePaths(bool on) { defaults.setValue(keys::annotatePathsEnabled, on); }
void PreferencesWindowController::toggleAnnotateRootUser(bool on) { defaults.setValue(keys::annotateRootUserEnabled, on); }

int PreferencesWindowController::numberOfRowsInTableView() const {
    const auto paths = defaults.listValue(keys::annotatePaths);
    return paths ? int(paths->size()) : 0;
}

void PreferencesWindowController::reloadPaths() {
    const auto paths = defaults.listValue(keys::annotatePaths).value_or(SettingList{});
    pathsTable->setRowCount(numberOfRowsInTableView());
    for (int row = 0; row < int(paths.size()); ++row) {
        const auto* text = paths[std::size_t(row)].get<std::string>();
        pathsTable->setItem(row, 0, new QTableWidgetItem(text ? QString::fromStdString(*text) : QString()));
    }
}

void PreferencesWindowController::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    setWindowTitle(content->windowTitle());
    content->readSwitches(defaults);
    reloadPaths();
}

void PreferencesWindowController::closeEvent(QCloseEvent* event) {
    hide();
    event->ignore();
}

QFont jsonDetailsFont(const Settings& settings) {
    const QString name = qstr(settings.stringValue(keys::JSONFontName).value_or(std::string()));
    const double size = double(float(settings.doubleValue(keys::JSONFontSize)));
    if (!name.isEmpty() && size > 0 && QFontDatabase::hasFamily(name)) return monospaceFont(name, size);

    // The registration domain: the font and size registered at start.
    QString registeredName;
    double registeredSize = 0;
    for (const auto& [key, value] : defaultSettings()) {
        if (key == keys::JSONFontName) {
            if (const auto* s = value.get<std::string>()) registeredName = QString::fromStdString(*s);
        } else if (key == keys::JSONFontSize) {
            if (const auto* d = value.get<double>()) registeredSize = *d;
        }
    }
    // Without that family on this machine, the system's fixed-pitch font stands in.
    if (!QFontDatabase::hasFamily(registeredName))
        registeredName = QFontDatabase::systemFont(QFontDatabase::FixedFont).family();
    return monospaceFont(registeredName, registeredSize);
}

}  // namespace qm
