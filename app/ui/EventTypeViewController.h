#pragma once
// The event types pane: every event type seen so far by its short name, in
// ascending order, with its count. Selecting types restricts the events table to
// them; deselecting removes them again. Counting is fed by the events view as
// events move into the store; redrawing is throttled to once per 1.5 seconds
// while events stream in. Main thread only.

#include <QAbstractListModel>
#include <QStyledItemDelegate>
#include <QWidget>

#include <chrono>
#include <cstddef>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "EventItem.h"

class QItemSelection;
class QListView;

namespace qm {

class ViewController;

// What the pane shows: a copy of the names and counts taken at the last redraw,
// so that the view never sees the lists change between two redraws.
class EventTypeModel : public QAbstractListModel {
    Q_OBJECT
public:
    static constexpr int CountRole = Qt::UserRole + 1;

    using Entry = std::pair<QString, qulonglong>;

    using QAbstractListModel::QAbstractListModel;

    int rowCount(const QModelIndex& parent = {}) const override;
    // Display and tool tip: the short name; CountRole: the count.
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

    void setEntries(std::vector<Entry> entries);

private:
    std::vector<Entry> entries_;
};

// One entry of the pane: the name at the left, its count in a rounded box at the
// right, the whole entry on a rounded selection background.
class EventTypeItem : public QStyledItemDelegate {
    Q_OBJECT
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};

class EventTypeViewController : public QWidget {
    Q_OBJECT
public:
    using Clock = std::chrono::steady_clock;

    explicit EventTypeViewController(QWidget* parent = nullptr);

    std::unordered_map<std::string, std::size_t> eventTypeCount;  // short name -> events
    std::vector<std::string> sortedTypes;  // each name of eventTypeCount once, ascending
    Clock::time_point lastRefresh = Clock::now();
    double refreshInterval = 1.5;  // seconds
    QListView* typeCollectionView = nullptr;
    ViewController* eventsViewController = nullptr;  // set by the window controller

    // Counts one event of the type with this short name; redraws when more than
    // refreshInterval has passed since the last throttled redraw.
    void countEventTypes(const std::string& name);
    void countEventTypes(const std::string& name, Clock::time_point now);
    // The same for the events of a batch, per name: the counts and the redraw are
    // those of counting the events one by one.
    void countEventTypes(const std::vector<TypeCount>& counts);
    void countEventTypes(const std::vector<TypeCount>& counts, Clock::time_point now);

    // Redraws the pane from the lists, later on the main thread. The selection
    // follows the names it was on.
    void reloadTypes();

    // Empties both lists and redraws (after all events were deleted).
    void clearTypes();

    // Deselects every entry without touching the filters (the caller clears them).
    void deselectAll();

    EventTypeModel* model() const { return model_; }

private:
    void redraw();
    void selectionChanged(const QItemSelection& selected, const QItemSelection& deselected);
    void applySelection(const QItemSelection& indexes, bool select);

    EventTypeModel* model_ = nullptr;
    bool ignoreSelection_ = false;  // selection changes made here, not by the user
};

}  // namespace qm
