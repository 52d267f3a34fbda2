#include "MainWindowController.h"

#include <QActionGroup>
#include <QCoreApplication>
#include <QDir>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QLabel>
#include <QListView>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QProgressBar>
#include <QSplitter>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>
#include <QUrl>

#include <iterator>

#include "AlertPresenter.h"
#include "DefaultSettings.h"
#include "EventFilters.h"
#include "EventTypeViewController.h"
#include "MainQueueHook.h"
#include "ProgramViewItem.h"
#include "Symbols.h"
#include "ViewController.h"

namespace qm {

namespace {

constexpr char commandProperty[] = "command";

enum class Place { fileMenu, eventsMenu };

struct CommandRow {
    MainWindowController::Command command;
    const char* title;
    Place menu;
    bool inToolbar;
    Symbol symbol;
    QColor color;  // of the symbol at start: gray for a filter that is off
    // A standard key, else a key text (empty: none); key sequences are made once
    // the application exists.
    QKeySequence::StandardKey standardKey;
    const char* keys;
    void (MainWindowController::*slot)();

    QKeySequence shortcut() const {
        return standardKey != QKeySequence::UnknownKey ? QKeySequence(standardKey) : QKeySequence(QString::fromLatin1(keys));
    }
};

constexpr auto noStandardKey = QKeySequence::UnknownKey;

const QColor neutral{0x4a, 0x4a, 0x4f};

using C = MainWindowController::Command;
using M = MainWindowController;

// In the order of Command.
const CommandRow commandRows[] = {
    {C::openEvents, "Open...", Place::fileMenu, true, Symbol::open, neutral, QKeySequence::Open, "", &M::openEvents},
    {C::tailEvents, "Follow...", Place::fileMenu, true, Symbol::follow, neutral, noStandardKey, "Ctrl+T", &M::tailEvents},
    {C::stopEvents, "Stop", Place::fileMenu, true, Symbol::stop, neutral, noStandardKey, "Ctrl+.", &M::stopEvents},
    {C::saveEvents, "Save...", Place::fileMenu, false, Symbol::save, neutral, QKeySequence::Save, "", &M::saveEvents},
    {C::clearEvents, "Delete Events", Place::eventsMenu, true, Symbol::trash, neutral, noStandardKey, "", &M::clearEvents},
    {C::clearFilters, "Clear Filters", Place::eventsMenu, true, Symbol::clearFilters, neutral, noStandardKey, "Ctrl+K", &M::clearFilters},
    {C::annotateEvents, "Annotations", Place::eventsMenu, true, Symbol::annotate, systemGrayColor, noStandardKey, "", &M::annotateEvents},
    {C::filterAppleBinaries, "Apple Binaries", Place::eventsMenu, true, Symbol::platform, systemGrayColor, noStandardKey, "", &M::filterAppleBinaries},
    {C::filterPIDChain, "PID Chain", Place::eventsMenu, true, Symbol::chain, systemGrayColor, noStandardKey, "", &M::filterPIDChain},
    {C::timeWarpEvents, "Time Warp Off", Place::eventsMenu, true, Symbol::warp, systemGrayColor, noStandardKey, "", &M::timeWarpEvents},
    {C::autoScroll, "Auto Scroll", Place::eventsMenu, true, Symbol::scroll, systemGrayColor, noStandardKey, "", &M::toggleAutoScroll},
};
static_assert(std::size(commandRows) == std::size_t(C::autoScroll) + 1);

// The toolbar, in order; a null entry is a separator.
constexpr std::optional<C> toolbarOrder[] = {
    C::openEvents,     C::tailEvents,          C::stopEvents,     std::nullopt,      C::clearEvents,
    C::clearFilters,   std::nullopt,           C::annotateEvents, C::filterAppleBinaries, C::filterPIDChain,
    C::timeWarpEvents, C::autoScroll,
};

const QString searchCategories[] = {"Program", "Details", "AnyPID", "PID", "UID", "RPID", "PPID", "Annotations"};

const QString tailHintText = QStringLiteral(
    "Using the Terminal.app you'll need to start `eslogger` redirecting STDOUT to a file.  Example:\n\n\n"
    "sudo eslogger fork exec exit > esloggerOutput.json\n\n\n"
    "    \"fork exec exit\" are example events, but you can include any or all ES events\n"
    "    supported events viewable by running `eslogger --list-events`\n\n\n"
    "Why `sudo`? eslogger requires `root` privileges to interface with ESAPI.\n"
    "More details: \"Following a file\" in Quillmark's README.md.");

bool sourceIsRunning(const ViewController* view) {
    if (!view) return false;
    const auto source = view->eslogger();
    return source && source->isRunning();
}

}  // namespace

// ---- SearchField

SearchField::SearchField(QWidget* parent) : QLineEdit(parent) {
    setClearButtonEnabled(true);
    auto* magnifier = addAction(symbolIcon(Symbol::search, systemGrayColor), QLineEdit::LeadingPosition);
    magnifier->setToolTip(tr("Search category and recent searches"));
    connect(magnifier, &QAction::triggered, this, &SearchField::showSearchMenu);
    connect(this, &QLineEdit::returnPressed, this, [this] { emit searchRequested(text()); });
    // Clearing the field (its clear button or deleting the text) searches for nothing.
    connect(this, &QLineEdit::textEdited, this, [this](const QString& text) {
        if (text.isEmpty()) emit searchRequested(text);
    });
}

void SearchField::setRecentSearches(QStringList searches) {
    if (searches.size() > maximumRecents) searches = searches.mid(searches.size() - maximumRecents);
    recentSearches_ = std::move(searches);
}

void SearchField::showSearchMenu() {
    QMenu menu(this);
    if (searchMenuTemplate) menu.addActions(searchMenuTemplate->actions());
    if (!recentSearches_.isEmpty()) {
        menu.addSection(tr("Recent Searches"));
        for (auto it = recentSearches_.crbegin(); it != recentSearches_.crend(); ++it) {
            const QString text = *it;
            menu.addAction(text.isEmpty() ? tr("(empty)") : text, this, [this, text] {
                setText(text);
                emit searchRequested(text);
            });
        }
        menu.addSeparator();
        menu.addAction(tr("Clear Recent Searches"), this, [this] { recentSearches_.clear(); });
    }
    menu.exec(mapToGlobal(QPoint(0, height())));
}

// ---- MainWindowController

MainWindowController::MainWindowController(Settings& settings, QWidget* parent, NetworkPlatform network)
    : QMainWindow(parent), settings_(settings), network_(NetworkMonitor::create(std::move(network))) {
    setWindowTitle(QStringLiteral("Quillmark"));
    splitView_ = new QSplitter(Qt::Horizontal, this);
    splitView_->addWidget(new EventTypeViewController(splitView_));
    splitView_->addWidget(new ViewController(settings_, splitView_));
    splitView_->setStretchFactor(1, 1);
    splitView_->setSizes({200, 1200});
    setCentralWidget(splitView_);

    subtitleLabel_ = new QLabel(this);
    statusBar()->addPermanentWidget(subtitleLabel_);
    buildCommands();
    windowDidLoad();
    resize(1400, 860);

    // Toolbar buttons follow the state of the source and the store as menus do
    // when they open.
    auto* validation = new QTimer(this);
    connect(validation, &QTimer::timeout, this, &MainWindowController::validateCommands);
    validation->start(500);
    validateCommands();
}

MainWindowController::~MainWindowController() {
    network_->detachWindow();
    // The events view stops its source and may still be calling back from another
    // thread: let it go before this object does.
    if (eventsViewController) {
        eventsViewController->setDelegate(nullptr);
        delete eventsViewController;
        eventsViewController = nullptr;
    }
}

void MainWindowController::buildCommands() {
    applicationMenu_ = menuBar()->addMenu(tr("Quillmark"));
    // Quitting closes the window first, which stops a running source.
    applicationMenu_->addAction(tr("Quit Quillmark"), QKeySequence::Quit, this, [this] {
        if (close()) QCoreApplication::quit();
    });
    QMenu* fileMenu = menuBar()->addMenu(tr("File"));
    QMenu* eventsMenu = menuBar()->addMenu(tr("Events"));

    for (const auto& row : commandRows) {
        auto* item = new QAction(symbolIcon(row.symbol, row.color), tr(row.title), this);
        item->setShortcut(row.shortcut());
        item->setProperty(commandProperty, int(row.command));
        connect(item, &QAction::triggered, this, row.slot);
        // After every command, so that the next state shows at once.
        connect(item, &QAction::triggered, this, &MainWindowController::validateCommands, Qt::QueuedConnection);
        (row.menu == Place::fileMenu ? fileMenu : eventsMenu)->addAction(item);
        commands_.push_back(item);
    }
    fileMenu->addSeparator();
    fileMenu->addAction(tr("Close Window"), QKeySequence::Close, this, &QWidget::close);
    for (QMenu* menu : {fileMenu, eventsMenu})
        connect(menu, &QMenu::aboutToShow, this, &MainWindowController::validateCommands);

    appleBinaryFilterButton = action(Command::filterAppleBinaries);
    clearFiltersButton = action(Command::clearFilters);
    deleteEventsButton = action(Command::clearEvents);
    annotateEventsButton = action(Command::annotateEvents);
    chainPIDButton = action(Command::filterPIDChain);
    autoScroll = action(Command::autoScroll);
    warpFilterButton = action(Command::timeWarpEvents);

    QToolBar* toolbar = toolbar_ = addToolBar(tr("Toolbar"));
    toolbar->setMovable(false);
    toolbar->setIconSize(QSize(22, 22));
    toolbar->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    for (const auto& entry : toolbarOrder) {
        if (entry) toolbar->addAction(action(*entry));
        else toolbar->addSeparator();
    }
    toolbar->addSeparator();
    monitorNetworkButton = toolbar->addAction(networkSymbolIcon(systemGrayColor), tr("Network"));
    connect(monitorNetworkButton, &QAction::triggered, this, &MainWindowController::toggleNetwork);
    auto* spacer = new QWidget(toolbar);
    spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    toolbar->addWidget(spacer);
    activityProgressIndicator = new QProgressBar(toolbar);
    activityProgressIndicator->setRange(0, 0);
    activityProgressIndicator->setTextVisible(false);
    activityProgressIndicator->setFixedSize(90, 10);
    activityAction_ = toolbar->addWidget(activityProgressIndicator);
    activityAction_->setVisible(false);
    searchToolbar = new SearchField(toolbar);
    searchToolbar->setFixedWidth(260);
    toolbar->addWidget(searchToolbar);
    connect(searchToolbar, &SearchField::searchRequested, this, &MainWindowController::searchEvents);
}

QAction* MainWindowController::action(Command command) const { return commands_.at(std::size_t(command)); }

void MainWindowController::windowDidLoad() {
    typesViewController = qobject_cast<EventTypeViewController*>(splitView_->widget(0));
    eventsViewController = qobject_cast<ViewController*>(splitView_->widget(1));
    if (eventsViewController) {
        eventsViewController->setDelegate(this);
        if (!eventsViewController->filters.iconProvider) eventsViewController->filters.iconProvider = programIconProvider();
        eventsViewController->setProgramItemFactory([view = eventsViewController](int index) {
            auto* item = new ProgramViewItem;
            if (index >= 0) item->fill(view->filters, std::size_t(index));
            // The entry shows the selection of its row in the programs collection.
            if (QItemSelectionModel* selection = view->programsCollectionView()->selectionModel()) {
                item->setSelected(selection->isRowSelected(index));
                connect(selection, &QItemSelectionModel::selectionChanged, item,
                        [item, selection, index] { item->setSelected(selection->isRowSelected(index)); });
            }
            return item;
        });
        connect(eventsViewController, &ViewController::subtitleChanged, subtitleLabel_, &QLabel::setText);
    }
    if (typesViewController) {
        typesViewController->eventsViewController = eventsViewController;
        QPalette clear = typesViewController->typeCollectionView->palette();
        clear.setColor(QPalette::Base, Qt::transparent);
        typesViewController->typeCollectionView->setPalette(clear);
    }
    setAcceptDrops(true);
    searchToolbar->maximumRecents = 6;
    buildSearchCategoryMenu();

    network_->setMonitorNetworkButton(monitorNetworkButton);
    network_->setActivityIndicator([this](bool on) { setActivityAnimating(on); });
    if (eventsViewController) network_->setEventsView(flowEventsView(*eventsViewController));
    network_->windowDidLoad();
}

void MainWindowController::buildSearchCategoryMenu() {
    auto* menu = new QMenu(this);
    auto* group = new QActionGroup(menu);
    for (const auto& title : searchCategories) {
        QAction* item = menu->addAction(title);
        item->setCheckable(true);
        item->setChecked(title == searchCategories[0]);
        group->addAction(item);
        connect(item, &QAction::triggered, this, [this, item] { searchCategory(item); });
    }
    searchToolbar->searchMenuTemplate = menu;
    searchToolbar->setPlaceholderText(searchCategories[0]);
}

// ---- search

void MainWindowController::searchEvents(const QString& text) {
    QStringList recents = searchToolbar->recentSearches();
    recents.append(text);
    searchToolbar->setRecentSearches(std::move(recents));
    if (eventsViewController) eventsViewController->searchEvents(text);
}

void MainWindowController::searchCategory(QAction* item) {
    if (!item) return;
    if (eventsViewController) eventsViewController->filters.searchCategory = item->text().toStdString();
    item->setChecked(true);
    searchToolbar->setPlaceholderText(item->text());
    searchEvents(searchToolbar->text());
}

void MainWindowController::filtersDidClear() {
    // The store's cleared category is empty, which searches as the first one.
    searchToolbar->setText(QString());
    searchToolbar->setPlaceholderText(searchCategories[0]);
    if (const QList<QAction*> items = searchToolbar->searchMenuTemplate->actions(); !items.isEmpty())
        items.front()->setChecked(true);
}

// ---- files

std::optional<std::filesystem::path> MainWindowController::askOpenURL() {
    QFileDialog panel(this, tr("Open your ESLogger Events"));
    panel.setFileMode(QFileDialog::ExistingFile);
    panel.setAcceptMode(QFileDialog::AcceptOpen);
    if (panel.exec() != QDialog::Accepted || panel.selectedFiles().isEmpty()) return std::nullopt;
    return std::filesystem::path(panel.selectedFiles().front().toStdString());
}

std::optional<std::filesystem::path> MainWindowController::askSaveURL() {
    QFileDialog panel(this, tr("Save your ESLogger Events"));
    panel.setAcceptMode(QFileDialog::AcceptSave);
    panel.selectFile(QStringLiteral("QuillmarkEvents.json"));
    if (panel.exec() != QDialog::Accepted || panel.selectedFiles().isEmpty()) return std::nullopt;
    return std::filesystem::path(panel.selectedFiles().front().toStdString());
}

bool MainWindowController::confirmMultipleFiles() {
    if (!eventsViewController) return true;
    if (eventsViewController->filters.allEvents.empty() && !sourceIsRunning(eventsViewController)) return true;
    Alert alert;
    alert.style = Alert::Style::warning;
    alert.messageText = QStringLiteral("Potential feature unpredictability");
    alert.informativeText = QStringLiteral(
        "Loading multiple files at the same time works, but some features like `Time Warp` will provide "
        "unpredicatable results.  Continue without deleting existing events at own risk.");
    alert.buttons = {QStringLiteral("Continue"), QStringLiteral("Cancel")};
    return runAlert(alert).button == 0;
}

void MainWindowController::openEvents() {
    if (!confirmMultipleFiles()) return;
    if (const auto url = askOpenURL()) openEventFile(*url);
}

void MainWindowController::openEventFile(const std::filesystem::path& url) {
    setActivityAnimating(true);
    if (eventsViewController) eventsViewController->openEventFiles(url);
}

void MainWindowController::tailEvents() {
    if (!eventsViewController || sourceIsRunning(eventsViewController)) {
        Alert alert;
        alert.style = Alert::Style::warning;
        alert.messageText = QStringLiteral("Currently running, please stop first");
        runAlert(alert);
        return;
    }
    if (!confirmMultipleFiles()) return;
    if (settings_.boolValue(keys::tailInfoPopupEnabled)) {
        Alert hint;
        hint.style = Alert::Style::informational;
        hint.messageText = QStringLiteral("Start eslogger");
        hint.informativeText = tailHintText;
        hint.showsSuppressionButton = true;
        if (runAlert(hint).suppressed) settings_.setValue(keys::tailInfoPopupEnabled, false);
    }
    const auto url = askOpenURL();
    if (!url) return;
    setActivityAnimating(true);
    eventsViewController->startTail(*url);
}

void MainWindowController::stopEvents() {
    if (eventsViewController) eventsViewController->stopEvents();
}

void MainWindowController::saveEvents() {
    const auto url = askSaveURL();
    if (!url) return;
    saveMenuItem = action(Command::saveEvents);
    saveMenuItem->setEnabled(false);
    saving_ = true;
    if (eventsViewController) eventsViewController->saveEvents(*url);
}

Qt::DropAction MainWindowController::draggingEntered(const QMimeData* data) const {
    return data && data->hasUrls() ? Qt::CopyAction : Qt::IgnoreAction;
}

bool MainWindowController::performDragOperation(const QMimeData* data) {
    if (!data || !eventsViewController) return false;
    // Only local files named by an absolute path: other schemes can come out of
    // the URL parser as relative "file:" URLs.
    std::vector<std::filesystem::path> files;
    for (const QUrl& url : data->urls()) {
        const QString path = url.isLocalFile() ? url.toLocalFile() : QString();
        if (!path.isEmpty() && QDir::isAbsolutePath(path)) files.emplace_back(path.toStdString());
    }
    if (files.empty()) return false;
    // Dropped files replace a running source: the same question as Open first.
    if (sourceIsRunning(eventsViewController)) {
        if (!confirmMultipleFiles()) return false;
        eventsViewController->stopEvents();
    }
    for (const auto& file : files) openEventFile(file);
    return true;
}

void MainWindowController::dragEnterEvent(QDragEnterEvent* event) {
    const Qt::DropAction operation = draggingEntered(event->mimeData());
    if (operation == Qt::IgnoreAction) return event->ignore();
    event->setDropAction(operation);
    event->accept();
}

void MainWindowController::dropEvent(QDropEvent* event) {
    if (!performDragOperation(event->mimeData())) return event->ignore();
    event->setDropAction(Qt::CopyAction);
    event->accept();
}

// ---- events and filters

void MainWindowController::clearEvents() {
    Alert alert;
    alert.style = Alert::Style::warning;
    alert.messageText = QStringLiteral("Delete all captured events?");
    alert.informativeText = QStringLiteral("This cannot be undone and all events will be removed.");
    alert.buttons = {QStringLiteral("Delete Events"), QStringLiteral("Cancel")};
    if (runAlert(alert).button != 0) return;
    if (eventsViewController) eventsViewController->clearEvents();
    if (typesViewController) typesViewController->clearTypes();
    clearFilters();
}

void MainWindowController::clearFilters() {
    if (eventsViewController) eventsViewController->clearFilters();
    else filtersDidClear();
    if (typesViewController) typesViewController->deselectAll();
    syncFilterTints();
}

void MainWindowController::syncFilterTints() {
    static const EventFilters none;
    const EventFilters& f = eventsViewController ? eventsViewController->filters : none;
    const std::pair<QAction*, QColor> tints[] = {
        {annotateEventsButton, f.annotateFilter ? systemBlueColor : systemGrayColor},
        {appleBinaryFilterButton, f.appleBinaryFilter ? systemRedColor : systemGrayColor},
        {chainPIDButton, f.selectedPIDChain.pid.empty() && f.selectedPIDChain.ppid.empty() ? systemGrayColor
                                                                                            : systemBlueColor},
        {warpFilterButton, f.timeWindowEnd != 0 ? systemBlueColor : systemGrayColor},
    };
    for (const auto& [item, color] : tints)
        if (symbolTint(item) != color) setSymbolTint(item, color);
}

void MainWindowController::annotateEvents() {
    if (eventsViewController) eventsViewController->annotateFilter();
    syncFilterTints();
}

void MainWindowController::filterAppleBinaries() {
    if (eventsViewController) eventsViewController->filterAppleBinaries();
    syncFilterTints();
}

void MainWindowController::filterPIDChain() {
    if (eventsViewController) eventsViewController->filterPIDChain();
    syncFilterTints();
}

void MainWindowController::timeWarpEvents() {
    if (eventsViewController) {
        eventsViewController->filters.clearTimeWindow();
        eventsViewController->reloadEvents();
    }
    syncFilterTints();
}

void MainWindowController::toggleAutoScroll() {
    if (!eventsViewController) return;
    if (eventsViewController->autoScroll) {
        eventsViewController->autoScroll = false;
        setSymbolTint(autoScroll, systemGrayColor);
        return;
    }
    eventsViewController->autoScroll = true;
    setSymbolTint(autoScroll, systemBlueColor);
    eventsViewController->reloadEvents();
}

// ---- validation and closing

bool MainWindowController::validateUserInterfaceItem(const QAction* item) const {
    const QVariant command = item ? item->property(commandProperty) : QVariant();
    if (!command.isValid()) return true;
    switch (Command(command.toInt())) {
    case Command::saveEvents:
        if (saving_) return false;
        return eventsViewController && !eventsViewController->shownEvents().empty();
    case Command::stopEvents:
        return !eventsViewController || sourceIsRunning(eventsViewController);
    case Command::openEvents:
    case Command::tailEvents:
        return !sourceIsRunning(eventsViewController);
    default:
        return true;
    }
}

void MainWindowController::validateCommands() {
    for (QAction* item : commands_) item->setEnabled(validateUserInterfaceItem(item));
}

bool MainWindowController::windowShouldClose() {
    if (eventsViewController)
        if (const auto source = eventsViewController->eslogger(); source && source->isRunning()) source->stop();
    network_->removeNetworkObserver();
    return true;
}

void MainWindowController::closeEvent(QCloseEvent* event) {
    if (windowShouldClose()) event->accept();
    else event->ignore();
}

bool MainWindowController::isActivityAnimating() const { return activityAction_->isVisible(); }

void MainWindowController::setActivityAnimating(bool on) { activityAction_->setVisible(on); }

// ---- the events view's delegate

void MainWindowController::eventsDidLoad() {
    if (typesViewController) typesViewController->reloadTypes();
    onMainQueue(this, [](MainWindowController& window) {
        // A stop followed by a new load (files dropped on a running source) leaves
        // the indicator to the new source.
        if (window.networkStatus() != Status::running && !sourceIsRunning(window.eventsViewController))
            window.setActivityAnimating(false);
        window.validateCommands();
    });
}

void MainWindowController::saveDidComplete() {
    onMainQueue(this, [](MainWindowController& window) {
        Alert alert;
        alert.style = Alert::Style::informational;
        alert.messageText = QStringLiteral("Save Completed.");
        runAlert(alert);
        window.saveDidEnd();
    });
}

// A failed save has shown its own alert; Save comes back all the same.
void MainWindowController::saveDidFail() {
    onMainQueue(this, [](MainWindowController& window) { window.saveDidEnd(); });
}

void MainWindowController::saveDidEnd() {
    saving_ = false;
    if (saveMenuItem) saveMenuItem->setEnabled(true);
    validateCommands();
}

void MainWindowController::countEventTypes(const std::string& shortName) {
    if (typesViewController) typesViewController->countEventTypes(shortName);
}

void MainWindowController::countEventTypeBatch(const std::vector<TypeCount>& counts) {
    if (typesViewController) typesViewController->countEventTypes(counts);
}

void MainWindowController::deselectAllEventTypes() {
    if (typesViewController) typesViewController->deselectAll();
}

void MainWindowController::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    fitToolbar();
}

void MainWindowController::fitToolbar() {
    // Titles under the symbols while the whole toolbar fits; symbols alone (titles
    // as tool tips) otherwise, so that the search field never moves into the
    // toolbar's overflow menu.
    if (toolbarWidthWithTitles_ == 0) {
        toolbar_->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
        toolbarWidthWithTitles_ = toolbar_->sizeHint().width();
    }
    toolbar_->setToolButtonStyle(width() >= toolbarWidthWithTitles_ ? Qt::ToolButtonTextUnderIcon
                                                                    : Qt::ToolButtonIconOnly);
}

void MainWindowController::timeWarpDidEnable() { syncFilterTints(); }

void MainWindowController::pidChainDidEnable() { syncFilterTints(); }

void MainWindowController::filtersDidChange() { syncFilterTints(); }

}  // namespace qm
