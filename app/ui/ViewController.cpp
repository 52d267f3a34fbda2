#include "ViewController.h"

#include <algorithm>
#include <cstdio>
#include <shared_mutex>
#include <utility>

#include <QAction>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QListView>
#include <QMenu>
#include <QSplitter>
#include <QStringDecoder>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>

#include "AlertPresenter.h"
#include "DefaultSettings.h"
#include "Dispatch.h"
#include "ESLoggerFile.h"
#include "ESLoggerTail.h"
#include "EventAnnotator.h"
#include "EventArena.h"
#include "EventDetailsController.h"
#include "EventTableModel.h"
#include "EventViewDelegate.h"
#include "ProgramListModel.h"
#include "SaveEvents.h"

namespace qm {

// What deferred work and source callbacks hold instead of the controller: they run
// only while the controller exists, and the destructor waits for those in progress
// on other threads. self and delegate change on the main thread only, under the
// unique lock; other threads read them under the shared lock.
struct ViewController::Lifeline {
    std::shared_mutex mutex;
    ViewController* self = nullptr;
    EventViewDelegate* delegate = nullptr;

    // From a thread other than the main one.
    template <class F>
    void with(F&& f) {
        std::shared_lock lock(mutex);
        if (self) std::forward<F>(f)(*self);
    }
    bool alive() {
        std::shared_lock lock(mutex);
        return self != nullptr;
    }
};

const QString ViewController::WARP_5s = QStringLiteral("Warp 5-seconds");
const QString ViewController::WARP_30s = QStringLiteral("Warp 30-seconds");
const QString ViewController::WARP_60s = QStringLiteral("Warp 60-seconds");
const QString ViewController::WARP_5m = QStringLiteral("Warp 5-minutes");
const QString ViewController::WARP_60m = QStringLiteral("Warp 60-minutes");
const QString ViewController::WARP_1d = QStringLiteral("Warp 1-day");
const QString ViewController::showJSONTitle = QStringLiteral("Show JSON");

namespace {

using dispatch::DispatchQueue;
using dispatch::QoS;

QString text(std::string_view s) { return QString::fromUtf8(s.data(), qsizetype(s.size())); }

}  // namespace

const std::vector<QString>& ViewController::columnIdentifiers() {
    static const std::vector<QString> ids = [] {
        std::vector<QString> v;
        for (const auto& c : EventTableModel::columns()) v.push_back(c.identifier);
        return v;
    }();
    return ids;
}

ViewController::ViewController(Settings& settings, QWidget* parent) : ViewController(settings, nullptr, parent) {}

ViewController::ViewController(Settings& settings, BackgroundEvents::MakeItem makeItem, QWidget* parent)
    : QWidget(parent),
      settings_(settings),
      life_(std::make_shared<Lifeline>()),
      backgroundEvents_({.refreshInterval = refreshInterval,
                         .now = [this] { return now(); },
                         .deliver = [this](EventBatch&& batch,
                                           BackgroundEvents::Stamp stamp) { fileBatch(std::move(batch), stamp); },
                         // Any thread, also within a source's callback, and after the controller has gone.
                         .failed = [life = life_](const std::string& what) {
                             DispatchQueue::main().async([life, what] {
                                 if (life->self) life->self->buildFailed(what);
                             });
                         },
                         .makeItem = std::move(makeItem),
                         .annotate = nullptr}),
      sources_({.event = [this](es::ESMessage&& message) { receive(std::move(message)); },
                .ended =
                    [life = life_](SourceControl::End end) {
                        life->with([&](ViewController& vc) {
                            if (end == SourceControl::End::loaded) {
                                vc.flushBackgroundEvents();
                                vc.reloadEvents();
                            } else {
                                vc.flushWaitingEvents();  // a stopped tail may have delivered the line it ended in
                            }
                            if (EventViewDelegate* delegate = vc.delegate()) delegate->eventsDidLoad();
                        });
                    },
                .alert =
                    [](SourceControl::Notice notice, std::function<void()> closed) {
                        runAlertLater({notice.warning ? Alert::Style::warning : Alert::Style::informational,
                                       QString::fromStdString(notice.messageText),
                                       QString::fromStdString(notice.informativeText), {}, false},
                                      std::move(closed));
                    }}) {
    life_->self = this;
    trailingTimer_ = new QTimer(this);
    trailingTimer_->setSingleShot(true);
    trailingTimer_->setTimerType(Qt::PreciseTimer);
    connect(trailingTimer_, &QTimer::timeout, this, &ViewController::trailingRefresh);

    eventsModel_ = new EventTableModel(filters, this);
    programsModel_ = new ProgramListModel(filters, this);

    auto* splitter = new QSplitter(Qt::Horizontal, this);
    programsCollectionView_ = new QListView(splitter);
    programsCollectionView_->setObjectName("programsCollectionView");
    programsCollectionView_->setModel(programsModel_);
    programsCollectionView_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    programsCollectionView_->setUniformItemSizes(true);
    eventsTableView_ = new QTableView(splitter);
    eventsTableView_->setObjectName("eventsTableView");
    eventsTableView_->setModel(eventsModel_);
    eventsTableView_->setSelectionBehavior(QAbstractItemView::SelectRows);
    eventsTableView_->setSelectionMode(QAbstractItemView::SingleSelection);
    eventsTableView_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    eventsTableView_->setWordWrap(false);
    eventsTableView_->setSortingEnabled(false);
    eventsTableView_->verticalHeader()->hide();
    eventsTableView_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    eventsTableView_->verticalHeader()->setDefaultSectionSize(eventsTableView_->fontMetrics().height() + 6);
    eventsTableView_->horizontalHeader()->setSectionsClickable(true);
    eventsTableView_->horizontalHeader()->setStretchLastSection(true);
    // Empty at start: no sideways scroll bar until there are rows (see updateStatus).
    eventsTableView_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    for (std::size_t i = 0; i < EventTableModel::columns().size(); ++i)
        eventsTableView_->setColumnWidth(int(i), EventTableModel::columns()[i].width);
    splitter->setStretchFactor(0, 0);
    splitter->setStretchFactor(1, 1);
    splitter->setSizes({200, 900});
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(splitter);

    buildRowMenu();
    eventsTableView_->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(eventsTableView_, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
        clickedRow_ = eventsTableView_->indexAt(pos).row();
        rowMenu_->popup(eventsTableView_->viewport()->mapToGlobal(pos));
    });
    connect(eventsTableView_, &QAbstractItemView::doubleClicked, this, [this](const QModelIndex& index) {
        clickedRow_ = index.row();
        tableDoubleClick(eventsTableView_);
        clickedRow_ = -1;
    });
    connect(eventsTableView_->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this] { tableSelectionChanged(); });
    connect(eventsTableView_->horizontalHeader(), &QHeaderView::sectionClicked, this,
            [this](int column) { headerClicked(column); });
    connect(programsCollectionView_->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this](const QItemSelection& selected, const QItemSelection& deselected) {
                programsSelectionChanged(selected, deselected);
            });

    eventsModel_->reload();
    reloadPrograms();
    detailsController_ = new EventDetailsController(settings_, this);
    buildTypeMapping();
}

ViewController::~ViewController() {
    {
        std::unique_lock lock(life_->mutex);
        life_->self = nullptr;
        life_->delegate = nullptr;
    }
    // Freeing a large capture's items takes the better part of a second.
    filters.removeAll();
}

void ViewController::buildRowMenu() {
    rowMenu_ = new QMenu(this);
    const std::pair<QString, void (ViewController::*)(QObject*)> actions[] = {
        {showJSONTitle, &ViewController::tableDoubleClick},
        {QStringLiteral("Chain PID"), &ViewController::chainPIDRequest},
        {QStringLiteral("Ignore Program"), &ViewController::ignoreProgram},
        {QStringLiteral("Ignore Event Type"), &ViewController::ignoreEventType},
    };
    for (const auto& [title, action] : actions) {
        QAction* item = rowMenu_->addAction(title);
        connect(item, &QAction::triggered, this, [this, item, action = action] { (this->*action)(item); });
    }
    for (const QString* title : {&WARP_5s, &WARP_30s, &WARP_60s, &WARP_5m, &WARP_60m}) {
        QAction* item = rowMenu_->addAction(*title);
        connect(item, &QAction::triggered, this, [this, item] { timeWarp(item); });
    }
    // The clicked row belongs to this one showing of the menu; the reset is queued
    // so that it comes after the chosen item's action.
    connect(rowMenu_, &QMenu::aboutToHide, this, [this] {
        QTimer::singleShot(0, this, [this] { clickedRow_ = -1; });
    });
}

void ViewController::buildTypeMapping() {
    for (const es::EnumCase& c : es::EnumInfo<es::EventType>::cases) {
        if (!QString::fromLatin1(c.name.data(), qsizetype(c.name.size())).contains("type_notify_", Qt::CaseInsensitive))
            continue;
        auto type = static_cast<es::EventType>(c.raw);
        typeMapping.emplace(es::shortName(type), type);
    }
}

std::shared_ptr<es::ESLogger> ViewController::eslogger() const { return sources_.current(); }

const EventList& ViewController::shownEvents() const { return eventsModel_->shownEvents(); }

EventViewDelegate* ViewController::delegate() const { return life_->delegate; }

void ViewController::setDelegate(EventViewDelegate* delegate) {
    std::unique_lock lock(life_->mutex);
    life_->delegate = delegate;
}

void ViewController::setProgramItemFactory(ProgramItemFactory factory) {
    programItemFactory_ = std::move(factory);
    reloadPrograms();
}

void ViewController::onMain(std::function<void(ViewController&)> f) {
    DispatchQueue::main().async([life = life_, f = std::move(f)] {
        // The controller is destroyed on the main thread, so no lock is needed here.
        if (life->self) f(*life->self);
    });
}

// ---- Add-event path and redraw ----

void ViewController::addEvent(es::ESMessage message) { receive(std::move(message)); }

void ViewController::receive(es::ESMessage&& message) {
    if (backgroundEvents_.add(std::move(message))) onMain([](ViewController& vc) { vc.trailingRefresh(); });
}

// Flushes once the interval since the last flush has passed, waiting on the main
// queue's timer until then; ends when nothing waits any more.
void ViewController::trailingRefresh() {
    const std::optional<Clock::duration> wait = backgroundEvents_.trailingWait();
    if (!wait) return;
    if (*wait > Clock::duration::zero())
        trailingTimer_->start(int(std::chrono::ceil<std::chrono::milliseconds>(*wait).count()));
    else  // building the waiting items takes milliseconds during a fast stream: not here
        DispatchQueue::global(QoS::normal).async([life = life_] {
            life->with([](ViewController& vc) { vc.flushBackgroundEvents(); });
        });
}

std::size_t ViewController::backgroundEventCount() { return backgroundEvents_.size(); }

void ViewController::flushWaitingEvents() {
    if (backgroundEventCount() > 0) flushBackgroundEvents();
}

void ViewController::flushBackgroundEvents() { backgroundEvents_.flush(); }

void ViewController::fileBatch(EventBatch&& batch, BackgroundEvents::Stamp stamp) {
    DispatchQueue::main().async([life = life_, batch = std::move(batch), stamp]() mutable {
        // The controller is destroyed on the main thread, so no lock is needed here.
        ViewController* vc = life->self;
        // Events taken before a Delete Events belong to the deleted capture.
        if (!vc || !vc->backgroundEvents_.current(stamp)) return releaseLater(std::move(batch));
        // Memory can run out while the batch is filed: the store is left as it was, and
        // the batch and what follows it are lost as when items cannot be built.
        std::vector<TypeCount> counts;
        try {
            counts = batch.typeCounts();
            vc->filters.addEvents(std::move(batch));
        } catch (...) {
            vc->backgroundEvents_.deliveryFailed();
            return;
        }
        if (EventViewDelegate* delegate = vc->delegate()) delegate->countEventTypeBatch(counts);
        // A file load redraws once when it ends; a filtered list is redrawn at the
        // next filter change.
        if (dynamic_cast<const es::ESLoggerFile*>(vc->eslogger().get())) return;
        if (vc->filters.isFiltering()) return;
        vc->reloadEvents();
    });
}

void ViewController::buildFailed(const std::string& what) {
    // Shown as a failure inside the source is; the events before it stay.
    handleLoggerError(es::ESLogger::Error(es::ESLogger::Error::Kind::internalError, what));
    stopEvents();
}

void ViewController::reloadEvents() {
    onMain([](ViewController& vc) { vc.updateStatus(); });
}

void ViewController::updateStatus() {
    // A reload keeps the table's selection, as far as the rows reach, without
    // counting as a selection change.
    const int selected = selectedRow();
    restoringSelection_ = true;
    eventsModel_->reload();
    if (selected >= 0 && selected < eventsModel_->rowCount())
        eventsTableView_->selectionModel()->select(eventsModel_->index(selected, 0),
                                                   QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    restoringSelection_ = false;

    const int rows = eventsModel_->rowCount();
    if (autoScroll && rows > 0 && dynamic_cast<const es::ESLoggerTail*>(eslogger().get()))
        eventsTableView_->scrollToBottom();

    if (lastSelectedRow_ != -1 && settings_.boolValue(keys::stickyRowEnabled)) {
        const EventList& shown = shownEvents();
        int row = -1;
        if (lastSelectedRow_ < int(shown.size()) && lastSelectedEvent_ && *shown[std::size_t(lastSelectedRow_)] == *lastSelectedEvent_) {
            row = lastSelectedRow_;
        } else if (lastSelectedEvent_) {
            auto it = std::find_if(shown.begin(), shown.end(), [&](const EventItemPtr& e) { return *e == *lastSelectedEvent_; });
            if (it != shown.end()) row = int(it - shown.begin());
        }
        if (row >= 0 && row < rows) {
            selectRowAlone(row);
            eventsTableView_->scrollTo(eventsModel_->index(row, 0));
        }
    }

    subtitle_ = QString::number(shownEvents().size()) + " of " + QString::number(filters.allEvents.size()) +
                "-events, " + QString::number(filters.allPrograms.size()) + "-programs";
    emit subtitleChanged(subtitle_);

    if (!filters.isFiltering()) reloadPrograms();
    // Nothing to scroll to sideways while there are no rows.
    eventsTableView_->setHorizontalScrollBarPolicy(rows > 0 ? Qt::ScrollBarAsNeeded : Qt::ScrollBarAlwaysOff);
    if (EventViewDelegate* d = delegate()) d->filtersDidChange();
}

void ViewController::reloadPrograms() {
    changingProgramSelection_ = true;
    programsModel_->reload();
    changingProgramSelection_ = false;
    if (!programItemFactory_) return;
    for (int i = 0; i < programsModel_->rowCount(); ++i) {
        QWidget* item = programItemFactory_(i);
        if (!item) continue;
        if (i == 0) programsModel_->setItemSize(item->sizeHint());
        programsCollectionView_->setIndexWidget(programsModel_->index(i), item);
    }
}

// ---- Table selection, header and programs ----

int ViewController::selectedRow() const {
    const QModelIndexList rows = eventsTableView_->selectionModel()->selectedRows();
    return rows.isEmpty() ? -1 : rows.last().row();
}

void ViewController::selectRowAlone(int row) {
    eventsTableView_->selectionModel()->setCurrentIndex(
        eventsModel_->index(row, 0), QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

void ViewController::tableSelectionChanged() {
    if (restoringSelection_) return;
    lastSelectedRow_ = selectedRow();
    const EventList& shown = shownEvents();
    if (lastSelectedRow_ >= 0 && std::size_t(lastSelectedRow_) < shown.size())
        lastSelectedEvent_ = shown[std::size_t(lastSelectedRow_)];
}

void ViewController::headerClicked(int column) {
    if (eventsModel_->headerData(column, Qt::Horizontal, EventTableModel::IdentifierRole).toString() == "EventNumber") {
        EventList& shown = filters.isFiltering() ? filters.filteredEvents : filters.allEvents;
        std::stable_sort(shown.begin(), shown.end(), [](const EventItemPtr& a, const EventItemPtr& b) {
            return a->theEvent().global_seq_num < b->theEvent().global_seq_num;
        });
    }
    reloadEvents();
}

void ViewController::programsSelectionChanged(const QItemSelection& selected, const QItemSelection& deselected) {
    if (changingProgramSelection_) return;
    for (const QModelIndex& index : deselected.indexes()) deselectProgram(programsModel_->path(index.row()));
    for (const QModelIndex& index : selected.indexes()) selectProgram(programsModel_->path(index.row()));
    reloadEvents();
}

void ViewController::selectProgram(const std::string& path) {
    auto it = filters.allPrograms.find(path);
    if (it == filters.allPrograms.end()) return;
    filters.selectedPrograms.insert(path);
    EventList events = it->second->read([](const ProgramItem::Contents& c) { return c.allEvents; });
    EventList result = filters.refilter(events, -1);
    if (filters.selectedPrograms.size() == 1) filters.setFilteredEvents(std::move(result));
    else filters.filteredEvents.insert(filters.filteredEvents.end(), result.begin(), result.end());
}

void ViewController::deselectProgram(const std::string& path) {
    filters.selectedPrograms.erase(path);
    if (!filters.selectedPrograms.empty()) {
        std::erase_if(filters.filteredEvents,
                      [&](const EventItemPtr& e) { return e->theProcess().executable.path == path; });
    } else {
        filters.setFilteredEvents(filters.isFiltering() ? filters.refilter(filters.allEvents, -1) : EventList{});
    }
}

// ---- Sources ----

void ViewController::openEventFiles(const std::filesystem::path& url) {
    flushWaitingEvents();
    backgroundEvents_.resume();
    sources_.open(url);
}

void ViewController::startTail(const std::filesystem::path& url) {
    flushWaitingEvents();
    backgroundEvents_.resume();
    sources_.follow(url, settings_.boolValue(keys::tailUseBigF));
}

void ViewController::stopEvents() {
    // What the source delivered so far is shown at once; what a tail delivers while it
    // stops, when the stop ends.
    if (sources_.stop()) flushWaitingEvents();
}

void ViewController::clearEvents() {
    backgroundEvents_.clear();
    // Freeing a large capture's items takes the better part of a second.
    filters.removeAll();
    sources_.dropFileSource();
    reloadEvents();
}

void ViewController::handleLoggerError(const es::ESLogger::Error& error) { sources_.handleError(error); }

// ---- Row actions and filters ----

void ViewController::alignSelectionWithClick() {
    if (clickedRow_ >= 0 && clickedRow_ < eventsModel_->rowCount() && clickedRow_ != selectedRow())
        selectRowAlone(clickedRow_);
}

EventItemPtr ViewController::actingEvent() const {
    const int row = selectedRow();
    const EventList& shown = shownEvents();
    if (row < 0 || std::size_t(row) >= shown.size()) return nullptr;
    return shown[std::size_t(row)];
}

void ViewController::timeWarp(const QAction* sender) {
    static const std::pair<const QString*, std::int64_t> spans[] = {
        {&WARP_5s, 5}, {&WARP_30s, 30}, {&WARP_60s, 60}, {&WARP_5m, 300}, {&WARP_60m, 3600}, {&WARP_1d, 86400},
    };
    std::int64_t span = 60;
    for (const auto& [title, seconds] : spans)
        if (sender && sender->text() == *title) span = seconds;

    alignSelectionWithClick();
    const EventItemPtr event = actingEvent();
    if (!event) {
        runAlertLater({Alert::Style::informational, "To warp, you must first select a row", {}, {}, false});
        return;
    }
    filters.setTimeWindow(event->timestamp(), span, selectedRow());
    if (EventViewDelegate* d = delegate()) d->timeWarpDidEnable();
    reloadEvents();
}

void ViewController::chainPIDRequest(QObject*) {
    alignSelectionWithClick();
    if (filterPIDChain())
        if (EventViewDelegate* d = delegate()) d->pidChainDidEnable();
}

bool ViewController::filterPIDChain() {
    if (selectedRow() == -1) {
        runAlertLater(
            {Alert::Style::informational, "Select the row for the PID you'd like to chain", {}, {}, false});
        return false;
    }
    const EventItemPtr event = actingEvent();
    if (!event) return false;
    showPIDChain({event->theProcess().audit_token.pid});
    return true;
}

void ViewController::showPIDChain(const std::vector<std::int64_t>& pids) {
    clearFilters();
    filters.setPIDChain(pids);
    reloadEvents();
}

void ViewController::ignoreProgram(QObject*) {
    alignSelectionWithClick();
    if (const EventItemPtr event = actingEvent()) {
        filters.ignoreProgram(event->theProcess().executable.path);
        reloadEvents();
    }
}

void ViewController::ignoreEventType(QObject*) {
    alignSelectionWithClick();
    if (const EventItemPtr event = actingEvent()) {
        filters.ignoreEventType({event->theEvent().event_type});
        reloadEvents();
    }
}

void ViewController::clearFilters() {
    filters.clearAll();
    changingProgramSelection_ = true;
    programsCollectionView_->clearSelection();
    changingProgramSelection_ = false;
    if (EventViewDelegate* d = delegate()) {
        d->deselectAllEventTypes();
        d->filtersDidClear();
    }
    reloadEvents();
}

bool ViewController::annotateFilter() {
    bool on;
    if (filters.annotateFilter) {
        filters.annotateFilter = false;
        filters.setFilteredEvents(filters.isFiltering() ? filters.refilter(filters.allEvents, -1) : EventList{});
        on = false;
    } else {
        EventList kept;
        for (const EventItemPtr& e : shownEvents())
            if (!e->annotations().isEmpty()) kept.push_back(e);
        filters.filteredEvents = std::move(kept);
        filters.annotateFilter = true;
        on = true;
    }
    reloadEvents();
    return on;
}

bool ViewController::filterAppleBinaries() {
    bool on;
    if (filters.appleBinaryFilter) {
        filters.appleBinaryFilter = false;
        filters.setFilteredEvents(filters.isFiltering() ? filters.refilter(filters.allEvents, -1) : EventList{});
        on = false;
    } else {
        filters.enableAppleBinaryFilter();
        on = true;
    }
    reloadEvents();
    return on;
}

void ViewController::searchEvents(const QString& text) {
    static const QStringList numericCategories{"PID", "RPID", "PPID", "UID", "AnyPID"};
    if (!text.isEmpty() && numericCategories.contains(QString::fromStdString(filters.searchCategory))) {
        if (searchNumbers(text.toStdString()).empty()) {
            runAlertLater({Alert::Style::warning, "Invalid Search value",
                           "When searching for PID, PPID, UID, RPID - the search must be a number", {}, false});
            return;
        }
    }
    filters.setSearchString(text.toStdString());
    reloadEvents();
}

// ---- Saving and the details window ----

void ViewController::presentFileError(const QString& message, int kind) {
    runAlertLater({Alert::Style::warning, kind == 0 ? "File Access Error" : "Display Error", message, {}, false});
}

void ViewController::saveEvents(const std::filesystem::path& url, std::optional<EventList> events) {
    // Every save ends with one call to the delegate, whatever fails on the way, so that
    // Save can be used again; a failure has shown its alert by then.
    auto ended = [](const std::shared_ptr<Lifeline>& life, bool saved) {
        life->with([&](ViewController& vc) {
            if (EventViewDelegate* delegate = vc.delegate()) saved ? delegate->saveDidComplete() : delegate->saveDidFail();
        });
    };
    auto failed = [](const std::shared_ptr<Lifeline>& life, const SaveResult& result) noexcept {
        if (!life->alive()) return;
        try {
            if (!result.failedOperation.empty())
                presentFileError(text(result.failedOperation), 0);
            else
                runAlertLater({Alert::Style::warning, "Save Error",
                               "Unable to save file: " + QString::fromStdString(result.failedCause), {}, false});
        } catch (...) {  // no memory for the alert either: the save still ends
        }
    };
    try {
        EventList list = events ? std::move(*events) : shownEvents();
        DispatchQueue::global(QoS::userInitiated).async([life = life_, url, list = std::move(list), ended, failed] {
            const SaveResult result = writeEvents(url, list, [&] {
                if (life->alive())
                    runAlertLater({Alert::Style::warning, "Save Error", "Unable to save file due to JSON encoding error",
                                   {}, false});
            });
            if (!result.saved()) failed(life, result);
            ended(life, result.saved());
        });
    } catch (...) {
        // The save could not be started (memory ran out).
        failed(life_, {{}, failureCause()});
        ended(life_, false);
    }
}

void ViewController::tableDoubleClick(QObject*) {
    alignSelectionWithClick();
    const EventItemPtr event = actingEvent();
    if (!event) return;
    std::string json;
    try {
        json = es::encodeMessage(event->theEvent(), true);
    } catch (const std::exception&) {
        presentFileError("unable to JSON encode event for detailed display", 1);
        return;
    }
    QStringDecoder decode(QStringDecoder::Utf8);
    QString shown = decode(QByteArrayView(json.data(), qsizetype(json.size())));
    if (decode.hasError()) {
        presentFileError("unable to create string from decoded JSON", 1);
        return;
    }
    detailsController_->showJSON(text(es::shortName(event->theEvent().event_type)), shown);
}

}  // namespace qm
