#include "ProgramListModel.h"

namespace qm {

ProgramListModel::ProgramListModel(const EventFilters& filters, QObject* parent)
    : QAbstractListModel(parent), filters_(filters) {}

void ProgramListModel::reload() {
    beginResetModel();
    paths_ = filters_.sortedProgramPaths;
    endResetModel();
}

const std::string& ProgramListModel::path(int row) const {
    static const std::string none;
    return row >= 0 && std::size_t(row) < paths_.size() ? paths_[std::size_t(row)] : none;
}

int ProgramListModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : int(paths_.size()); }

QVariant ProgramListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() < 0 || std::size_t(index.row()) >= paths_.size()) return {};
    const std::string& p = paths_[std::size_t(index.row())];
    switch (role) {
        case Qt::DisplayRole: {
            std::string_view name = p;
            while (!name.empty() && name.back() == '/') name.remove_suffix(1);
            if (auto slash = name.rfind('/'); slash != std::string_view::npos) name.remove_prefix(slash + 1);
            return QString::fromUtf8(name.data(), qsizetype(name.size()));
        }
        case Qt::ToolTipRole:
        case ProgramPathRole: return QString::fromStdString(p);
        case Qt::SizeHintRole: return itemSize_.isValid() ? QVariant(itemSize_) : QVariant();
        default: return {};
    }
}

}  // namespace qm
