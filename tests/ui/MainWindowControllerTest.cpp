// The main window: confirmation before adding files, dropped files, the search
// field's categories and recent searches, the follow hint, deleting events, the
// toolbar tints, menu validation, closing while a source runs, and the activity
// indicator while a load waits to start.

#include <QDropEvent>
#include <QListView>
#include <QMenu>
#include <QMimeData>
#include <QTableView>
#include <QToolButton>
#include <QUrl>

#include <sys/stat.h>

#include <condition_variable>
#include <deque>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <set>

#include "EventTypeViewController.h"
#include "FailingAllocation.h"
#include "MainWindowController.h"
#include "ProgramViewItem.h"
#include "SaveEvents.h"
#include "Symbols.h"
#include "UiTestSupport.h"
#include "ViewController.h"

// The save's writer, wrapped when this program is linked: the wrapper runs on the
// save's own thread, so memory runs out there and nowhere else (Qt's allocations are
// untouched).
std::atomic<long> savingFailsAt{-1};     // the save's allocation that fails; -1: none
std::atomic<long> savingAllocations{0};  // the allocations the last save made
qm::SaveResult realWriteEvents(const std::filesystem::path& url, const std::vector<qm::EventItemPtr>& events,
                               const std::function<void()>& encodingFailed) __asm__("__real_" QM_WRITE_EVENTS);
qm::SaveResult wrappedWriteEvents(const std::filesystem::path& url, const std::vector<qm::EventItemPtr>& events,
                                  const std::function<void()>& encodingFailed) __asm__("__wrap_" QM_WRITE_EVENTS);
qm::SaveResult wrappedWriteEvents(const std::filesystem::path& url, const std::vector<qm::EventItemPtr>& events,
                                  const std::function<void()>& encodingFailed) {
    const failalloc::OnThisThread allocations(savingFailsAt);
    qm::SaveResult result = realWriteEvents(url, events, encodingFailed);
    savingAllocations = allocations.made();
    return result;
}

namespace {

using uitest::waitUntil;

// Keeps every thread of the global queues' pool (at most 64) busy until released,
// so that work queued meanwhile waits.
class HeldPool {
public:
    HeldPool() {
        for (int i = 0; i < threads; ++i)
            dispatch::DispatchQueue::global().async([this] {
                std::unique_lock lock(mutex_);
                ++held_;
                changed_.notify_all();
                changed_.wait(lock, [&] { return released_; });
                --held_;
                changed_.notify_all();
            });
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return held_ == threads; });
    }
    ~HeldPool() { release(); }
    void release() {
        std::unique_lock lock(mutex_);
        released_ = true;
        changed_.notify_all();
        changed_.wait(lock, [&] { return held_ == 0; });
    }

private:
    static constexpr int threads = 64;
    std::mutex mutex_;
    std::condition_variable changed_;
    int held_ = 0;
    bool released_ = false;
};

// Records every alert and answers from a script (the first button, unticked,
// when the script is empty).
class ScriptedAlerts : public qm::AlertPresenter {
public:
    std::vector<qm::Alert> alerts;
    std::deque<qm::AlertResponse> answers;
    qm::AlertResponse runModal(const qm::Alert& alert) override {
        alerts.push_back(alert);
        if (answers.empty()) return {};
        auto answer = answers.front();
        answers.pop_front();
        return answer;
    }
    std::vector<std::string> messages() const {
        std::vector<std::string> texts;
        for (const auto& a : alerts) texts.push_back(a.messageText.toStdString());
        return texts;
    }
};

// A main window whose file panels answer from a script.
class TestWindow : public qm::MainWindowController {
public:
    using MainWindowController::MainWindowController;
    std::deque<std::optional<std::filesystem::path>> openAnswers, saveAnswers;
    int openAsks = 0, saveAsks = 0;
    std::optional<std::filesystem::path> askOpenURL() override { return answer(openAnswers, openAsks); }
    std::optional<std::filesystem::path> askSaveURL() override { return answer(saveAnswers, saveAsks); }
    // Loads and stops that the events view reported as ended.
    std::atomic<int> loadsEnded{0};
    void eventsDidLoad() override {
        MainWindowController::eventsDidLoad();
        ++loadsEnded;
    }

private:
    static std::optional<std::filesystem::path> answer(std::deque<std::optional<std::filesystem::path>>& script,
                                                       int& asks) {
        ++asks;
        if (script.empty()) return std::nullopt;
        auto next = script.front();
        script.pop_front();
        return next;
    }
};

class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        uitest::setUpApplication();
        qm::registerDefaultSettings(settings);
        previous = qm::setAlertPresenter(presenter);
        window = std::make_unique<TestWindow>(settings);
    }
    void TearDown() override {
        uitest::settle();  // alerts queued by this test land here
        window.reset();
        qm::setAlertPresenter(previous);
    }

    qm::ViewController& view() { return *window->eventsViewController; }
    std::size_t eventCount() { return view().filters.allEvents.size(); }

    // A JSON Lines file of open events of one program, pids from firstPid up.
    std::filesystem::path writeFile(const std::string& name, const std::string& program, int count, int firstPid,
                                    int firstSeq, std::int64_t euid = 501) {
        std::vector<std::string> lines;
        for (int i = 0; i < count; ++i)
            lines.push_back(es::encodeMessage(uitest::openEvent(program, firstPid + i, firstSeq + i, i, euid)));
        const auto file = dir / name;
        uitest::writeLines(file, lines);
        return file;
    }

    // Opens the file as the command line does and waits for the load to end.
    void load(const std::filesystem::path& file, std::size_t expectedTotal) {
        const int ended = window->loadsEnded;
        window->openEventFile(file);
        ASSERT_TRUE(waitUntil([&] { return window->loadsEnded > ended && eventCount() == expectedTotal; }))
            << eventCount();
    }

    QAction* categoryItem(const QString& title) {
        for (QAction* item : window->searchToolbar->searchMenuTemplate->actions())
            if (item->text() == title) return item;
        return nullptr;
    }

    std::set<std::string> dirNames() const {
        std::set<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path)) names.insert(entry.path().filename());
        return names;
    }

    qm::InMemorySettings settings;
    std::shared_ptr<ScriptedAlerts> presenter = std::make_shared<ScriptedAlerts>();
    std::shared_ptr<qm::AlertPresenter> previous;
    uitest::TempDir dir;
    std::unique_ptr<TestWindow> window;
};

TEST_F(MainWindowTest, OpeningAsksForConfirmationOnlyWhenEventsAreLoaded) {
    const auto first = writeFile("first.json", "/usr/bin/ssh", 3, 300, 1);
    const auto second = writeFile("second.json", "/bin/ls", 2, 400, 10);

    window->openAnswers = {first};
    window->openEvents();
    EXPECT_TRUE(window->isActivityAnimating());
    ASSERT_TRUE(waitUntil([&] { return !window->isActivityAnimating() && eventCount() == 3; }));
    EXPECT_TRUE(presenter->alerts.empty());
    EXPECT_EQ(window->openAsks, 1);

    // Cancel leaves everything as it was: no panel, no new source.
    presenter->answers = {{1, false}};
    window->openEvents();
    ASSERT_EQ(presenter->alerts.size(), 1u);
    const qm::Alert& alert = presenter->alerts[0];
    EXPECT_EQ(alert.style, qm::Alert::Style::warning);
    EXPECT_EQ(alert.messageText, "Potential feature unpredictability");
    EXPECT_EQ(alert.informativeText,
              "Loading multiple files at the same time works, but some features like `Time Warp` will provide "
              "unpredicatable results.  Continue without deleting existing events at own risk.");
    EXPECT_EQ(alert.buttons, QStringList({"Continue", "Cancel"}));
    EXPECT_EQ(window->openAsks, 1);
    EXPECT_FALSE(window->isActivityAnimating());

    // Continue adds the second file to the first.
    window->openAnswers = {second};
    window->openEvents();
    EXPECT_EQ(presenter->alerts.size(), 2u);
    EXPECT_EQ(window->openAsks, 2);
    ASSERT_TRUE(waitUntil([&] { return !window->isActivityAnimating() && eventCount() == 5; }));

    // A cancelled panel starts nothing.
    window->openEvents();
    EXPECT_EQ(window->openAsks, 3);
    EXPECT_FALSE(window->isActivityAnimating());
}

TEST_F(MainWindowTest, LoadNotYetStartedKeepsTheIndicatorOnThroughAStoppedNetworkStatus) {
    ASSERT_TRUE(waitUntil([&] { return window->networkStatus() == qm::NetworkStatus::stopped; }));
    const auto pipe = dir / "events.pipe";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    {
        // The load is queued and not yet reading when the network half shows stopped.
        HeldPool held;
        window->openEventFile(pipe);
        window->network().updateNetworkStatusUI();
        EXPECT_TRUE(window->isActivityAnimating());
        const auto source = view().eslogger();
        ASSERT_TRUE(source && source->isRunning());
    }
    const auto first = es::encodeMessage(uitest::openEvent("/usr/bin/ssh", 300, 1, 0));
    const auto second = es::encodeMessage(uitest::openEvent("/usr/bin/ssh", 301, 2, 1));
    std::ofstream(pipe, std::ios::binary) << first << '\n' << second << '\n';
    ASSERT_TRUE(waitUntil([&] { return window->loadsEnded == 1 && !window->isActivityAnimating(); }));
    EXPECT_EQ(eventCount(), 2u);
    EXPECT_TRUE(presenter->alerts.empty()) << presenter->messages().front();
}

TEST_F(MainWindowTest, DroppingWhileFollowingAsksAsOpenDoesAndSkipsWhatIsNotAnAbsoluteFile) {
    settings.setValue(qm::keys::tailInfoPopupEnabled, false);
    window->openAnswers = {writeFile("followed.json", "/usr/bin/ssh", 2, 300, 1)};
    window->tailEvents();
    ASSERT_TRUE(waitUntil([&] { return eventCount() >= 1; }));
    const auto tail = view().eslogger();
    ASSERT_TRUE(tail && tail->isRunning());
    const auto dropped = writeFile("dropped.json", "/bin/ls", 3, 400, 10);
    QMimeData data;
    data.setUrls({QUrl("about:blank"), QUrl("file:about:blank"), QUrl("mailto:someone@example.com"),
                  QUrl("data:text/plain,hello"), QUrl::fromLocalFile(QString::fromStdString(dropped.string()))});

    // Cancel: the tail goes on, nothing opens.
    presenter->answers = {{1, false}};
    EXPECT_FALSE(window->performDragOperation(&data));
    EXPECT_EQ(presenter->messages(), std::vector<std::string>({"Potential feature unpredictability"}));
    EXPECT_EQ(view().eslogger(), tail);
    EXPECT_TRUE(tail->isRunning());

    // Continue: the tail is stopped as Stop does, and only the absolute file opens.
    EXPECT_TRUE(window->performDragOperation(&data));
    EXPECT_EQ(presenter->alerts.size(), 2u);
    ASSERT_TRUE(waitUntil([&] { return !tail->isRunning() && !window->isActivityAnimating(); }));
    ASSERT_TRUE(waitUntil([&] { return eventCount() == 5; })) << eventCount();
    uitest::settle();
    EXPECT_EQ(presenter->alerts.size(), 2u) << presenter->messages().back();

    // Only names that are not local absolute files: nothing to open.
    QMimeData foreign;
    foreign.setUrls({QUrl("file:about:blank"), QUrl("mailto:someone@example.com")});
    EXPECT_FALSE(window->performDragOperation(&foreign));
    EXPECT_EQ(presenter->alerts.size(), 2u);
}

TEST_F(MainWindowTest, DroppedFilesOpenEveryFilePathWithoutConfirmation) {
    load(writeFile("loaded.json", "/bin/cat", 1, 100, 1), 1);
    const auto a = writeFile("a.json", "/usr/bin/ssh", 2, 300, 10);
    const auto b = writeFile("b.json", "/bin/ls", 3, 400, 20);

    QMimeData three;
    three.setUrls({QUrl::fromLocalFile(QString::fromStdString(a.string())), QUrl("https://example.com/events.json"),
                   QUrl::fromLocalFile(QString::fromStdString(b.string()))});
    EXPECT_EQ(window->draggingEntered(&three), Qt::CopyAction);
    EXPECT_TRUE(window->performDragOperation(&three));
    ASSERT_TRUE(waitUntil([&] { return eventCount() == 6; })) << eventCount();
    EXPECT_EQ(presenter->messages(), std::vector<std::string>{});

    QMimeData webOnly;
    webOnly.setUrls({QUrl("https://example.com/events.json")});
    EXPECT_FALSE(window->performDragOperation(&webOnly));
    QMimeData text;
    text.setText("/tmp/events.json");
    EXPECT_EQ(window->draggingEntered(&text), Qt::IgnoreAction);
    EXPECT_FALSE(window->performDragOperation(&text));

    // The window's own drop handling goes the same way.
    QMimeData one;
    one.setUrls({QUrl::fromLocalFile(QString::fromStdString(a.string()))});
    QDragEnterEvent enter(QPoint(50, 50), Qt::CopyAction, &one, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(window.get(), &enter);
    EXPECT_TRUE(enter.isAccepted());
    QDropEvent drop(QPointF(50, 50), Qt::CopyAction, &one, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(window.get(), &drop);
    EXPECT_TRUE(drop.isAccepted());
    ASSERT_TRUE(waitUntil([&] { return eventCount() == 8; })) << eventCount();
}

TEST_F(MainWindowTest, SearchCategorySetsPlaceholderAndSearchesTheTextAgain) {
    load(writeFile("mixed.json", "/usr/bin/ssh", 4, 320, 1), 4);  // pids 320..323
    ASSERT_EQ(window->searchToolbar->searchMenuTemplate->actions().size(), 8);
    EXPECT_EQ(window->searchToolbar->placeholderText(), "Program");

    window->searchToolbar->setText("321,323");
    categoryItem("PID")->trigger();
    EXPECT_EQ(window->searchToolbar->placeholderText(), "PID");
    EXPECT_EQ(view().filters.searchCategory, "PID");
    EXPECT_EQ(view().filters.searchString, "321,323");
    ASSERT_TRUE(waitUntil([&] { return view().shownEvents().size() == 2; }));
    EXPECT_EQ(window->searchToolbar->recentSearches(), QStringList({"321,323"}));

    // Each category in turn: the placeholder follows and the text is searched again.
    for (const char* title : {"Program", "Details", "AnyPID", "UID", "RPID", "PPID", "Annotations", "PID"}) {
        categoryItem(title)->trigger();
        EXPECT_EQ(window->searchToolbar->placeholderText(), title);
        EXPECT_EQ(view().filters.searchCategory, title);
    }
    // Every search is remembered, the newest six are kept.
    EXPECT_EQ(window->searchToolbar->recentSearches().size(), 6);

    // Clearing the filters (Ctrl+K) puts the category back to its cleared state,
    // which searches as Program, and the field shows that.
    QAction* clear = window->action(TestWindow::Command::clearFilters);
    EXPECT_EQ(clear->shortcut(), QKeySequence("Ctrl+K"));
    clear->trigger();
    EXPECT_TRUE(window->searchToolbar->text().isEmpty());
    EXPECT_EQ(view().filters.searchCategory, "");
    EXPECT_EQ(window->searchToolbar->placeholderText(), "Program");
    EXPECT_TRUE(categoryItem("Program")->isChecked());
    window->searchEvents("abc");
    uitest::settle();
    EXPECT_TRUE(presenter->alerts.empty()) << presenter->messages().front();
    EXPECT_EQ(view().filters.searchCategory, "");
    ASSERT_TRUE(waitUntil([&] { return view().shownEvents().empty(); }));
    window->searchEvents("ssh");
    ASSERT_TRUE(waitUntil([&] { return view().shownEvents().size() == 4; }));
}

TEST_F(MainWindowTest, FollowHintShowsOncePerRequestUntilItsCheckBoxIsTicked) {
    ASSERT_TRUE(settings.boolValue(qm::keys::tailInfoPopupEnabled));
    window->tailEvents();  // the panel is cancelled: nothing starts
    ASSERT_EQ(presenter->alerts.size(), 1u);
    const qm::Alert& hint = presenter->alerts[0];
    EXPECT_EQ(hint.style, qm::Alert::Style::informational);
    EXPECT_EQ(hint.messageText, "Start eslogger");
    EXPECT_TRUE(hint.showsSuppressionButton);
    EXPECT_TRUE(hint.informativeText.startsWith(
        "Using the Terminal.app you'll need to start `eslogger` redirecting STDOUT to a file.  Example:\n\n\n"
        "sudo eslogger fork exec exit > esloggerOutput.json\n\n\n"
        "    \"fork exec exit\" are example events, but you can include any or all ES events\n"
        "    supported events viewable by running `eslogger --list-events`\n\n\n"
        "Why `sudo`? eslogger requires `root` privileges to interface with ESAPI.\n"));
    EXPECT_TRUE(hint.informativeText.contains("README"));
    EXPECT_EQ(window->openAsks, 1);
    EXPECT_TRUE(settings.boolValue(qm::keys::tailInfoPopupEnabled));

    presenter->answers = {{0, true}};  // ticked
    window->tailEvents();
    EXPECT_EQ(presenter->alerts.size(), 2u);
    EXPECT_FALSE(settings.boolValue(qm::keys::tailInfoPopupEnabled));
    EXPECT_EQ(window->openAsks, 2);

    window->tailEvents();
    EXPECT_EQ(presenter->alerts.size(), 2u);
    EXPECT_EQ(window->openAsks, 3);
}

TEST_F(MainWindowTest, FollowingGuardsMenuValidationAndClosingStopsTheTail) {
    settings.setValue(qm::keys::tailInfoPopupEnabled, false);
    QAction* open = window->action(TestWindow::Command::openEvents);
    QAction* tail = window->action(TestWindow::Command::tailEvents);
    QAction* stop = window->action(TestWindow::Command::stopEvents);
    QAction other("Other");
    EXPECT_TRUE(window->validateUserInterfaceItem(&other));
    EXPECT_TRUE(window->validateUserInterfaceItem(open));
    EXPECT_TRUE(window->validateUserInterfaceItem(tail));
    EXPECT_FALSE(window->validateUserInterfaceItem(stop));

    const auto followed = writeFile("followed.json", "/usr/bin/ssh", 2, 300, 1);
    window->openAnswers = {followed};
    window->tailEvents();
    // The first line is shown at once; the rest wait for a later flush.
    ASSERT_TRUE(waitUntil([&] { return eventCount() >= 1; }));
    const auto source = view().eslogger();
    ASSERT_TRUE(source && source->isRunning());
    EXPECT_FALSE(window->validateUserInterfaceItem(open));
    EXPECT_FALSE(window->validateUserInterfaceItem(tail));
    EXPECT_TRUE(window->validateUserInterfaceItem(stop));

    window->tailEvents();
    EXPECT_EQ(presenter->messages(), std::vector<std::string>({"Currently running, please stop first"}));
    EXPECT_EQ(window->openAsks, 1);

    window->show();
    EXPECT_TRUE(window->close());
    EXPECT_FALSE(source->isRunning());
}

TEST_F(MainWindowTest, SaveIsEnabledForAShownListAndNotWhileSaving) {
    QAction* save = window->action(TestWindow::Command::saveEvents);
    EXPECT_FALSE(window->validateUserInterfaceItem(save));  // nothing loaded
    load(writeFile("saved.json", "/usr/bin/ssh", 3, 300, 1), 3);
    EXPECT_TRUE(window->validateUserInterfaceItem(save));
    EXPECT_FALSE(window->validateUserInterfaceItem(window->action(TestWindow::Command::stopEvents)));

    // A search that shows nothing leaves nothing to save.
    window->searchEvents("no-such-program");
    EXPECT_FALSE(window->validateUserInterfaceItem(save));
    window->searchEvents("");
    EXPECT_TRUE(window->validateUserInterfaceItem(save));

    const auto target = dir / "out.json";
    window->saveAnswers = {target};
    // The item itself follows the state once the queued validation after the load has run.
    ASSERT_TRUE(waitUntil([&] { return save->isEnabled(); }));
    save->trigger();
    EXPECT_EQ(window->saveMenuItem, save);
    EXPECT_FALSE(save->isEnabled());
    EXPECT_FALSE(window->validateUserInterfaceItem(save));
    ASSERT_TRUE(waitUntil([&] { return !presenter->alerts.empty(); }));
    EXPECT_EQ(presenter->messages(), std::vector<std::string>({"Save Completed."}));
    EXPECT_EQ(presenter->alerts[0].style, qm::Alert::Style::informational);
    EXPECT_TRUE(save->isEnabled());
    EXPECT_EQ(uitest::readLines(target).size(), 3u);

    // A failed save shows one alert that names the cause, leaves the earlier file as it
    // was and nothing beside it, and gives Save back.
    struct Failure {
        const char* what;
        std::filesystem::path target;
        long failingAllocation;  // of the save's own, on its thread; -1: none
        const char* message;
        const char* cause;
    };
    // The save's last allocation comes after its file beside the target exists.
    const long lastAllocation = savingAllocations - 1;
    ASSERT_GE(lastAllocation, 0);
    const Failure failures[] = {
        {"no such folder", dir / "missing" / "out.json", -1, "File Access Error", "opening"},
        {"out of memory", target, lastAllocation, "Save Error", "Unable to save file: out of memory"},
    };
    for (const Failure& failure : failures) {
        SCOPED_TRACE(failure.what);
        std::ofstream(target, std::ios::trunc) << "earlier\n";
        const auto files = dirNames();
        const std::size_t alerts = presenter->alerts.size();
        savingFailsAt = failure.failingAllocation;
        window->saveAnswers = {failure.target};
        save->trigger();
        EXPECT_FALSE(save->isEnabled());
        ASSERT_TRUE(waitUntil([&] { return save->isEnabled(); }));
        savingFailsAt = -1;
        uitest::settle();
        ASSERT_EQ(presenter->alerts.size(), alerts + 1);
        EXPECT_EQ(presenter->alerts.back().messageText, failure.message);
        EXPECT_EQ(presenter->alerts.back().informativeText, failure.cause);
        EXPECT_TRUE(window->validateUserInterfaceItem(save));
        EXPECT_EQ(uitest::readLines(target), std::vector<std::string>{"earlier"});
        EXPECT_EQ(dirNames(), files);
    }
    // The next save completes.
    window->saveAnswers = {target};
    save->trigger();
    ASSERT_TRUE(waitUntil([&] { return save->isEnabled(); }));
    uitest::settle();
    EXPECT_EQ(presenter->messages().back(), "Save Completed.");
    EXPECT_EQ(uitest::readLines(target).size(), 3u);

    // A cancelled panel saves nothing and leaves the item alone.
    save->trigger();
    EXPECT_TRUE(save->isEnabled());
}

TEST_F(MainWindowTest, DeletingEventsAsksThenEmptiesStoreTypesAndFilters) {
    load(writeFile("delete.json", "/usr/bin/ssh", 3, 300, 1), 3);
    ASSERT_TRUE(waitUntil([&] { return window->typesViewController->model()->rowCount() == 1; }));
    window->filterAppleBinaries();
    ASSERT_EQ(qm::symbolTint(window->appleBinaryFilterButton), qm::systemRedColor);

    presenter->answers = {{1, false}};
    window->clearEvents();
    ASSERT_EQ(presenter->alerts.size(), 1u);
    EXPECT_EQ(presenter->alerts[0].messageText, "Delete all captured events?");
    EXPECT_EQ(presenter->alerts[0].informativeText, "This cannot be undone and all events will be removed.");
    EXPECT_EQ(presenter->alerts[0].buttons, QStringList({"Delete Events", "Cancel"}));
    EXPECT_EQ(eventCount(), 3u);

    window->searchToolbar->setText("ssh");
    window->clearEvents();
    EXPECT_EQ(eventCount(), 0u);
    EXPECT_TRUE(window->typesViewController->sortedTypes.empty());
    EXPECT_TRUE(window->searchToolbar->text().isEmpty());
    EXPECT_FALSE(view().filters.isFiltering());
    EXPECT_EQ(qm::symbolTint(window->appleBinaryFilterButton), qm::systemGrayColor);
    ASSERT_TRUE(waitUntil([&] { return window->typesViewController->model()->rowCount() == 0; }));
}

TEST_F(MainWindowTest, ToolbarTintsFollowFilterState) {
    load(writeFile("tints.json", "/usr/bin/ssh", 3, 300, 1, 0), 3);  // root's: annotated

    window->filterAppleBinaries();
    EXPECT_EQ(qm::symbolTint(window->appleBinaryFilterButton), qm::systemRedColor);
    window->filterAppleBinaries();
    EXPECT_EQ(qm::symbolTint(window->appleBinaryFilterButton), qm::systemGrayColor);
    window->annotateEvents();
    EXPECT_EQ(qm::symbolTint(window->annotateEventsButton), qm::systemBlueColor);

    // The chain needs a selected row; without one it stays gray.
    window->filterPIDChain();
    EXPECT_EQ(qm::symbolTint(window->chainPIDButton), qm::systemGrayColor);
    EXPECT_EQ(qm::symbolTint(window->annotateEventsButton), qm::systemBlueColor);

    // With one, it replaces every other filter: the others turn gray.
    window->filterAppleBinaries();
    ASSERT_TRUE(waitUntil([&] { return uitest::rows(view()) == 3; }));
    view().eventsTableView()->selectRow(0);
    window->filterPIDChain();
    EXPECT_EQ(qm::symbolTint(window->chainPIDButton), qm::systemBlueColor);
    EXPECT_EQ(qm::symbolTint(window->appleBinaryFilterButton), qm::systemGrayColor);
    EXPECT_EQ(qm::symbolTint(window->annotateEventsButton), qm::systemGrayColor);
    EXPECT_FALSE(view().filters.appleBinaryFilter);

    view().filters.setTimeWindow(view().filters.allEvents[0]->timestamp(), 60, -1);
    window->timeWarpDidEnable();
    EXPECT_EQ(qm::symbolTint(window->warpFilterButton), qm::systemBlueColor);
    window->timeWarpEvents();
    EXPECT_EQ(view().filters.timeWindowEnd, 0);
    EXPECT_EQ(qm::symbolTint(window->warpFilterButton), qm::systemGrayColor);

    window->toggleAutoScroll();
    EXPECT_TRUE(view().autoScroll);
    EXPECT_EQ(qm::symbolTint(window->autoScroll), qm::systemBlueColor);
    window->toggleAutoScroll();
    EXPECT_FALSE(view().autoScroll);
    EXPECT_EQ(qm::symbolTint(window->autoScroll), qm::systemGrayColor);

    window->clearFilters();
    for (QAction* item : {window->appleBinaryFilterButton, window->chainPIDButton, window->annotateEventsButton,
                          window->warpFilterButton})
        EXPECT_EQ(qm::symbolTint(item), qm::systemGrayColor);
}

TEST_F(MainWindowTest, EveryChainPathLeavesTheTintsAndTheSearchFieldMatchingTheFilters) {
    load(writeFile("ssh.json", "/usr/bin/ssh", 3, 300, 1, 0), 3);  // root's: annotated
    const auto& paths = view().filters.sortedProgramPaths;
    auto* entry = new qm::ProgramViewItem(window.get());
    ASSERT_TRUE(entry->fill(view().filters, 0));
    ASSERT_EQ(paths[0], "/usr/bin/ssh");

    struct Path {
        const char* name;
        std::function<void()> chain;
    };
    const Path chains[] = {
        {"toolbar", [&] { window->filterPIDChain(); }},
        {"row menu",
         [&] {
             for (QAction* item : view().rowMenu()->actions())
                 if (item->text() == "Chain PID") item->trigger();
         }},
        {"program entry", [&] { entry->chainButton->click(); }},
    };
    for (const Path& path : chains) {
        SCOPED_TRACE(path.name);
        window->clearFilters();
        ASSERT_TRUE(waitUntil([&] { return uitest::rows(view()) == 3; }));
        categoryItem("UID")->trigger();
        window->searchToolbar->setText("0");
        window->searchEvents("0");
        window->annotateEvents();
        ASSERT_TRUE(view().filters.annotateFilter);
        ASSERT_EQ(qm::symbolTint(window->annotateEventsButton), qm::systemBlueColor);
        view().eventsTableView()->selectRow(1);

        path.chain();
        ASSERT_FALSE(view().filters.selectedPIDChain.pid.empty());
        EXPECT_FALSE(view().filters.annotateFilter);
        EXPECT_EQ(qm::symbolTint(window->chainPIDButton), qm::systemBlueColor);
        EXPECT_EQ(qm::symbolTint(window->annotateEventsButton), qm::systemGrayColor);
        EXPECT_EQ(qm::symbolTint(window->appleBinaryFilterButton), qm::systemGrayColor);
        EXPECT_TRUE(window->searchToolbar->text().isEmpty());
        EXPECT_EQ(window->searchToolbar->placeholderText(), "Program");
        EXPECT_TRUE(view().filters.searchString.empty());

        // The next click turns the annotation filter on, as its gray button says.
        window->annotateEvents();
        EXPECT_TRUE(view().filters.annotateFilter);
        EXPECT_EQ(qm::symbolTint(window->annotateEventsButton), qm::systemBlueColor);
        ASSERT_TRUE(waitUntil([&] { return uitest::rows(view()) >= 1; }));
        uitest::settle();  // the redraw keeps them
        EXPECT_EQ(qm::symbolTint(window->chainPIDButton), qm::systemBlueColor);
        EXPECT_EQ(qm::symbolTint(window->annotateEventsButton), qm::systemBlueColor);
    }
    // A filter changed behind the window's back shows at the next redraw.
    window->clearFilters();
    view().filters.enableAppleBinaryFilter();
    view().reloadEvents();
    ASSERT_TRUE(waitUntil([&] { return qm::symbolTint(window->appleBinaryFilterButton) == qm::systemRedColor; }));
    EXPECT_TRUE(presenter->alerts.empty()) << presenter->messages().front();
}

TEST_F(MainWindowTest, ProgramEntrySavesOnlyItsEventsAndChainsItsProcesses) {
    load(writeFile("ssh.json", "/usr/bin/ssh", 3, 300, 1, 0), 3);
    load(writeFile("ls.json", "/bin/ls", 2, 400, 10, 0), 5);
    const auto& paths = view().filters.sortedProgramPaths;
    const auto ssh = std::size_t(std::find(paths.begin(), paths.end(), "/usr/bin/ssh") - paths.begin());
    auto* entry = new qm::ProgramViewItem(window.get());
    ASSERT_TRUE(entry->fill(view().filters, ssh));

    // Whatever the table shows, the entry saves its own program's events.
    window->searchEvents("ls");
    ASSERT_TRUE(waitUntil([&] { return view().shownEvents().size() == 2; }));
    const auto target = dir / "ssh-only.json";
    window->saveAnswers = {target};
    entry->saveButton->click();
    ASSERT_TRUE(waitUntil([&] { return !presenter->alerts.empty(); }));
    EXPECT_EQ(presenter->messages(), std::vector<std::string>({"Save Completed."}));
    const auto lines = uitest::readLines(target);
    ASSERT_EQ(lines.size(), 3u);
    for (const auto& line : lines) {
        EXPECT_NE(line.find("\"/usr/bin/ssh\""), std::string::npos);
        EXPECT_EQ(line.find("/bin/ls"), std::string::npos);
    }

    // The chain of its processes replaces every other filter and turns the button blue.
    window->annotateEvents();
    entry->chainButton->click();
    EXPECT_EQ(view().filters.selectedPIDChain.pid, (std::unordered_set<std::int64_t>{300, 301, 302}));
    EXPECT_TRUE(view().filters.searchString.empty());
    EXPECT_FALSE(view().filters.annotateFilter);
    EXPECT_EQ(qm::symbolTint(window->chainPIDButton), qm::systemBlueColor);

    // Once its program is gone, the entry does nothing.
    window->clearEvents();
    ASSERT_EQ(eventCount(), 0u);
    ASSERT_EQ(qm::symbolTint(window->chainPIDButton), qm::systemGrayColor);
    entry->saveButton->click();
    entry->chainButton->click();
    EXPECT_EQ(window->saveAsks, 1);
    EXPECT_EQ(qm::symbolTint(window->chainPIDButton), qm::systemGrayColor);
}

}  // namespace
