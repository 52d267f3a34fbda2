#pragma once
// The main window and its controller: a split view with the event types pane and
// the events view, the toolbar (search field with its category menu and recent
// searches, filter buttons whose colour shows their state, progress indicator),
// the menus, the file panels, dropped files and menu validation. It is the events
// view's EventViewDelegate. Main thread only, apart from the two delegate calls
// that arrive from background queues.
//
// Commands are rows of one table; adding a command (a toolbar button, a menu
// item, its validation) means adding a row and a slot.

#include <QLineEdit>
#include <QMainWindow>
#include <QStringList>

#include <filesystem>
#include <optional>

#include "EventViewDelegate.h"
#include "NetworkMonitor.h"
#include "ProgramViewItem.h"
#include "Settings.h"

class QLabel;
class QMenu;
class QMimeData;
class QProgressBar;
class QSplitter;
class QToolBar;

namespace qm {

class EventTypeViewController;
class ViewController;

// The toolbar's search field: a line edit whose magnifier opens the category menu
// followed by the recent searches.
class SearchField : public QLineEdit {
    Q_OBJECT
public:
    explicit SearchField(QWidget* parent = nullptr);

    int maximumRecents = 6;
    // Newest last; at most maximumRecents entries are kept.
    const QStringList& recentSearches() const { return recentSearches_; }
    void setRecentSearches(QStringList searches);

    // The categories shown at the top of the magnifier's menu.
    QMenu* searchMenuTemplate = nullptr;

signals:
    // The user asked to search for this text (Return, a recent search, or clearing
    // the field).
    void searchRequested(const QString& text);

private:
    void showSearchMenu();
    QStringList recentSearches_;
};

class MainWindowController : public QMainWindow, public EventViewDelegate, public ProgramEntryHost {
    Q_OBJECT
public:
    // The state of network monitoring, read here and changed by its own half.
    using Status = NetworkStatus;

    // The commands of the toolbar and the menus, by the action they run.
    enum class Command {
        openEvents,
        tailEvents,
        stopEvents,
        saveEvents,
        clearEvents,
        clearFilters,
        annotateEvents,
        filterAppleBinaries,
        filterPIDChain,
        timeWarpEvents,
        autoScroll,
    };

    // The settings are read for the follow hint and must outlive the window.
    explicit MainWindowController(Settings& settings = standardSettings(), QWidget* parent = nullptr,
                                  NetworkPlatform network = NetworkPlatform::standard());
    ~MainWindowController() override;

    // Toolbar outlets.
    SearchField* searchToolbar = nullptr;
    QAction* appleBinaryFilterButton = nullptr;
    QAction* clearFiltersButton = nullptr;
    QAction* deleteEventsButton = nullptr;
    QAction* annotateEventsButton = nullptr;
    QAction* chainPIDButton = nullptr;
    QProgressBar* activityProgressIndicator = nullptr;
    QAction* autoScroll = nullptr;
    QAction* warpFilterButton = nullptr;
    QAction* monitorNetworkButton = nullptr;
    // The Save menu item once a save was started from it.
    QAction* saveMenuItem = nullptr;
    ViewController* eventsViewController = nullptr;
    EventTypeViewController* typesViewController = nullptr;
    Status networkStatus() const { return network_->networkStatus(); }
    // The network half: activation, filter configuration and flow intake.
    NetworkMonitor& network() const { return *network_; }

    // The action of a command (the toolbar button and the menu item share it).
    QAction* action(Command command) const;
    // The application menu, where the application adds its own items.
    QMenu* applicationMenu() const { return applicationMenu_; }
    // Whether the progress indicator is spinning.
    bool isActivityAnimating() const;

    // File panels; none when cancelled. Tests replace them.
    virtual std::optional<std::filesystem::path> askOpenURL();
    std::optional<std::filesystem::path> askSaveURL() override;
    ViewController* programEntryEvents() const override { return eventsViewController; }
    // Asks before adding files to the events already loaded; true without asking
    // when there are none.
    bool confirmMultipleFiles();

    // Opens a file as the open command does once it has its file.
    void openEventFile(const std::filesystem::path& url);

    // Dropped files: the copy operation when the data holds URLs; opening every
    // file-path URL, true when at least one was opened.
    Qt::DropAction draggingEntered(const QMimeData* data) const;
    bool performDragOperation(const QMimeData* data);

    // Whether the item of this action is enabled now.
    bool validateUserInterfaceItem(const QAction* item) const;
    // Enables or disables every command's action.
    void validateCommands();

    // Stops a running source; the window may close.
    bool windowShouldClose();

    // EventViewDelegate.
    void eventsDidLoad() override;
    void saveDidComplete() override;
    void saveDidFail() override;
    void countEventTypes(const std::string& shortName) override;
    void countEventTypeBatch(const std::vector<TypeCount>& counts) override;
    void deselectAllEventTypes() override;
    void filtersDidClear() override;
    void filtersDidChange() override;
    void timeWarpDidEnable() override;
    void pidChainDidEnable() override;
    // Tints every filter button by the state of its filter.
    void syncFilterTints();

public slots:
    void searchEvents(const QString& text);
    void searchCategory(QAction* item);
    void openEvents();
    void tailEvents();
    void stopEvents();
    void saveEvents();
    void clearEvents();
    void clearFilters();
    void annotateEvents();
    void filterAppleBinaries();
    void filterPIDChain();
    void timeWarpEvents();
    void toggleAutoScroll();
    void toggleNetwork() { network_->toggleNetwork(); }

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void buildCommands();
    void buildSearchCategoryMenu();
    void windowDidLoad();
    void setActivityAnimating(bool on);
    void fitToolbar();

    Settings& settings_;
    QSplitter* splitView_ = nullptr;
    QToolBar* toolbar_ = nullptr;
    int toolbarWidthWithTitles_ = 0;  // the toolbar's width with titles under the symbols
    QMenu* applicationMenu_ = nullptr;
    QAction* activityAction_ = nullptr;  // the progress indicator's place in the toolbar
    QLabel* subtitleLabel_ = nullptr;
    std::vector<QAction*> commands_;     // by Command
    bool saving_ = false;                // a save from the Save menu item is running
    void saveDidEnd();                   // on the main queue: Save is offered again
    std::shared_ptr<NetworkMonitor> network_;
};

}  // namespace qm
