#pragma once
// The events area of the main window: the events table (one row per event of the
// shown list) and the programs collection (one entry per program). Owns the
// current event source and the event store; receives every decoded event, batches
// them, moves them into the store on the main queue and redraws the table, the
// programs and the status text. Also starts and stops sources, turns their errors
// into alerts, applies the row actions and filters, saves events and shows one
// event's JSON.
//
// The life of the sources and the alerts of their errors are SourceControl's; this
// controller makes them visible.
//
// Threads: addEvent, flushBackgroundEvents, backgroundEventCount, reloadEvents,
// eslogger, handleLoggerError, saveEvents and presentFileError may be called from any
// thread; every other operation, and every field, belongs to the main (GUI) thread.

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

#include <QString>
#include <QWidget>

#include "BackgroundEvents.h"
#include "ESLogger.h"
#include "EventFilters.h"
#include "Settings.h"
#include "SourceControl.h"

class QAction;
class QItemSelection;
class QListView;
class QMenu;
class QTableView;
class QTimer;

namespace qm {

class EventDetailsController;
class EventTableModel;
class EventViewDelegate;
class ProgramListModel;

class ViewController : public QWidget {
    Q_OBJECT
public:
    using Clock = std::chrono::steady_clock;
    // Makes the programs pane's entry widget for the program at index i of
    // filters.sortedProgramPaths; the collection owns the widget.
    using ProgramItemFactory = std::function<QWidget*(int index)>;

    // Titles of the time-warp menu items.
    static const QString WARP_5s, WARP_30s, WARP_60s, WARP_5m, WARP_60m, WARP_1d;
    // Title of the row menu item that shows the event's JSON.
    static const QString showJSONTitle;

    // The settings are read for the sticky row and the tail mode; they must outlive
    // the controller.
    explicit ViewController(Settings& settings = standardSettings(), QWidget* parent = nullptr);
    // Stops the current source without waiting for it (its work holds it, and the
    // end of the process waits for it: SourceControl::waitForSourceWork) and waits
    // for any callback in progress; deferred work that arrives later does nothing.
    // The items go on a global queue.
    ~ViewController() override;

    // All events, the programs and the filter state. Main thread only.
    EventFilters filters;
    // Keep the newest row in view while a followed file grows.
    bool autoScroll = false;
    // Minimum time between two flushes of the background events.
    const std::chrono::duration<double> refreshInterval{2.0};
    // Short event name to event type, for every notify type.
    std::unordered_map<std::string, es::EventType> typeMapping;

    // The current event source (an ESLoggerFile or an ESLoggerTail), or none.
    std::shared_ptr<es::ESLogger> eslogger() const;
    // The list the table shows: the filtered events while a filter is in force,
    // else all events.
    const EventList& shownEvents() const;
    // The table's selected row after the last selection change (-1: none) and
    // the event that was in it.
    int lastSelectedRow() const { return lastSelectedRow_; }
    const EventItemPtr& lastSelectedEvent() const { return lastSelectedEvent_; }
    // "<shown> of <all>-events, <programs>-programs", as of the last reload.
    const QString& subtitle() const { return subtitle_; }

    EventViewDelegate* delegate() const;
    // The delegate must outlive the controller or be reset to null first; the
    // reset waits for a delegate call in progress on another thread.
    void setDelegate(EventViewDelegate* delegate);

    QTableView* eventsTableView() const { return eventsTableView_; }
    QListView* programsCollectionView() const { return programsCollectionView_; }
    EventDetailsController* detailsController() const { return detailsController_; }
    // The row context menu: show JSON, "Chain PID", "Ignore Program",
    // "Ignore Event Type" and five warp items.
    QMenu* rowMenu() const { return rowMenu_; }
    // Without a factory each program shows as its name with its path as tooltip.
    void setProgramItemFactory(ProgramItemFactory factory);
    // The life of the sources (open, follow, stop and the end of a load).
    SourceControl& sourceControl() { return sources_; }

    // Events: add-event path and redraw.
    // Events that wait in the background list are flushed by a single-shot timer
    // once the refresh interval has passed since the last flush, so none waits
    // longer than the interval after it arrived. The items are built on the global
    // queues while they wait; a flush takes every event received so far, in order,
    // building or waiting for what is not built yet.
    void addEvent(es::ESMessage message);
    void flushBackgroundEvents();
    // Events received but not yet moved into the store.
    std::size_t backgroundEventCount();
    void reloadEvents();

    // Sources. Stop moves the waiting events into the store and ignores whatever
    // the stopped source still delivers; a new source first moves the waiting
    // events of earlier ones; Delete Events drops them. Errors about dropped lines
    // that arrive while such an alert is open are summed up in one alert when it
    // closes (each still written to standard output).
    void openEventFiles(const std::filesystem::path& url);
    void startTail(const std::filesystem::path& url);
    void stopEvents();
    void clearEvents();
    void handleLoggerError(const es::ESLogger::Error& error);

    // Row actions and filters. The actions with a sender act on the clicked row
    // (a right or double click selects it first), else on the selected row.
    void timeWarp(const QAction* sender);
    void chainPIDRequest(QObject* sender = nullptr);
    bool filterPIDChain();
    void ignoreProgram(QObject* sender = nullptr);
    void ignoreEventType(QObject* sender = nullptr);
    void clearFilters();
    // Clears every filter, then filters by the process chain of the pids.
    void showPIDChain(const std::vector<std::int64_t>& pids);
    bool annotateFilter();
    bool filterAppleBinaries();
    void searchEvents(const QString& text);

    // Saving and the JSON details window. With no list, the shown events are saved.
    void saveEvents(const std::filesystem::path& url, std::optional<EventList> events = std::nullopt);
    void tableDoubleClick(QObject* sender = nullptr);
    // kind 0: "File Access Error", kind 1: "Display Error"; the message is the
    // informative text. Any thread.
    static void presentFileError(const QString& message, int kind);

    // The column identifiers of the events table, in column order.
    static const std::vector<QString>& columnIdentifiers();

signals:
    // The status text changed; the window shows it where a subtitle would be.
    void subtitleChanged(const QString& text);

protected:
    // For tests: items are made by makeItem.
    ViewController(Settings& settings, BackgroundEvents::MakeItem makeItem, QWidget* parent = nullptr);
    // The clock of the refresh throttle.
    virtual Clock::time_point now() const { return Clock::now(); }

private:
    struct Lifeline;

    void buildRowMenu();
    void buildTypeMapping();
    // Runs f on the main queue later, unless the controller is gone by then.
    void onMain(std::function<void(ViewController&)> f);
    void receive(es::ESMessage&& message);
    void trailingRefresh();
    // Files a flushed batch into the store, on the main queue.
    void fileBatch(EventBatch&& batch, BackgroundEvents::Stamp stamp);
    // Items could not be built: the alert, and the source stops. Main thread.
    void buildFailed(const std::string& what);
    // Flushes the background list when it holds events.
    void flushWaitingEvents();
    void updateStatus();
    void reloadPrograms();
    // Selects the clicked row alone when it differs from the selected row.
    void alignSelectionWithClick();
    // The selected row's event when the row lies within the shown list.
    EventItemPtr actingEvent() const;
    int selectedRow() const;
    void selectRowAlone(int row);
    void tableSelectionChanged();
    void headerClicked(int column);
    void programsSelectionChanged(const QItemSelection& selected, const QItemSelection& deselected);
    void selectProgram(const std::string& path);
    void deselectProgram(const std::string& path);

    Settings& settings_;
    std::shared_ptr<Lifeline> life_;

    BackgroundEvents backgroundEvents_;
    // After backgroundEvents_, which its hooks use: it goes first.
    SourceControl sources_;
    QTimer* trailingTimer_ = nullptr;

    int lastSelectedRow_ = -1;
    EventItemPtr lastSelectedEvent_;
    QString subtitle_;
    int clickedRow_ = -1;                // the row of the right or double click in progress
    bool restoringSelection_ = false;    // selection changes made by a reload itself
    bool changingProgramSelection_ = false;

    QTableView* eventsTableView_ = nullptr;
    QListView* programsCollectionView_ = nullptr;
    EventTableModel* eventsModel_ = nullptr;
    ProgramListModel* programsModel_ = nullptr;
    QMenu* rowMenu_ = nullptr;
    EventDetailsController* detailsController_ = nullptr;
    ProgramItemFactory programItemFactory_;
};

}  // namespace qm
