#pragma once
// The programs collection's model: one row per program path, in the store's
// sorted order as of the last reload. The paths are taken at each reload, so a
// row keeps naming the program it shows while the store grows between redraws.

#include <QAbstractListModel>
#include <QSize>

#include <string>
#include <vector>

#include "EventFilters.h"

namespace qm {

class ProgramListModel : public QAbstractListModel {
    Q_OBJECT
public:
    // The program's executable path (also its tool tip).
    static constexpr int ProgramPathRole = Qt::UserRole + 1;

    explicit ProgramListModel(const EventFilters& filters, QObject* parent = nullptr);

    // Takes the store's sorted program paths and resets the views.
    void reload();
    // The path of a row as of the last reload; empty outside.
    const std::string& path(int row) const;
    // The size every row asks for (an entry widget's size); invalid: the default.
    void setItemSize(QSize size) { itemSize_ = size; }

    int rowCount(const QModelIndex& parent = {}) const override;
    // Display: the last path component; tool tip and ProgramPathRole: the path.
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

private:
    const EventFilters& filters_;
    std::vector<std::string> paths_;
    QSize itemSize_;
};

}  // namespace qm
