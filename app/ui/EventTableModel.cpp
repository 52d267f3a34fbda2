#include "EventTableModel.h"

#include "EventSummary.h"

namespace qm {

namespace {

// A text cut after cellTextLimit bytes, at the start of a character, with an ellipsis:
// cells are drawn at every repaint, and no screen shows more of a line.
QString text(std::string_view s) {
    if (s.size() <= EventTableModel::cellTextLimit) return QString::fromUtf8(s.data(), qsizetype(s.size()));
    std::size_t cut = EventTableModel::cellTextLimit;
    while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) --cut;
    return QString::fromUtf8(s.data(), qsizetype(cut)) + QChar(0x2026);
}
QString number(std::int64_t n) { return QString::number(n); }

using Cell = EventTableModel::Cell;

Cell eventNumberCell(const EventItem& e, EventSummary&) { return {number(e.theEvent().global_seq_num), {}, false}; }

Cell appleCell(const EventItem& e, EventSummary&) {
    const es::ESProcess& p = e.theProcess();
    return {p.is_platform_binary ? "true" : "false", text(p.signing_id.value_or(std::string())),
            !p.is_platform_binary};
}

Cell processPathCell(const EventItem& e, EventSummary&) {
    return {text(lastPathComponent(e)), text(e.theProcess().executable.path), false};
}

// The tool tip shows a name the column is too narrow for.
Cell eventNameCell(const EventItem& e, EventSummary&) {
    QString name = text(es::shortName(e.theEvent().event_type));
    return {name, name, false};
}

Cell annotationsCell(const EventItem& e, EventSummary&) {
    return {text(annotationBadges(e.annotations())), text(annotationNames(e.annotations())), false};
}

Cell pidCell(const EventItem& e, EventSummary&) {
    const es::ESProcess& p = e.theProcess();
    return {number(p.audit_token.pid), {}, !p.codesigning_flags.contains(es::CodeSigningFlags(es::CodeSigningFlags::CS_SIGNED))};
}

Cell parentPIDCell(const EventItem& e, EventSummary&) { return {number(e.theProcess().parent_audit_token.pid), {}, false}; }

Cell responsiblePIDCell(const EventItem& e, EventSummary&) {
    return {number(e.theProcess().responsible_audit_token.pid), {}, false};
}

Cell otherDetailsCell(const EventItem& e, EventSummary& summary) {
    eventSummary(e, summary);
    return {text(summary.shortText), text(summary.fullText), false};
}

}  // namespace

const QColor EventTableModel::systemRed{255, 59, 48};

const std::vector<EventTableModel::Column>& EventTableModel::columns() {
    static const std::vector<Column> table{
        {"EventNumber", "#", 70, eventNumberCell},
        {"Apple", "Apple", 50, appleCell},
        {"ProcessPath", "Process", 140, processPathCell},
        {"EventName", "Event", 150, eventNameCell},
        {"Annotations", "Annotations", 90, annotationsCell},
        {"PID", "PID", 60, pidCell},
        {"ParentPID", "PPID", 60, parentPIDCell},
        {"ResponsiblePID", "RPID", 60, responsiblePIDCell},
        {"OtherDetails", "Details", 400, otherDetailsCell},
    };
    return table;
}

const EventTableModel::Column* EventTableModel::column(QStringView identifier) {
    for (const Column& c : columns())
        if (c.identifier == identifier) return &c;
    return nullptr;
}

EventTableModel::EventTableModel(const EventFilters& filters, QObject* parent)
    : QAbstractTableModel(parent), filters_(filters) {}

const EventList& EventTableModel::shownEvents() const {
    return filters_.isFiltering() ? filters_.filteredEvents : filters_.allEvents;
}

void EventTableModel::reload() {
    beginResetModel();
    rows_ = int(shownEvents().size());
    endResetModel();
}

int EventTableModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : rows_; }

int EventTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(columns().size());
}

QVariant EventTableModel::data(const QModelIndex& index, int role) const {
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole && role != Qt::BackgroundRole) return {};
    const EventList& shown = shownEvents();
    if (!index.isValid() || index.row() < 0 || std::size_t(index.row()) >= shown.size()) return {};
    if (index.column() < 0 || std::size_t(index.column()) >= columns().size()) return {};
    Cell cell = columns()[std::size_t(index.column())].cell(*shown[std::size_t(index.row())], summary_);
    switch (role) {
        case Qt::DisplayRole: return cell.text;
        case Qt::ToolTipRole: return cell.toolTip.isEmpty() ? QVariant() : QVariant(cell.toolTip);
        default: return cell.red ? QVariant(systemRed) : QVariant();
    }
}

QVariant EventTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || section < 0 || std::size_t(section) >= columns().size()) return {};
    const Column& c = columns()[std::size_t(section)];
    if (role == Qt::DisplayRole) return c.title;
    if (role == IdentifierRole) return c.identifier;
    return {};
}

}  // namespace qm
