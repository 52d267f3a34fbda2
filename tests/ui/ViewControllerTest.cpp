// The events view's table, status text, refresh throttle, sorting, sticky row and
// programs collection, driven through the widget.
#include <QSignalSpy>
#include <QTimer>

#include "UiTestSupport.h"

using namespace uitest;
using qm::ViewController;

namespace {

class ViewControllerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { setUpApplication(); }
    qm::InMemorySettings settings;
    void SetUp() override { qm::registerDefaultSettings(settings); }
};

TEST_F(ViewControllerTest, EmptyStoreStatusText) {
    TestViewController vc(settings);
    // No sideways scroll bar on an empty table, before and after a reload.
    EXPECT_EQ(vc.eventsTableView()->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    QSignalSpy spy(&vc, &ViewController::subtitleChanged);
    vc.reloadEvents();
    ASSERT_TRUE(waitUntil([&] { return spy.count() == 1; }));
    EXPECT_EQ(spy.at(0).at(0).toString(), "0 of 0-events, 0-programs");
    EXPECT_EQ(vc.subtitle(), "0 of 0-events, 0-programs");
    EXPECT_EQ(vc.eventsTableView()->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    vc.addEvent(openEvent("/bin/a", 1, 1));
    ASSERT_TRUE(waitUntil([&] { return rows(vc) == 1; }));
    EXPECT_EQ(vc.eventsTableView()->horizontalScrollBarPolicy(), Qt::ScrollBarAsNeeded);
}

TEST_F(ViewControllerTest, CellsShowTextTooltipAndRedBackground) {
    TestViewController vc(settings);
    es::ESMessage apple = openEvent("/usr/bin/ssh", 41, 7, 0, 0);
    apple.process.is_platform_binary = true;
    apple.process.signing_id = "com.example.ssh";
    apple.process.codesigning_flags = es::CodeSigningFlags(es::CodeSigningFlags::CS_SIGNED | es::CodeSigningFlags::CS_VALID);
    apple.process.parent_audit_token.pid = 40;
    apple.process.responsible_audit_token.pid = 39;
    es::ESMessage other = openEvent("/opt/tool/", 52, 8);
    addAll(vc, {apple, other}, 2);

    EXPECT_EQ(cell(vc, 0, "EventNumber"), "7");
    EXPECT_EQ(cell(vc, 0, "Apple"), "true");
    EXPECT_EQ(cell(vc, 0, "Apple", Qt::ToolTipRole), "com.example.ssh");
    EXPECT_FALSE(cell(vc, 0, "Apple", Qt::BackgroundRole).isValid());
    EXPECT_EQ(cell(vc, 0, "ProcessPath"), "ssh");
    EXPECT_EQ(cell(vc, 0, "ProcessPath", Qt::ToolTipRole), "/usr/bin/ssh");
    EXPECT_EQ(cell(vc, 0, "EventName"), "open");
    EXPECT_EQ(cell(vc, 0, "Annotations"), QString::fromStdString(qm::annotationBadges(qm::EventAnnotation::PRIVILEGED_USER)));
    EXPECT_EQ(cell(vc, 0, "Annotations", Qt::ToolTipRole),
              QString::fromStdString(qm::annotationNames(qm::EventAnnotation::PRIVILEGED_USER)));
    EXPECT_EQ(cell(vc, 0, "PID"), "41");
    EXPECT_FALSE(cell(vc, 0, "PID", Qt::BackgroundRole).isValid());
    EXPECT_EQ(cell(vc, 0, "ParentPID"), "40");
    EXPECT_EQ(cell(vc, 0, "ResponsiblePID"), "39");
    EXPECT_FALSE(cell(vc, 0, "OtherDetails").toString().isEmpty());

    // Not a platform binary, not signed, no signing id: "false" and the PID in red.
    EXPECT_EQ(cell(vc, 1, "Apple"), "false");
    EXPECT_EQ(cell(vc, 1, "Apple", Qt::BackgroundRole).value<QColor>(), qm::EventTableModel::systemRed);
    EXPECT_FALSE(cell(vc, 1, "Apple", Qt::ToolTipRole).isValid());
    EXPECT_EQ(cell(vc, 1, "PID", Qt::BackgroundRole).value<QColor>(), qm::EventTableModel::systemRed);
    EXPECT_EQ(cell(vc, 1, "ProcessPath"), "tool");
    EXPECT_EQ(cell(vc, 1, "Annotations"), "");
    EXPECT_EQ(vc.subtitle(), "2 of 2-events, 2-programs");
}

TEST_F(ViewControllerTest, EventsWithinTheRefreshIntervalWaitForTheNextFlush) {
    TestViewController vc(settings);
    CountingDelegate delegate;
    vc.setDelegate(&delegate);
    vc.stepMillis = 0;  // the clock moves only when the test moves it

    vc.addEvent(openEvent("/bin/a", 1, 1));  // the first event flushes at once
    ASSERT_TRUE(waitUntil([&] { return rows(vc) == 1; }));
    vc.advance(std::chrono::milliseconds(500));
    vc.addEvent(openEvent("/bin/a", 1, 2));
    settle();
    EXPECT_EQ(rows(vc), 1);
    EXPECT_EQ(vc.filters.allEvents.size(), 1u);

    vc.advance(std::chrono::milliseconds(1500));  // exactly 2.0 s after the last flush
    vc.addEvent(openEvent("/bin/b", 2, 3));
    ASSERT_TRUE(waitUntil([&] { return rows(vc) == 3; }));
    EXPECT_EQ(shownSeqs(vc), (std::vector<std::int64_t>{1, 2, 3}));
    EXPECT_EQ(delegate.counted, (std::vector<std::string>{"open", "open", "open"}));
    vc.setDelegate(nullptr);
}

TEST_F(ViewControllerTest, WaitingEventsAppearOnceTheIntervalHasPassedWithoutAnotherEvent) {
    TestViewController vc(settings);
    vc.stepMillis = 0;  // the clock moves only when the test moves it
    auto* trailing = vc.findChild<QTimer*>(QString(), Qt::FindDirectChildrenOnly);
    ASSERT_NE(trailing, nullptr);
    QSignalSpy fired(trailing, &QTimer::timeout);  // connected after the controller: sees it done
    vc.addEvent(openEvent("/bin/a", 1, 1));
    ASSERT_TRUE(waitUntil([&] { return rows(vc) == 1; }));
    vc.advance(std::chrono::milliseconds(500));
    vc.addEvent(openEvent("/bin/a", 1, 2));
    vc.addEvent(openEvent("/bin/b", 2, 3));

    // The refresh comes due by the clock of the arrival, but the controller's clock
    // has not reached the interval: the timer waits again, still one flush per interval.
    ASSERT_TRUE(waitUntil([&] { return fired.count() >= 1; }));
    EXPECT_TRUE(trailing->isActive());
    EXPECT_EQ(vc.backgroundEventCount(), 2u);
    EXPECT_EQ(rows(vc), 1);

    vc.advance(std::chrono::milliseconds(1500));  // 2.0 s after the flush; nothing else arrives
    ASSERT_TRUE(waitUntil([&] { return rows(vc) == 3; }));
    EXPECT_EQ(shownSeqs(vc), (std::vector<std::int64_t>{1, 2, 3}));
    EXPECT_EQ(vc.backgroundEventCount(), 0u);
}

TEST_F(ViewControllerTest, FlushWhileFilteringAddsToTheStoreButKeepsTheShownList) {
    TestViewController vc(settings);
    es::ESMessage platform = openEvent("/usr/bin/true", 1, 1);
    platform.process.is_platform_binary = true;
    addAll(vc, {platform, openEvent("/bin/mine", 2, 2)}, 2);
    EXPECT_TRUE(vc.filterAppleBinaries());
    ASSERT_TRUE(waitUntil([&] { return rows(vc) == 1; }));
    const int programsShown = vc.programsCollectionView()->model()->rowCount();

    vc.addEvent(openEvent("/bin/new", 3, 3));
    ASSERT_TRUE(waitUntil([&] { return vc.filters.allEvents.size() == 3; }));
    settle();
    EXPECT_EQ(vc.filters.allPrograms.size(), 3u);
    EXPECT_EQ(vc.filters.filteredEvents.size(), 1u);
    EXPECT_EQ(rows(vc), 1);
    EXPECT_EQ(vc.programsCollectionView()->model()->rowCount(), programsShown);
}

TEST_F(ViewControllerTest, EventNumberHeaderSortsAscendingAndOtherHeadersOnlyReload) {
    TestViewController vc(settings);
    addAll(vc, {openEvent("/bin/a", 1, 30), openEvent("/bin/a", 1, 10), openEvent("/bin/a", 1, 20)}, 3);
    clickHeader(vc, "PID");
    settle();
    EXPECT_EQ(shownSeqs(vc), (std::vector<std::int64_t>{30, 10, 20}));
    clickHeader(vc, "EventNumber");
    ASSERT_TRUE(waitUntil([&] { return shownSeqs(vc) == std::vector<std::int64_t>{10, 20, 30}; }));
    clickHeader(vc, "EventNumber");
    settle();
    EXPECT_EQ(shownSeqs(vc), (std::vector<std::int64_t>{10, 20, 30}));
}

std::vector<es::ESMessage> stickyEvents() {
    std::vector<es::ESMessage> events;
    for (std::int64_t seq : {1, 2, 3, 4, 5, 100, 6, 7, 8, 9}) events.push_back(openEvent("/bin/a", 1, seq));
    return events;
}

TEST_F(ViewControllerTest, StickyRowFollowsTheSelectedEvent) {
    TestViewController vc(settings);
    addAll(vc, stickyEvents(), 10);
    clickRow(vc, 5);
    ASSERT_EQ(vc.lastSelectedRow(), 5);
    ASSERT_EQ(vc.lastSelectedEvent()->theEvent().global_seq_num, 100);

    // New events keep row 5 on the same event: row 5 stays selected.
    addAll(vc, {openEvent("/bin/a", 1, 10), openEvent("/bin/a", 1, 11)}, 12);
    EXPECT_EQ(selectedRow(vc), 5);

    // The sort moves the event to the last row (11); the reload selects that row.
    clickHeader(vc, "EventNumber");
    ASSERT_TRUE(waitUntil([&] { return selectedRow(vc) == 11; }));
    EXPECT_EQ(cell(vc, 11, "EventNumber"), "100");
    EXPECT_EQ(vc.lastSelectedRow(), 11);
}

TEST_F(ViewControllerTest, WithoutStickyRowTheSelectionStaysOnItsRow) {
    settings.setValue(qm::keys::stickyRowEnabled, false);
    TestViewController vc(settings);
    addAll(vc, stickyEvents(), 10);
    clickRow(vc, 5);
    clickHeader(vc, "EventNumber");
    ASSERT_TRUE(waitUntil([&] { return cell(vc, 9, "EventNumber") == "100"; }));
    EXPECT_EQ(selectedRow(vc), 5);
}

TEST_F(ViewControllerTest, SelectingProgramsShowsTheUnionOfTheirEvents) {
    TestViewController vc(settings);
    addAll(vc,
           {openEvent("/usr/bin/ssh", 10, 1), openEvent("/bin/ls", 20, 2), openEvent("/usr/bin/ssh", 11, 3),
            openEvent("/usr/bin/zsh", 30, 4), openEvent("/bin/ls", 21, 5)},
           5);
    ASSERT_EQ(vc.programsCollectionView()->model()->rowCount(), 3);

    clickProgram(vc, "/usr/bin/ssh");
    ASSERT_TRUE(waitUntil([&] { return shownSeqs(vc) == std::vector<std::int64_t>{1, 3}; }));
    EXPECT_EQ(vc.subtitle(), "2 of 5-events, 3-programs");
    clickProgram(vc, "/bin/ls", Qt::ControlModifier);
    ASSERT_TRUE(waitUntil([&] { return shownSeqs(vc) == std::vector<std::int64_t>{1, 3, 2, 5}; }));
    clickProgram(vc, "/usr/bin/ssh", Qt::ControlModifier);
    ASSERT_TRUE(waitUntil([&] { return shownSeqs(vc) == std::vector<std::int64_t>{2, 5}; }));
    // Deselecting the last program leaves no filter: the filtered list is empty
    // and the table shows every event again.
    clickProgram(vc, "/bin/ls", Qt::ControlModifier);
    ASSERT_TRUE(waitUntil([&] { return rows(vc) == 5; }));
    EXPECT_TRUE(vc.filters.filteredEvents.empty());
    EXPECT_FALSE(vc.filters.isFiltering());
}

TEST_F(ViewControllerTest, ProgramEntriesComeFromTheFactory) {
    TestViewController vc(settings);
    std::vector<int> made;
    vc.setProgramItemFactory([&](int index) {
        made.push_back(index);
        auto* label = new QWidget;
        label->setObjectName(QString::fromStdString(vc.filters.sortedProgramPaths[std::size_t(index)]));
        return label;
    });
    addAll(vc, {openEvent("/bin/b", 1, 1), openEvent("/bin/a", 2, 2)}, 2);
    QListView* list = vc.programsCollectionView();
    ASSERT_EQ(list->model()->rowCount(), 2);
    EXPECT_EQ(list->indexWidget(list->model()->index(0, 0))->objectName(), "/bin/a");
    EXPECT_EQ(list->indexWidget(list->model()->index(1, 0))->objectName(), "/bin/b");
    // A click on an entry selects its program.
    QWidget* entry = list->indexWidget(list->model()->index(1, 0));
    QTest::mouseClick(entry, Qt::LeftButton, {}, entry->rect().center());
    ASSERT_TRUE(waitUntil([&] { return shownSeqs(vc) == std::vector<std::int64_t>{1}; }));
    EXPECT_EQ(vc.filters.selectedPrograms, (std::unordered_set<std::string>{"/bin/b"}));
}

TEST_F(ViewControllerTest, TypeMappingHoldsEveryNotifyTypeByShortName) {
    TestViewController vc(settings);
    EXPECT_EQ(vc.typeMapping.at("exec"), es::EventType::ES_EVENT_TYPE_NOTIFY_EXEC);
    EXPECT_EQ(vc.typeMapping.at("networkflow"), es::EventType::ES_EVENT_TYPE_NOTIFY_NETWORKFLOW);
    for (const auto& [name, type] : vc.typeMapping)
        EXPECT_NE(es::caseName(type).find("_NOTIFY_"), std::string_view::npos) << name;
}

}  // namespace
