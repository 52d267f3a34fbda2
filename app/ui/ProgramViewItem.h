#pragma once
// One entry of the programs pane: the program's icon, its name (the full path as
// tool tip, which is the entry's key), "N-pids / M-events", a badge for programs
// that are not platform binaries, and two actions: save this program's events,
// and filter the table to the process chain of its processes.

#include <QFrame>
#include <QIcon>

#include <cstddef>
#include <filesystem>
#include <optional>
#include <tuple>

#include "ProgramItem.h"

class QLabel;
class QToolButton;

namespace qm {

class EventFilters;
class ViewController;

// What a programs pane entry asks of the window it is shown in (the main window
// controller): the events view, a file to save to, and the chain filter's tint.
class ProgramEntryHost {
public:
    virtual ~ProgramEntryHost() = default;
    virtual ViewController* programEntryEvents() const = 0;
    // A file panel; none when cancelled.
    virtual std::optional<std::filesystem::path> askSaveURL() = 0;
    // A PID chain was set: show the chain filter as on.
    virtual void pidChainDidEnable() = 0;
};

// A program's icon as the programs pane draws it.
struct QtProgramIcon : ProgramIcon {
    explicit QtProgramIcon(QIcon i) : icon(std::move(i)) {}
    QIcon icon;
};

// Icons from the file at a bundle path (a generic file icon when the file has
// none), one per bundle path. For EventFilters::iconProvider; main thread only.
ProgramIconProvider programIconProvider();

class ProgramViewItem : public QFrame {
    Q_OBJECT
public:
    explicit ProgramViewItem(QWidget* parent = nullptr);

    QLabel* appIcon = nullptr;
    QLabel* programName = nullptr;     // last path component; tool tip: the full path
    QLabel* programSubtitle = nullptr;
    QLabel* programIsApple = nullptr;  // shown for programs that are not platform binaries
    QToolButton* saveButton = nullptr;
    QToolButton* chainButton = nullptr;

    // Fills the entry from entry i of the store's sorted program paths; answers
    // false and leaves the entry as it was when there is no such program.
    bool fill(const EventFilters& filters, std::size_t i);

    bool isSelected() const { return selected_; }
    void setSelected(bool selected);

public slots:
    // Asks for a file and saves this program's events to it.
    void saveProcessEvents();
    // Replaces every filter by the process chain of this program's processes.
    void filterEventsByPIDChain();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    // The window's host with its events view, and this entry's program; nothing when
    // any of them is gone.
    std::tuple<ProgramEntryHost*, ViewController*, std::shared_ptr<ProgramItem>> findProgram() const;

    bool selected_ = false;
};

}  // namespace qm
