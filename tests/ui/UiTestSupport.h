#pragma once
// Helpers of the events view's tests: the main queue on the GUI thread, an alert
// presenter that records, a delegate that counts, bounded waits and fixture files.

#include <gtest/gtest.h>

#include <QApplication>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "../store/StoreTestSupport.h"
#include "AlertPresenter.h"
#include "DefaultSettings.h"
#include "Dispatch.h"
#include "ESMessage.h"
#include "EventViewDelegate.h"
#include "MainQueueHook.h"

namespace uitest {

// Main-queue work runs on the GUI thread's event loop, as in the application; the
// annotator's settings hold the registered defaults.
inline void setUpApplication() {
    static const bool done = [] {
        new qm::MainQueueHook;  // for the whole run, as in the application
        qm::registerDefaultSettings(qm::standardSettings());
        return true;
    }();
    (void)done;
}

// Processes GUI events until the condition holds; false only when it never did
// within a generous bound (a hang guard, not a timing check).
inline bool waitUntil(const std::function<bool()>& condition) {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > giveUp) return false;
        QApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    }
    return true;
}

// Lets queued GUI work run for a moment (for checks that something did not happen).
inline void settle() {
    for (int i = 0; i < 20; ++i) {
        QApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(2);
    }
}

class RecordingAlerts : public qm::AlertPresenter {
public:
    std::vector<qm::Alert> alerts;
    // Runs while the alert is open, as a modal box runs its own event loop while
    // the user reads it.
    std::function<void()> whileOpen;
    int open = 0, mostOpen = 0;  // alerts open now, and at most at one time
    qm::AlertResponse runModal(const qm::Alert& alert) override {
        alerts.push_back(alert);
        mostOpen = std::max(mostOpen, ++open);
        if (whileOpen) whileOpen();
        --open;
        return {};
    }
};

// Installs a RecordingAlerts for the life of the object.
struct AlertRecorder {
    std::shared_ptr<RecordingAlerts> presenter = std::make_shared<RecordingAlerts>();
    std::shared_ptr<qm::AlertPresenter> previous = qm::setAlertPresenter(presenter);
    ~AlertRecorder() { qm::setAlertPresenter(previous); }
    std::vector<qm::Alert>& alerts() { return presenter->alerts; }
};

class CountingDelegate : public qm::EventViewDelegate {
public:
    std::atomic<int> loads{0}, saves{0}, failedSaves{0};
    int warps = 0, chains = 0, typeDeselections = 0;
    std::vector<std::string> counted;
    void eventsDidLoad() override { ++loads; }
    void saveDidComplete() override { ++saves; }
    void saveDidFail() override { ++failedSaves; }
    void countEventTypes(const std::string& name) override { counted.push_back(name); }
    void deselectAllEventTypes() override { ++typeDeselections; }
    void timeWarpDidEnable() override { ++warps; }
    void pidChainDidEnable() override { ++chains; }
};

// A fresh folder under the system's temporary folder, removed at the end.
struct TempDir {
    std::filesystem::path path;
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "qm-ui-XXXXXX").string();
        path = mkdtemp(pattern.data());
    }
    ~TempDir() { std::filesystem::remove_all(path); }
    std::filesystem::path operator/(const std::string& name) const { return path / name; }
};

inline void writeLines(const std::filesystem::path& file, const std::vector<std::string>& lines) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    for (const std::string& line : lines) out << line << '\n';
}

inline std::vector<std::string> readLines(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// An open event of a program at path by pid, with the given sequence number and
// time in seconds after 2024-01-01T00:00:00Z.
inline es::ESMessage openEvent(std::string path, std::int64_t pid, std::int64_t seq, int second = 0,
                               std::int64_t euid = 501) {
    storetest::Ids ids;
    ids.pid = pid;
    ids.euid = euid;
    char time[40];
    std::snprintf(time, sizeof time, "2024-01-01T00:%02d:%02d.000Z", second / 60, second % 60);
    return storetest::message(storetest::openOf("/tmp/file" + std::to_string(seq)), storetest::process(std::move(path), ids),
                              seq, time);
}

}  // namespace uitest

#include <QHeaderView>
#include <QListView>
#include <QTableView>
#include <QTest>

#include "EventTableModel.h"
#include "ViewController.h"

namespace uitest {

// A view controller whose refresh clock the test sets: `step` is added on every
// reading, so a step of 10 s flushes every event at once and a step of 0 holds
// the clock still.
class TestViewController : public qm::ViewController {
public:
    explicit TestViewController(qm::Settings& settings = qm::standardSettings())
        : qm::ViewController(settings) {
        resize(1200, 700);
        show();
    }
    mutable std::atomic<std::int64_t> millis{0};
    std::atomic<std::int64_t> stepMillis{10000};
    void advance(std::chrono::milliseconds d) { millis += d.count(); }
    // Stops the clock at the next reading's time; a flush of nothing takes that
    // reading, so the events that follow wait until the test advances the clock.
    void holdClock() {
        stepMillis = 0;
        flushBackgroundEvents();
    }

protected:
    Clock::time_point now() const override {
        return start_ + std::chrono::milliseconds(millis.fetch_add(stepMillis));
    }

private:
    Clock::time_point start_ = Clock::now();
};

inline int rows(const qm::ViewController& vc) { return vc.eventsTableView()->model()->rowCount(); }

inline int columnOf(const QString& identifier) {
    const auto& ids = qm::ViewController::columnIdentifiers();
    return int(std::find(ids.begin(), ids.end(), identifier) - ids.begin());
}

inline QVariant cell(const qm::ViewController& vc, int row, const QString& identifier, int role = Qt::DisplayRole) {
    QAbstractItemModel* model = vc.eventsTableView()->model();
    return model->data(model->index(row, columnOf(identifier)), role);
}

// Adds the messages one by one and waits until the table shows `expected` rows.
inline void addAll(TestViewController& vc, const std::vector<es::ESMessage>& messages, int expected) {
    for (const es::ESMessage& m : messages) vc.addEvent(m);
    ASSERT_TRUE(waitUntil([&] { return rows(vc) == expected; })) << rows(vc);
}

inline QPoint rowCenter(const qm::ViewController& vc, int row) {
    QTableView* table = vc.eventsTableView();
    return table->visualRect(table->model()->index(row, columnOf("EventName"))).center();
}

inline void clickRow(qm::ViewController& vc, int row, Qt::KeyboardModifiers modifiers = {}) {
    QTest::mouseClick(vc.eventsTableView()->viewport(), Qt::LeftButton, modifiers, rowCenter(vc, row));
}

// A double click as the window system delivers it: a click, then the second
// press as a double click.
inline void doubleClickRow(qm::ViewController& vc, int row) {
    clickRow(vc, row);
    QTest::mouseDClick(vc.eventsTableView()->viewport(), Qt::LeftButton, {}, rowCenter(vc, row));
}

inline int selectedRow(const qm::ViewController& vc) {
    const QModelIndexList selected = vc.eventsTableView()->selectionModel()->selectedRows();
    return selected.isEmpty() ? -1 : selected.first().row();
}

inline void clickHeader(qm::ViewController& vc, const QString& identifier) {
    QHeaderView* header = vc.eventsTableView()->horizontalHeader();
    const int column = columnOf(identifier);
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                      QPoint(header->sectionViewportPosition(column) + 5, header->height() / 2));
}

inline void clickProgram(qm::ViewController& vc, const std::string& path, Qt::KeyboardModifiers modifiers = {}) {
    QListView* list = vc.programsCollectionView();
    for (int row = 0; row < list->model()->rowCount(); ++row) {
        const QModelIndex index = list->model()->index(row, 0);
        if (index.data(Qt::ToolTipRole).toString().toStdString() == path) {
            QTest::mouseClick(list->viewport(), Qt::LeftButton, modifiers, list->visualRect(index).center());
            return;
        }
    }
    ADD_FAILURE() << "no program " << path;
}

// The global sequence numbers of the shown rows, in row order.
inline std::vector<std::int64_t> shownSeqs(const qm::ViewController& vc) {
    std::vector<std::int64_t> seqs;
    for (int row = 0; row < rows(vc); ++row) seqs.push_back(cell(vc, row, "EventNumber").toLongLong());
    return seqs;
}

}  // namespace uitest
