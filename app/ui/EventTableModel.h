#pragma once
// The events table's model: one row per event of the shown list (the filtered
// events while a filter is in force, else all events), one column per identifier.
// Reads the store directly and copies nothing; the row count is taken at each
// reload so the view sees changes only when the controller redraws.

#include <QAbstractTableModel>
#include <QColor>

#include <optional>
#include <string_view>
#include <vector>

#include "EventFilters.h"
#include "EventSummary.h"

namespace qm {

class EventTableModel : public QAbstractTableModel {
    Q_OBJECT
public:
    // Header data role giving a column's identifier ("EventNumber", "PID", ...).
    static constexpr int IdentifierRole = Qt::UserRole + 1;

    // What one cell shows.
    struct Cell {
        QString text;
        QString toolTip;  // empty: none
        bool red = false;  // system red background, else clear
    };

    struct Column {
        QString identifier;
        QString title;
        int width;  // initial width in pixels
        // summary: a buffer for the event's summary, reused from cell to cell.
        Cell (*cell)(const EventItem& event, EventSummary& summary);
    };

    // Cell texts and tool tips longer than this many bytes (more than any screen
    // shows) are cut there and end in an ellipsis; the details window and saving
    // keep the whole event.
    static constexpr std::size_t cellTextLimit = 4096;

    // The columns in table order.
    static const std::vector<Column>& columns();
    // The column with the identifier, or nullptr.
    static const Column* column(QStringView identifier);

    explicit EventTableModel(const EventFilters& filters, QObject* parent = nullptr);

    const EventList& shownEvents() const;
    // Takes the shown list's size as the new row count and resets the views.
    void reload();

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    // Display: the text; tool tip: the tooltip; background: red or none. Rows that
    // no longer lie within the shown list have no data.
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    static const QColor systemRed;

private:
    const EventFilters& filters_;
    int rows_ = 0;
    mutable EventSummary summary_;  // keeps its capacity between cells
};

}  // namespace qm
