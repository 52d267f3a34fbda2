#include "EventTypeViewController.h"

#include <QListView>
#include <QPainter>
#include <QPainterPath>
#include <QSet>
#include <QVBoxLayout>

#include <algorithm>

#include "MainQueueHook.h"
#include "ViewController.h"

namespace qm {

int EventTypeModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(entries_.size());
}

QVariant EventTypeModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= int(entries_.size())) return {};
    const auto& [name, count] = entries_[std::size_t(index.row())];
    switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole:
        return name;
    case CountRole:
        return count;
    default:
        return {};
    }
}

void EventTypeModel::setEntries(std::vector<Entry> entries) {
    beginResetModel();
    entries_ = std::move(entries);
    endResetModel();
}

namespace {
constexpr int itemHeight = 26;
constexpr int itemRadius = 6;
}  // namespace

void EventTypeItem::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const {
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    const QRectF box = QRectF(option.rect).adjusted(2, 1, -2, -1);
    const bool selected = option.state & QStyle::State_Selected;
    if (selected) {
        QPainterPath background;
        background.addRoundedRect(box, itemRadius, itemRadius);
        painter->fillPath(background, option.palette.highlight());
    }

    const QString count = QString::number(index.data(EventTypeModel::CountRole).toULongLong());
    const QFontMetrics metrics(option.font);
    const qreal countWidth = metrics.horizontalAdvance(count) + 14;
    const QRectF countBox(box.right() - 6 - countWidth, box.top() + 3, countWidth, box.height() - 6);
    painter->setPen(option.palette.color(QPalette::Mid));
    painter->setBrush(option.palette.button());
    painter->drawRoundedRect(countBox, 5, 5);
    painter->setPen(option.palette.color(QPalette::ButtonText));
    painter->drawText(countBox, Qt::AlignCenter, count);

    const QRectF nameBox(box.left() + 8, box.top(), countBox.left() - box.left() - 14, box.height());
    painter->setPen(option.palette.color(selected ? QPalette::HighlightedText : QPalette::Text));
    painter->drawText(nameBox, Qt::AlignVCenter | Qt::AlignLeft,
                      // In the middle: names that share a long start keep their different ends.
                      metrics.elidedText(index.data().toString(), Qt::ElideMiddle, int(nameBox.width())));
    painter->restore();
}

QSize EventTypeItem::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const {
    return {QStyledItemDelegate::sizeHint(option, index).width(), itemHeight};
}

EventTypeViewController::EventTypeViewController(QWidget* parent) : QWidget(parent) {
    model_ = new EventTypeModel(this);
    typeCollectionView = new QListView(this);
    typeCollectionView->setModel(model_);
    typeCollectionView->setItemDelegate(new EventTypeItem(typeCollectionView));
    typeCollectionView->setSelectionMode(QAbstractItemView::ExtendedSelection);
    typeCollectionView->setUniformItemSizes(true);
    typeCollectionView->setFrameShape(QFrame::NoFrame);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(typeCollectionView);
    connect(typeCollectionView->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &EventTypeViewController::selectionChanged);
}

void EventTypeViewController::countEventTypes(const std::string& name) { countEventTypes(name, Clock::now()); }

void EventTypeViewController::countEventTypes(const std::string& name, Clock::time_point now) {
    countEventTypes(std::vector<TypeCount>{{name, 1}}, now);
}

void EventTypeViewController::countEventTypes(const std::vector<TypeCount>& counts) {
    countEventTypes(counts, Clock::now());
}

void EventTypeViewController::countEventTypes(const std::vector<TypeCount>& counts, Clock::time_point now) {
    if (counts.empty()) return;
    for (const TypeCount& type : counts) {
        auto [entry, isNew] = eventTypeCount.try_emplace(std::string(type.name), 0);
        if (isNew) sortedTypes.insert(std::lower_bound(sortedTypes.begin(), sortedTypes.end(), entry->first), entry->first);
        entry->second += type.count;
    }
    // Counted one by one, the events of a batch would redraw at most once: the first
    // redraw resets the clock.
    if (std::chrono::duration<double>(now - lastRefresh).count() > refreshInterval) {
        reloadTypes();
        lastRefresh = now;
    }
}

void EventTypeViewController::reloadTypes() {
    onMainQueue(this, [](EventTypeViewController& types) { types.redraw(); });
}

void EventTypeViewController::clearTypes() {
    eventTypeCount.clear();
    sortedTypes.clear();
    reloadTypes();
}

void EventTypeViewController::deselectAll() {
    ignoreSelection_ = true;
    typeCollectionView->clearSelection();
    ignoreSelection_ = false;
}

void EventTypeViewController::redraw() {
    // A reset forgets the selection without telling anyone; put it back on the
    // same names so that the pane keeps showing the type filter in force.
    QSet<QString> selected;
    for (const auto& index : typeCollectionView->selectionModel()->selectedIndexes()) selected.insert(index.data().toString());

    std::vector<EventTypeModel::Entry> entries;
    entries.reserve(sortedTypes.size());
    for (const auto& name : sortedTypes) entries.emplace_back(QString::fromStdString(name), eventTypeCount[name]);
    ignoreSelection_ = true;
    model_->setEntries(std::move(entries));
    if (!selected.isEmpty()) {
        QItemSelection selection;
        for (int row = 0; row < model_->rowCount(); ++row) {
            const auto index = model_->index(row);
            if (selected.contains(index.data().toString())) selection.select(index, index);
        }
        typeCollectionView->selectionModel()->select(selection, QItemSelectionModel::Select);
    }
    ignoreSelection_ = false;
}

void EventTypeViewController::selectionChanged(const QItemSelection& selected, const QItemSelection& deselected) {
    if (ignoreSelection_) return;
    applySelection(deselected, false);
    applySelection(selected, true);
}

void EventTypeViewController::applySelection(const QItemSelection& indexes, bool select) {
    std::vector<std::string> names;
    for (const auto& index : indexes.indexes()) names.push_back(index.data().toString().toStdString());
    if (names.empty() || !eventsViewController) return;

    std::vector<es::EventType> types;
    for (const auto& name : names)
        if (auto found = eventsViewController->typeMapping.find(name); found != eventsViewController->typeMapping.end())
            types.push_back(found->second);
    auto& filters = eventsViewController->filters;
    if (select) filters.selectEventTypes(types);
    else filters.deselectEventTypes(types);
    eventsViewController->reloadEvents();
}

}  // namespace qm
