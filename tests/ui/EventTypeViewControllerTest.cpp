// The event types pane: names in order with their counts, the redraw throttle,
// selection as a type filter, and emptying after all events are deleted.

#include <QListView>
#include <QSignalSpy>

#include "EventTypeViewController.h"
#include "FixtureGenerator.h"
#include "UiTestSupport.h"
#include "ViewController.h"

namespace {

using namespace std::chrono_literals;
using Clock = qm::EventTypeViewController::Clock;

class EventTypePaneTest : public ::testing::Test {
protected:
    void SetUp() override {
        uitest::setUpApplication();
        qm::registerDefaultSettings(settings);
        pane.eventsViewController = &view;
        pane.lastRefresh = t0;
    }

    // The rows of the pane as "name count".
    std::vector<std::string> shown() const {
        std::vector<std::string> rows;
        const auto* model = pane.model();
        for (int row = 0; row < model->rowCount(); ++row) {
            const auto index = model->index(row);
            rows.push_back(index.data().toString().toStdString() + " " +
                           std::to_string(index.data(qm::EventTypeModel::CountRole).toULongLong()));
        }
        return rows;
    }

    // Fills the store with one event of every kind and counts them in the pane.
    void loadEveryKind() {
        fixtures::FixtureGenerator generator(7);
        for (int i = 0; i < 103; ++i) {
            auto item = storetest::item(generator.next());
            view.filters.addEvent(item);
            pane.countEventTypes(es::shortName(item->theEvent().event_type), t0 + 10s);
        }
        pane.countEventTypes("networkflow", t0 + 10s);  // a flow from the extension
        uitest::settle();
    }

    void select(const std::vector<std::string>& names, QItemSelectionModel::SelectionFlags how) {
        QItemSelection selection;
        for (int row = 0; row < pane.model()->rowCount(); ++row) {
            const auto index = pane.model()->index(row);
            if (std::find(names.begin(), names.end(), index.data().toString().toStdString()) != names.end())
                selection.select(index, index);
        }
        pane.typeCollectionView->selectionModel()->select(selection, how);
    }

    qm::InMemorySettings settings;
    qm::ViewController view{settings};
    qm::EventTypeViewController pane;
    Clock::time_point t0 = Clock::now();
};

TEST_F(EventTypePaneTest, NewTypesAreListedInOrderWithTheirCountsAtTheNextRedraw) {
    for (const char* name : {"open", "exec", "open", "close"}) pane.countEventTypes(name, t0 + 1s);
    uitest::settle();
    EXPECT_TRUE(shown().empty());  // nothing redrawn yet

    pane.countEventTypes("networkflow", t0 + 2s);
    EXPECT_EQ(pane.sortedTypes, (std::vector<std::string>{"close", "exec", "networkflow", "open"}));
    EXPECT_TRUE(shown().empty());  // the redraw is queued on the main thread
    uitest::settle();
    EXPECT_EQ(shown(), (std::vector<std::string>{"close 1", "exec 1", "networkflow 1", "open 2"}));
    EXPECT_EQ(pane.model()->index(1).data(Qt::ToolTipRole).toString(), "exec");
}

TEST_F(EventTypePaneTest, RedrawsAtMostOncePerIntervalAndNotAtExactlyTheInterval) {
    QSignalSpy redraws(pane.model(), &QAbstractItemModel::modelReset);
    const struct {
        Clock::duration at;
        int redrawsAfter;
    } steps[] = {
        {1500ms, 0},  // exactly the interval: no redraw
        {1501ms, 1},
        {2000ms, 1},  // a burst within 1.5 s of that redraw
        {2500ms, 1},
        {3001ms, 1},  // 1.5 s exactly since 1.501 s
        {3002ms, 2},
    };
    for (const auto& step : steps) {
        pane.countEventTypes("exec", t0 + step.at);
        uitest::settle();
        EXPECT_EQ(redraws.count(), step.redrawsAfter) << std::chrono::duration<double>(step.at).count();
    }
    // Every event was counted, redrawn or not.
    EXPECT_EQ(shown(), (std::vector<std::string>{"exec 6"}));
    EXPECT_EQ(pane.eventTypeCount.at("exec"), 6u);
}

TEST_F(EventTypePaneTest, ABatchCountsAsItsEventsOneByOneWithOneRedrawAtMost) {
    QSignalSpy redraws(pane.model(), &QAbstractItemModel::modelReset);
    const struct {
        std::vector<qm::TypeCount> batch;
        Clock::duration at;
        int redrawsAfter;
    } steps[] = {
        {{{"open", 3}, {"exec", 1}}, 1s, 0},     // within the interval: counted, not redrawn
        {{}, 5s, 0},                             // an empty batch counts nothing and redraws nothing
        {{{"exec", 2}, {"close", 1000}}, 2s, 1},  // one redraw for the whole batch
        {{{"fork", 1}}, 3s, 1},                  // within 1.5 s of that redraw
    };
    for (const auto& step : steps) {
        pane.countEventTypes(step.batch, t0 + step.at);
        uitest::settle();
        EXPECT_EQ(redraws.count(), step.redrawsAfter) << std::chrono::duration<double>(step.at).count();
    }
    EXPECT_EQ(pane.sortedTypes, (std::vector<std::string>{"close", "exec", "fork", "open"}));
    pane.reloadTypes();
    uitest::settle();
    EXPECT_EQ(shown(), (std::vector<std::string>{"close 1000", "exec 3", "fork 1", "open 3"}));
}

TEST_F(EventTypePaneTest, SelectingTypesFiltersTheTableAndUnknownNamesAreDropped) {
    loadEveryKind();
    ASSERT_GT(pane.model()->rowCount(), 50);

    select({"exec", "networkflow"}, QItemSelectionModel::Select);
    EXPECT_EQ(view.filters.selectedEventTypes,
              (std::unordered_set<es::EventType>{es::EventType::ES_EVENT_TYPE_NOTIFY_EXEC,
                                                 es::EventType::ES_EVENT_TYPE_NOTIFY_NETWORKFLOW}));
    ASSERT_FALSE(view.filters.filteredEvents.empty());
    for (const auto& event : view.filters.filteredEvents)
        EXPECT_TRUE(event->theEvent().event_type == es::EventType::ES_EVENT_TYPE_NOTIFY_EXEC ||
                    event->theEvent().event_type == es::EventType::ES_EVENT_TYPE_NOTIFY_NETWORKFLOW);

    select({"exec"}, QItemSelectionModel::Deselect);
    EXPECT_EQ(view.filters.selectedEventTypes,
              (std::unordered_set<es::EventType>{es::EventType::ES_EVENT_TYPE_NOTIFY_NETWORKFLOW}));

    // A name the events view does not map is dropped; the filter still runs.
    pane.countEventTypes("nosuchtype", t0 + 20s);
    uitest::settle();
    select({"networkflow"}, QItemSelectionModel::Deselect);
    select({"nosuchtype"}, QItemSelectionModel::Select);
    EXPECT_TRUE(view.filters.selectedEventTypes.empty());
    EXPECT_FALSE(view.filters.isFiltering());
}

TEST_F(EventTypePaneTest, RedrawKeepsTheSelectionOnItsNames) {
    loadEveryKind();
    select({"open"}, QItemSelectionModel::Select);
    // A new type sorts before "open" and moves it down a row.
    pane.countEventTypes("aaa", t0 + 20s);
    uitest::settle();
    const auto selected = pane.typeCollectionView->selectionModel()->selectedIndexes();
    ASSERT_EQ(selected.size(), 1);
    EXPECT_EQ(selected[0].data().toString(), "open");
    EXPECT_EQ(view.filters.selectedEventTypes,
              (std::unordered_set<es::EventType>{es::EventType::ES_EVENT_TYPE_NOTIFY_OPEN}));
}

TEST_F(EventTypePaneTest, ClearingEmptiesThePaneAndTheNextEventStartsAgain) {
    loadEveryKind();
    select({"exec"}, QItemSelectionModel::Select);
    pane.deselectAll();  // leaves the filters to the caller
    EXPECT_TRUE(pane.typeCollectionView->selectionModel()->selectedIndexes().isEmpty());
    EXPECT_FALSE(view.filters.selectedEventTypes.empty());

    pane.clearTypes();
    uitest::settle();
    EXPECT_TRUE(shown().empty());
    EXPECT_TRUE(pane.eventTypeCount.empty());
    pane.countEventTypes("fork", t0 + 30s);
    uitest::settle();
    EXPECT_EQ(shown(), (std::vector<std::string>{"fork 1"}));
}

}  // namespace
