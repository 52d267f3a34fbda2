// The row context menu, time warp, PID chain, ignore actions, the annotation and
// platform-binary filters, and search with its numeric check.
#include <QMenu>

#include "EventDetailsController.h"

#include "UiTestSupport.h"

using namespace uitest;
using qm::ViewController;

namespace {

constexpr std::int64_t jan2024 = 1704067200;  // 2024-01-01T00:00:00Z

class RowActionsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { setUpApplication(); }
    void SetUp() override { vc.setDelegate(&delegate); }
    void TearDown() override { vc.setDelegate(nullptr); }

    // Ten rows, one program and pid per row (/bin/p0 ... /bin/p9, pid 100 + row),
    // one event every 100 seconds; rows 0, 3 and 6 are root's (annotated), rows
    // 1 and 2 platform binaries, row 4 an exec.
    void loadRows() {
        std::vector<es::ESMessage> events;
        for (int i = 0; i < 10; ++i) {
            es::ESMessage m = openEvent("/bin/p" + std::to_string(i), 100 + i, i + 1, i * 100, i % 3 == 0 ? 0 : 501);
            m.process.is_platform_binary = i == 1 || i == 2;
            if (i == 4) m.event_type = es::EventType::ES_EVENT_TYPE_NOTIFY_CLOSE;
            events.push_back(std::move(m));
        }
        addAll(vc, events, 10);
    }

    // Right-clicks the row and chooses the menu item with the title.
    void chooseFromRowMenu(int row, const QString& title) {
        QTableView* table = vc.eventsTableView();
        QContextMenuEvent event(QContextMenuEvent::Mouse, rowCenter(vc, row),
                                table->viewport()->mapToGlobal(rowCenter(vc, row)));
        QApplication::sendEvent(table->viewport(), &event);
        QMenu* menu = vc.rowMenu();
        ASSERT_TRUE(waitUntil([&] { return menu->isVisible(); }));
        for (QAction* action : menu->actions()) {
            if (action->text() == title) {
                QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(action).center());
                ASSERT_TRUE(waitUntil([&] { return !menu->isVisible(); }));
                return;
            }
        }
        FAIL() << "no menu item " << title.toStdString();
    }

    AlertRecorder alerts;
    CountingDelegate delegate;
    TestViewController vc;
};

TEST_F(RowActionsTest, RowMenuHasItsItemsInOrder) {
    QStringList titles;
    for (QAction* action : vc.rowMenu()->actions()) titles << action->text();
    EXPECT_EQ(titles, (QStringList{ViewController::showJSONTitle, "Chain PID", "Ignore Program", "Ignore Event Type",
                                   "Warp 5-seconds", "Warp 30-seconds", "Warp 60-seconds", "Warp 5-minutes",
                                   "Warp 60-minutes"}));
}

TEST_F(RowActionsTest, TheClickedRowIsTheActingRow) {
    loadRows();
    clickRow(vc, 3);
    ASSERT_EQ(selectedRow(vc), 3);
    chooseFromRowMenu(7, "Ignore Program");
    EXPECT_EQ(vc.filters.deselectedPrograms, (std::unordered_set<std::string>{"/bin/p7"}));
    ASSERT_TRUE(waitUntil([&] { return rows(vc) == 9; }));
    EXPECT_EQ(vc.lastSelectedEvent()->theEvent().global_seq_num, 8);

    chooseFromRowMenu(4, "Ignore Event Type");
    EXPECT_TRUE(vc.filters.deselectedEventTypes.contains(es::EventType::ES_EVENT_TYPE_NOTIFY_CLOSE));
    ASSERT_TRUE(waitUntil([&] { return rows(vc) == 8; }));

    chooseFromRowMenu(5, "Chain PID");  // row 5 now shows /bin/p6, pid 106
    EXPECT_EQ(vc.filters.selectedPIDChain.pid, (std::unordered_set<std::int64_t>{106}));
    EXPECT_TRUE(vc.filters.deselectedPrograms.empty());  // every other filter was cleared first
    EXPECT_EQ(delegate.chains, 1);
    EXPECT_EQ(delegate.typeDeselections, 1);
    ASSERT_TRUE(waitUntil([&] { return shownSeqs(vc) == std::vector<std::int64_t>{7}; }));
}

TEST_F(RowActionsTest, WarpSetsAWindowAroundTheRowsTime) {
    loadRows();
    chooseFromRowMenu(5, ViewController::WARP_5m);
    EXPECT_EQ(vc.filters.timeWindowStart, jan2024 + 500 - 150);
    EXPECT_EQ(vc.filters.timeWindowEnd, jan2024 + 500 + 150);
    EXPECT_EQ(delegate.warps, 1);
    ASSERT_TRUE(waitUntil([&] { return shownSeqs(vc) == std::vector<std::int64_t>{5, 6, 7}; }));
}

TEST_F(RowActionsTest, WarpTitlesGiveTheirSpans) {
    loadRows();
    clickRow(vc, 5);
    QAction day(ViewController::WARP_1d), other("Warp far");
    vc.timeWarp(&day);
    EXPECT_EQ(vc.filters.timeWindowEnd - vc.filters.timeWindowStart, 86400);
    vc.timeWarp(&other);
    EXPECT_EQ(vc.filters.timeWindowEnd - vc.filters.timeWindowStart, 60);
}

TEST_F(RowActionsTest, ActionsWithoutASelectedRowAlertOrDoNothing) {
    loadRows();
    QAction warp(ViewController::WARP_5s);
    vc.timeWarp(&warp);
    EXPECT_FALSE(vc.filterPIDChain());
    vc.ignoreProgram();
    vc.ignoreEventType();
    vc.tableDoubleClick();
    ASSERT_TRUE(waitUntil([&] { return alerts.alerts().size() == 2; }));
    EXPECT_EQ(alerts.alerts()[0].style, qm::Alert::Style::informational);
    EXPECT_EQ(alerts.alerts()[0].messageText, "To warp, you must first select a row");
    EXPECT_EQ(alerts.alerts()[1].style, qm::Alert::Style::informational);
    EXPECT_EQ(alerts.alerts()[1].messageText, "Select the row for the PID you'd like to chain");
    EXPECT_FALSE(vc.filters.isFiltering());
    EXPECT_EQ(delegate.warps, 0);
    EXPECT_FALSE(vc.detailsController()->isVisible());
}

TEST_F(RowActionsTest, ChainReplacesEveryOtherFilter) {
    loadRows();
    EXPECT_TRUE(vc.filterAppleBinaries());
    vc.searchEvents("p");
    ASSERT_TRUE(waitUntil([&] { return rows(vc) == 8; }));
    clickRow(vc, 0);
    EXPECT_TRUE(vc.filterPIDChain());
    EXPECT_FALSE(vc.filters.appleBinaryFilter);
    EXPECT_TRUE(vc.filters.searchString.empty());
    EXPECT_EQ(vc.filters.selectedPIDChain.pid, (std::unordered_set<std::int64_t>{100}));
}

TEST_F(RowActionsTest, AnnotationFilterKeepsTheAnnotatedEventsOfTheShownList) {
    std::vector<es::ESMessage> events{openEvent("/usr/bin/ssh", 1, 1, 0, 0), openEvent("/usr/bin/ssh", 1, 2, 0, 501),
                                      openEvent("/usr/bin/ssh", 2, 3, 0, 0), openEvent("/bin/ls", 3, 4, 0, 0)};
    addAll(vc, events, 4);
    clickProgram(vc, "/usr/bin/ssh");
    ASSERT_TRUE(waitUntil([&] { return rows(vc) == 3; }));

    EXPECT_TRUE(vc.annotateFilter());
    ASSERT_TRUE(waitUntil([&] { return shownSeqs(vc) == std::vector<std::int64_t>{1, 3}; }));
    EXPECT_FALSE(vc.annotateFilter());
    ASSERT_TRUE(waitUntil([&] { return shownSeqs(vc) == std::vector<std::int64_t>{1, 2, 3}; }));

    // Without another filter, turning it off shows every event again.
    vc.clearFilters();
    EXPECT_TRUE(vc.programsCollectionView()->selectionModel()->selectedIndexes().isEmpty());
    EXPECT_TRUE(vc.annotateFilter());
    ASSERT_TRUE(waitUntil([&] { return shownSeqs(vc) == std::vector<std::int64_t>{1, 3, 4}; }));
    EXPECT_FALSE(vc.annotateFilter());
    ASSERT_TRUE(waitUntil([&] { return rows(vc) == 4; }));
    EXPECT_TRUE(vc.filters.filteredEvents.empty());
}

TEST_F(RowActionsTest, PlatformBinaryFilterTogglesThePlatformRows) {
    loadRows();
    EXPECT_TRUE(vc.filterAppleBinaries());
    ASSERT_TRUE(waitUntil([&] { return rows(vc) == 8; }));
    EXPECT_EQ(vc.subtitle(), "8 of 10-events, 10-programs");
    EXPECT_FALSE(vc.filterAppleBinaries());
    ASSERT_TRUE(waitUntil([&] { return rows(vc) == 10; }));
}

TEST_F(RowActionsTest, SearchChecksNumbersInNumericCategories) {
    loadRows();
    struct Case {
        std::string category, text;
        bool alerts;
        std::string searched;
    };
    const Case cases[] = {
        {"PID", "abc", true, "before"},
        {"PID", "105,abc", false, "105,abc"},
        {"RPID", ",,", true, "before"},
        {"UID", "+501", false, "+501"},
        {"PID", "+-5", true, "before"},
        {"PID", "--5", true, "before"},
        {"PID", " 5", true, "before"},  // terms are not trimmed
        {"PID", "5 ", true, "before"},
        {"PID", "+5", false, "+5"},
        {"PPID", "05", false, "05"},
        {"PID", "9223372036854775808", true, "before"},  // beyond 64 bits
        {"PID", "9223372036854775807", false, "9223372036854775807"},
        {"Program", "abc", false, "abc"},
        {"AnyPID", "", false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.category + " " + c.text);
        alerts.alerts().clear();
        vc.filters.searchCategory = c.category;
        vc.filters.searchString = "before";
        vc.searchEvents(QString::fromStdString(c.text));
        EXPECT_EQ(vc.filters.searchString, c.searched);
        if (c.alerts) {
            ASSERT_TRUE(waitUntil([&] { return alerts.alerts().size() == 1; }));
            EXPECT_EQ(alerts.alerts()[0].style, qm::Alert::Style::warning);
            EXPECT_EQ(alerts.alerts()[0].messageText, "Invalid Search value");
            EXPECT_EQ(alerts.alerts()[0].informativeText,
                      "When searching for PID, PPID, UID, RPID - the search must be a number");
        } else {
            settle();
            EXPECT_TRUE(alerts.alerts().empty());
        }
    }
    vc.filters.searchCategory = "PID";
    vc.searchEvents("105");
    ASSERT_TRUE(waitUntil([&] { return shownSeqs(vc) == std::vector<std::int64_t>{6}; }));
}

}  // namespace
