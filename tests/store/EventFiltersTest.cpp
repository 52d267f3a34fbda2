#include <gtest/gtest.h>

#include <algorithm>
#include <new>

#include "DateTime.h"
#include "DefaultSettings.h"
#include "EventFilters.h"
#include "FailingAllocation.h"
#include "StoreTestSupport.h"

using namespace storetest;
using es::EventType;
using qm::EventFilters;

namespace {

constexpr auto OPEN = EventType::ES_EVENT_TYPE_NOTIFY_OPEN;
constexpr auto EXEC = EventType::ES_EVENT_TYPE_NOTIFY_EXEC;
constexpr auto WRITE = EventType::ES_EVENT_TYPE_NOTIFY_WRITE;
constexpr auto FLOW = EventType::ES_EVENT_TYPE_NOTIFY_NETWORKFLOW;

struct Spec {
    std::int64_t seq;
    const char* path;
    Ids ids;
    EventType type = OPEN;
    std::int64_t time = 1000;
    bool platform = false;
    const char* opened = "/tmp/file";
};

class Filters : public ::testing::Test {
protected:
    Filters() {
        qm::registerDefaultSettings(settings);
        settings.setValue(qm::keys::annotatePaths, qm::SettingList{"/priv/"});
    }

    qm::EventItemPtr make(const Spec& s) {
        static const qm::DateFormatter format("yyyy-MM-dd'T'HH:mm:ss.SSSZZZZZ", qm::TimeZone::utc());
        return item(message(openOf(s.opened), process(s.path, s.ids, s.platform), s.seq, format.format({s.time, 250000000}),
                            s.type),
                    annotator);
    }
    void add(const Spec& s) { store.addEvent(make(s)); }

    static std::vector<std::int64_t> seqs(const qm::EventList& list) {
        std::vector<std::int64_t> out;
        for (const auto& e : list) out.push_back(e->theEvent().global_seq_num);
        return out;
    }
    std::vector<std::int64_t> shown() const { return seqs(store.filteredEvents); }
    std::vector<std::int64_t> refiltered() const { return seqs(store.refilter(store.allEvents, -1)); }

    // Eight events of five programs.
    void addSample() {
        add({1, "/bin/zsh", {.pid = 10, .ppid = 1, .rpid = 1}, EXEC, 1000});
        add({2, "/usr/bin/ls", {.pid = 20, .ppid = 10, .rpid = 10}, OPEN, 1001, true});
        add({3, "/priv/helper", {.pid = 30, .ppid = 1, .rpid = 30, .euid = 0}, WRITE, 1002});
        add({4, "/bin/zsh", {.pid = 10, .ppid = 1, .rpid = 1}, OPEN, 1003, false, "/etc/hosts"});
        add({5, "/usr/bin/curl", {.pid = 40, .ppid = 10, .rpid = 99}, FLOW, 1004});
        add({6, "/usr/bin/ls", {.pid = 21, .ppid = 20, .rpid = 10}, OPEN, 1005, true});
        add({7, "/priv/helper", {.pid = 31, .ppid = 30, .rpid = 30}, OPEN, 1006});
        add({8, "/Applications/Tool.app/Contents/MacOS/Tool", {.pid = 50, .ppid = 1, .rpid = 50, .euid = 0}, OPEN, 1007});
    }

    qm::InMemorySettings settings;
    qm::EventAnnotator annotator{settings};
    EventFilters store;
};

}  // namespace

TEST_F(Filters, IsFilteringByEachCondition) {
    struct Case {
        const char* what;
        std::function<void(EventFilters&)> set;
        bool filtering;
    };
    const Case cases[] = {
        {"nothing", [](EventFilters&) {}, false},
        {"platform binaries", [](EventFilters& f) { f.appleBinaryFilter = true; }, true},
        {"search", [](EventFilters& f) { f.searchString = "x"; }, true},
        {"selected program", [](EventFilters& f) { f.selectedPrograms.insert("/a"); }, true},
        {"selected type", [](EventFilters& f) { f.selectedEventTypes.insert(OPEN); }, true},
        {"chain pid", [](EventFilters& f) { f.selectedPIDChain.pid.insert(1); }, true},
        {"chain ppid alone", [](EventFilters& f) { f.selectedPIDChain.ppid.insert(1); }, false},
        {"annotated only", [](EventFilters& f) { f.annotateFilter = true; }, true},
        {"window", [](EventFilters& f) { f.timeWindowEnd = 1; }, true},
        {"window start alone", [](EventFilters& f) { f.timeWindowStart = 5; }, false},
        {"hidden program", [](EventFilters& f) { f.deselectedPrograms.insert("/a"); }, true},
        {"hidden type", [](EventFilters& f) { f.deselectedEventTypes.insert(OPEN); }, true},
        {"search category alone", [](EventFilters& f) { f.searchCategory = "PID"; }, false},
    };
    for (const auto& c : cases) {
        EventFilters f;
        c.set(f);
        EXPECT_EQ(f.isFiltering(), c.filtering) << c.what;
        f.clearAll();
        EXPECT_FALSE(f.isFiltering()) << c.what;
    }
}

TEST_F(Filters, ProgramsAreFiledAndSortedByPath) {
    add({1, "/b", {}});
    add({2, "/a", {}});
    add({3, "/B", {}});
    EXPECT_EQ(store.sortedProgramPaths, (std::vector<std::string>{"/B", "/a", "/b"}));
    add({4, "/a", {}});
    EXPECT_EQ(store.sortedProgramPaths, (std::vector<std::string>{"/B", "/a", "/b"}));
    EXPECT_EQ(store.allPrograms.size(), 3u);
    EXPECT_EQ(store.allPrograms.at("/a")->read([](const auto& c) { return c.allEvents.size(); }), 2u);
    EXPECT_EQ(store.allEvents.size(), 4u);
    EXPECT_TRUE(store.filteredEvents.empty());  // new events wait for the next refilter
}

TEST_F(Filters, EachRefilterPassAlone) {
    addSample();
    struct Case {
        const char* what;
        std::function<void(EventFilters&)> set;
        std::vector<std::int64_t> kept;
    };
    const Case cases[] = {
        {"no pass", [](EventFilters&) {}, {1, 2, 3, 4, 5, 6, 7, 8}},
        {"platform binaries hidden", [](EventFilters& f) { f.appleBinaryFilter = true; }, {1, 3, 4, 5, 7, 8}},
        {"annotated only", [](EventFilters& f) { f.annotateFilter = true; }, {3, 7, 8}},
        {"window", [](EventFilters& f) { f.timeWindowStart = 1002, f.timeWindowEnd = 1004; }, {3, 4, 5}},
        {"chain", [](EventFilters& f) { f.selectedPIDChain.pid = {30}, f.selectedPIDChain.ppid = {10}; }, {2, 3, 5, 6}},
        {"selected types", [](EventFilters& f) { f.selectedEventTypes = {EXEC, FLOW}; }, {1, 5}},
        {"hidden types", [](EventFilters& f) { f.deselectedEventTypes = {OPEN}; }, {1, 3, 5}},
        {"selected programs", [](EventFilters& f) { f.selectedPrograms = {"/usr/bin/ls", "/bin/zsh"}; }, {1, 2, 4, 6}},
        {"hidden programs", [](EventFilters& f) { f.deselectedPrograms = {"/usr/bin/ls"}; }, {1, 3, 4, 5, 7, 8}},
        {"search", [](EventFilters& f) { f.searchString = "bin/"; }, {1, 2, 4, 5, 6}},
        {"every pass at once",
         [](EventFilters& f) {
             f.appleBinaryFilter = true;
             f.timeWindowStart = 1000, f.timeWindowEnd = 1006;
             f.deselectedEventTypes = {WRITE};
             f.searchString = "/";
         },
         {1, 4, 5, 7}},
    };
    for (const auto& c : cases) {
        store.clearAll();
        c.set(store);
        EXPECT_EQ(refiltered(), c.kept) << c.what;
    }
}

TEST_F(Filters, EmptySearchWithoutFiltersShowsNothingFiltered) {
    addSample();
    store.setSearchString("");
    EXPECT_TRUE(store.filteredEvents.empty());
    EXPECT_FALSE(store.isFiltering());
    store.setSearchString("curl");
    EXPECT_EQ(shown(), (std::vector<std::int64_t>{5}));
    store.setSearchString("");
    EXPECT_TRUE(store.filteredEvents.empty());
}

TEST_F(Filters, IgnoringProgramsAndTypesNarrowsWhatIsShown) {
    addSample();
    store.ignoreProgram("/usr/bin/ls");
    store.ignoreProgram("/bin/zsh");
    EXPECT_EQ(shown(), (std::vector<std::int64_t>{3, 5, 7, 8}));
    store.ignoreEventType({FLOW, WRITE});
    EXPECT_EQ(shown(), (std::vector<std::int64_t>{7, 8}));
    store.clearAll();
    EXPECT_FALSE(store.isFiltering());
    EXPECT_TRUE(store.filteredEvents.empty());
    EXPECT_EQ(store.allEvents.size(), 8u);
    EXPECT_EQ(store.allPrograms.size(), 5u);

    // While a filter is in force, ignoring narrows the filtered list, not all events.
    store.setSearchString("zsh");
    store.ignoreEventType({EXEC});
    EXPECT_EQ(shown(), (std::vector<std::int64_t>{4}));
}

TEST_F(Filters, SelectingAndDeselectingTypesIncludingNetworkFlows) {
    addSample();
    store.selectEventTypes({FLOW});
    EXPECT_EQ(shown(), (std::vector<std::int64_t>{5}));
    store.selectEventTypes({EXEC});
    EXPECT_EQ(shown(), (std::vector<std::int64_t>{1, 5}));
    store.deselectEventTypes({EXEC});
    EXPECT_EQ(shown(), (std::vector<std::int64_t>{5}));
    store.deselectEventTypes({FLOW});  // the only selected type, no other filter
    EXPECT_TRUE(store.filteredEvents.empty());
    EXPECT_FALSE(store.isFiltering());
    EXPECT_TRUE(store.deselectedEventTypes.empty());  // deselecting never hides

    store.ignoreEventType({FLOW});
    EXPECT_EQ(shown(), (std::vector<std::int64_t>{1, 2, 3, 4, 6, 7, 8}));
}

TEST_F(Filters, PlatformBinaryFilter) {
    addSample();
    store.enableAppleBinaryFilter();  // no filter before: a full refilter
    EXPECT_EQ(shown(), (std::vector<std::int64_t>{1, 3, 4, 5, 7, 8}));

    store.clearAll();
    store.setSearchString("/usr/bin/");
    EXPECT_EQ(shown(), (std::vector<std::int64_t>{2, 5, 6}));
    add({9, "/usr/bin/ssh", {.pid = 60}});  // matches the search, but not yet in the filtered list
    store.enableAppleBinaryFilter();        // narrows in place without searching again
    EXPECT_EQ(shown(), (std::vector<std::int64_t>{5}));
}

TEST_F(Filters, SearchCategories) {
    addSample();
    struct Case {
        const char* category;
        const char* text;
        std::vector<std::int64_t> kept;
    };
    const Case cases[] = {
        {"PID", "20,abc,,30", {2, 3}},
        {"PID", "abc", {1, 2, 3, 4, 5, 6, 7, 8}},  // no number: unchanged
        {"PID", "+21", {6}},
        {"PID", " 21", {1, 2, 3, 4, 5, 6, 7, 8}},  // a blank makes it no number
        {"PPID", "10", {2, 5}},
        {"RPID", "10", {2, 6}},
        {"UID", "0", {3, 8}},
        {"AnyPID", "10", {1, 2, 4, 5, 6}},
        {"Annotations", "privileged_path,privileged_user", {3}},
        {"Annotations", "privileged_user", {3, 8}},
        {"Annotations", "nothing,known", {1, 2, 3, 4, 5, 6, 7, 8}},
        {"Program", "zsh, curl", {1, 4}},  // the second term keeps its blank
        {"Program", "zsh,curl", {1, 4, 5}},
        {"Program", "ZSH", {}},
        {"Program", ",,,", {}},
        {"Details", "hosts", {4}},
        {"Details", ",", {}},
        {"", "helper", {3, 7}},
    };
    for (const auto& c : cases) {
        store.searchCategory = c.category;
        store.searchString = c.text;
        EXPECT_EQ(seqs(store.applySearch(store.allEvents)), c.kept) << c.category << " " << c.text;
        EXPECT_EQ(refiltered(), c.kept) << c.category << " " << c.text;
    }
}

TEST_F(Filters, ProcessChainReachesOneLevelUpAndDown) {
    addSample();
    store.setSearchString("x");  // replaced by the chain
    store.setPIDChain({20});
    // pid 20 (event 2), its parent 10 (events 1, 4), its responsible 10, its child 21 (event 6).
    EXPECT_EQ(shown(), (std::vector<std::int64_t>{1, 2, 4, 6}));
    EXPECT_TRUE(store.searchString.empty());
    EXPECT_EQ(store.selectedPIDChain.pid, (std::unordered_set<std::int64_t>{20, 10}));
    EXPECT_EQ(store.selectedPIDChain.ppid, (std::unordered_set<std::int64_t>{20}));

    store.setPIDChain({30});  // parent 1 is never followed; children by parent or responsible pid
    EXPECT_EQ(shown(), (std::vector<std::int64_t>{3, 7}));

    store.setPIDChain({10});
    EXPECT_EQ(shown(), (std::vector<std::int64_t>{1, 2, 4, 5, 6}));

    store.setPIDChain({12345});  // no events: nothing shown, but the filter is in force
    EXPECT_TRUE(store.filteredEvents.empty());
    EXPECT_TRUE(store.isFiltering());
}

TEST_F(Filters, ProcessChainIsSortedBySequenceAndKeepsOneItemPerIdentity) {
    add({5, "/bin/a", {.pid = 70}});
    add({2, "/bin/b", {.pid = 71, .ppid = 70}});
    add({5, "/bin/a", {.pid = 70}, OPEN, 1000, false, "/other/payload"});  // same identity as the first
    add({9, "/bin/a", {.pid = 70}});
    store.setPIDChain({70});
    EXPECT_EQ(shown(), (std::vector<std::int64_t>{2, 5, 9}));

    // Later events of the chain appear at the next refilter.
    add({10, "/bin/c", {.pid = 72, .rpid = 70}});
    EXPECT_EQ(refiltered(), (std::vector<std::int64_t>{5, 2, 5, 9, 10}));
}

TEST_F(Filters, ProcessChainKeepsOfEqualItemsTheOneItsStepsBringInFirst) {
    // Two equal items numbered 5 (same time, type and path) of different processes;
    // the one a later step brings in comes first in the list. Steps, pid by pid: own
    // events, the parent's, the responsible process's, the children's.
    struct Case {
        const char* what;
        std::vector<std::int64_t> pids;
        std::vector<Spec> events;
        std::int64_t keptPid;
    };
    const Case cases[] = {
        {"own before a child's", {70}, {{5, "/bin/a", {.pid = 71, .ppid = 70}}, {5, "/bin/a", {.pid = 70}}}, 70},
        {"own before the parent's",
         {70},
         {{1, "/bin/x", {.pid = 70, .ppid = 60}}, {5, "/bin/a", {.pid = 60}}, {5, "/bin/a", {.pid = 70, .ppid = 60}}},
         70},
        {"parent's before a child's",
         {70},
         {{1, "/bin/x", {.pid = 70, .ppid = 60}}, {5, "/bin/a", {.pid = 71, .ppid = 70}}, {5, "/bin/a", {.pid = 60}}},
         60},
        {"parent's before the responsible's",
         {70},
         {{1, "/bin/x", {.pid = 70, .ppid = 60, .rpid = 65}}, {5, "/bin/a", {.pid = 65}}, {5, "/bin/a", {.pid = 60}}},
         60},
        {"the first pid's own before the next pid's",
         {71, 70},
         {{5, "/bin/a", {.pid = 70}}, {5, "/bin/a", {.pid = 71, .ppid = 70}}},
         71},
    };
    for (const auto& c : cases) {
        EventFilters f;
        for (const auto& spec : c.events) f.addEvent(make(spec));
        f.setPIDChain(c.pids);
        ASSERT_FALSE(f.filteredEvents.empty()) << c.what;
        const auto shownSeqs = seqs(f.filteredEvents);
        EXPECT_EQ(std::count(shownSeqs.begin(), shownSeqs.end(), 5), 1) << c.what;
        EXPECT_EQ(shownSeqs.back(), 5) << c.what;
        EXPECT_EQ(f.filteredEvents.back()->theProcess().audit_token.pid, c.keptPid) << c.what;
    }

    // The same in a long run of one number, where equal items are found through a set.
    EventFilters f;
    for (int i = 0; i < 20; ++i) f.addEvent(make({5, i % 2 ? "/bin/b" : "/bin/c", {.pid = 71, .ppid = 70}}));
    f.addEvent(make({5, "/bin/b", {.pid = 70}}));
    f.setPIDChain({70});
    std::vector<std::int64_t> pids;
    for (const auto& e : f.filteredEvents) pids.push_back(e->theProcess().audit_token.pid);
    EXPECT_EQ(pids, (std::vector<std::int64_t>{71, 70}));
}

TEST_F(Filters, ProcessChainKeepsOneItemPerIdentityInALongRunOfOneSequenceNumber) {
    // A capture whose numbers repeat: 24 events numbered 50 over three paths, and
    // one numbered 40 after them; the chain holds the first of each path, in order.
    const char* paths[] = {"/bin/p0", "/bin/p1", "/bin/p2"};
    for (int i = 0; i < 24; ++i) add({50, paths[(i * 2) % 3], {.pid = 80}});
    add({40, "/bin/p0", {.pid = 80}});
    store.setPIDChain({80});
    std::vector<std::string> shownPaths;
    for (const auto& e : store.filteredEvents) shownPaths.push_back(e->theProcess().executable.path);
    EXPECT_EQ(shown(), (std::vector<std::int64_t>{40, 50, 50, 50}));
    EXPECT_EQ(shownPaths, (std::vector<std::string>{"/bin/p0", "/bin/p0", "/bin/p2", "/bin/p1"}));
}

TEST_F(Filters, TimeWindowBounds) {
    struct Case {
        std::int64_t time, span, start, end;
    };
    const Case cases[] = {{1000, 5, 997, 1003}, {1000, 30, 985, 1015}, {1000, 1, 999, 1001}, {1, 86400, -43199, 43201}};
    for (const auto& c : cases) {
        EventFilters f;
        f.setTimeWindow(c.time, c.span, -1);
        EXPECT_EQ(f.timeWindowStart, c.start) << c.time << "/" << c.span;
        EXPECT_EQ(f.timeWindowEnd, c.end) << c.time << "/" << c.span;
    }
    for (auto [time, span] : {std::pair{0, 5}, {1000, 0}, {-5, 5}, {1000, -1}}) {
        EventFilters f;
        f.setTimeWindow(time, span, -1);
        EXPECT_EQ(f.timeWindowEnd, 0) << time << "/" << span;
        EXPECT_FALSE(f.isFiltering());
    }
}

TEST_F(Filters, FirstWindowNarrowsTheShownListAndLaterOnesRescan) {
    for (std::int64_t i = 0; i < 10; ++i) add({i + 1, i % 2 ? "/bin/odd" : "/bin/even", {}, OPEN, 1000 + i});
    store.selectedPrograms = {"/bin/even"};
    store.filteredEvents = store.refilter(store.allEvents, -1);
    ASSERT_EQ(shown(), (std::vector<std::int64_t>{1, 3, 5, 7, 9}));
    add({11, "/bin/even", {}, OPEN, 1005});  // would pass every filter, but arrives after the last refilter

    store.setTimeWindow(1004, 5, 2);  // around row 2 (seq 5): window 1001..1007
    EXPECT_EQ(shown(), (std::vector<std::int64_t>{3, 5, 7}));
    store.setTimeWindow(1004, 5, 2);  // a window is set: full rescan
    EXPECT_EQ(shown(), (std::vector<std::int64_t>{3, 5, 7, 11}));

    store.clearTimeWindow();
    EXPECT_EQ(shown(), (std::vector<std::int64_t>{1, 3, 5, 7, 9, 11}));
    store.selectedPrograms.clear();
    store.clearTimeWindow();
    EXPECT_TRUE(store.filteredEvents.empty());
}

TEST_F(Filters, WindowPassWithAnAnchorKeepsTheRunAroundIt) {
    const std::int64_t times[] = {990, 1000, 1001, 990, 1002, 1003, 2000, 1003};
    for (std::int64_t i = 0; i < 8; ++i) add({i, "/bin/t", {}, OPEN, times[i]});
    store.timeWindowStart = 1000;
    store.timeWindowEnd = 1005;
    struct Case {
        std::int64_t anchor;
        std::vector<std::int64_t> kept;
    };
    const Case cases[] = {
        {-1, {1, 2, 4, 5, 7}},
        {4, {4, 5}},     // stops before 2000 even though seq 7 is inside again
        {2, {1, 2}},     // stops at the 990 after it and at the 990 before
        {3, {1, 2}},     // anchor outside: forward ends at once, backward still runs
        {0, {}},
        {8, {7}},        // the list's length: backward only
        {100, {7}},      // past the end: taken as the end
    };
    for (const auto& c : cases) EXPECT_EQ(seqs(store.filterByTimeWindow(store.allEvents, c.anchor)), c.kept) << c.anchor;
}

// Long lists are scanned, copied and let go in parts on several threads: the result
// must be the one a plain scan gives, and every list must hold its items exactly as
// long as it exists. The sizes are no multiple of 64, below and above the size at
// which the parts begin.
TEST(FiltersInParts, LongListsGiveWhatOneScanGivesAndHoldTheirItemsNoLonger) {
    struct Case {
        const char* what;
        std::function<void(EventFilters&)> set;
        std::function<bool(const qm::EventItem&)> keep;
    };
    auto pid = [](const qm::EventItem& e) { return e.theProcess().audit_token.pid; };
    auto type = [](const qm::EventItem& e) { return e.theEvent().event_type; };
    const Case cases[] = {
        {"platform binaries hidden", [](EventFilters& f) { f.appleBinaryFilter = true; },
         [](const qm::EventItem& e) { return !e.theProcess().is_platform_binary; }},
        {"one program hidden", [](EventFilters& f) { f.deselectedPrograms = {"/bin/p3"}; },
         [](const qm::EventItem& e) { return e.theProcess().executable.path != "/bin/p3"; }},
        {"a type and two pids", [](EventFilters& f) {
             f.selectedEventTypes = {EXEC};
             f.searchCategory = "PID", f.searchString = "7,11";
         },
         [&](const qm::EventItem& e) { return type(e) == EXEC && (pid(e) == 7 || pid(e) == 11); }},
        {"nine programs hidden (more than are compared one by one)",
         [](EventFilters& f) {
             for (int i = 0; i < 9; ++i) f.deselectedPrograms.insert("/bin/p" + std::to_string(i));
         },
         [](const qm::EventItem& e) { return std::stoi(e.theProcess().executable.path.substr(6)) >= 9; }},
        {"every item", [](EventFilters& f) { f.deselectedEventTypes = {WRITE}; }, [](const qm::EventItem&) { return true; }},
        {"no item", [](EventFilters& f) { f.searchString = "nowhere"; }, [](const qm::EventItem&) { return false; }},
    };
    for (std::size_t size : {std::size_t(1001), std::size_t(4 * 32768 + 37)}) {
        EventFilters store;
        for (std::size_t i = 0; i < size; ++i)
            store.addEvent(item(message(openOf("/tmp/f"),
                                        process("/bin/p" + std::to_string(i % 13), {.pid = std::int64_t(i % 17)}, i % 3 == 0),
                                        std::int64_t(i), "2024-01-01T00:00:00.000Z", i % 5 == 0 ? EXEC : OPEN)));
        std::vector<long> held;  // by the store's other lists
        for (const auto& e : store.allEvents) held.push_back(e.use_count());
        for (const auto& c : cases) {
            store.clearAll();
            c.set(store);
            qm::EventList expected;
            std::copy_if(store.allEvents.begin(), store.allEvents.end(), std::back_inserter(expected),
                         [&](const qm::EventItemPtr& e) { return c.keep(*e); });
            store.setFilteredEvents(store.refilter(store.allEvents, -1));
            ASSERT_EQ(store.filteredEvents.size(), expected.size()) << c.what << ", " << size;
            ASSERT_TRUE(store.filteredEvents == expected) << c.what << ", " << size;  // the same items in order
            expected.clear();
            for (std::size_t i = 0; i < size; ++i)
                ASSERT_EQ(store.allEvents[i].use_count(), held[i] + (c.keep(*store.allEvents[i]) ? 1 : 0)) << c.what;
        }
        store.clearAll();
        for (std::size_t i = 0; i < size; ++i) ASSERT_EQ(store.allEvents[i].use_count(), held[i]);

        // Items only a replaced list holds go when it is let go, and not before.
        qm::EventList only;
        std::vector<std::weak_ptr<qm::EventItem>> watched;
        for (std::size_t i = 0; i < size; ++i) {
            only.push_back(item(message(openOf("/tmp/g"), process("/bin/q"), std::int64_t(i))));
            watched.push_back(only.back());
        }
        store.setFilteredEvents(std::move(only));
        EXPECT_TRUE(std::none_of(watched.begin(), watched.end(), [](const auto& w) { return w.expired(); }));
        store.setFilteredEvents({});
        EXPECT_TRUE(std::all_of(watched.begin(), watched.end(), [](const auto& w) { return w.expired(); }));
    }
}

namespace {

// The store's state as the views read it: events, programs in order, and each
// program's contents.
struct StoreState {
    std::vector<std::int64_t> events;
    std::vector<std::string> sortedPaths;
    std::vector<std::tuple<std::string, std::size_t, std::size_t, std::size_t>> programs;  // path, events, pids, types
    friend bool operator==(const StoreState&, const StoreState&) = default;
};

StoreState stateOf(const qm::EventFilters& store) {
    StoreState s;
    for (const auto& e : store.allEvents) s.events.push_back(e->theEvent().global_seq_num);
    s.sortedPaths = store.sortedProgramPaths;
    for (const std::string& path : store.sortedProgramPaths) {
        const auto& program = *store.allPrograms.at(path);
        program.read([&](const qm::ProgramItem::Contents& c) {
            s.programs.emplace_back(path, c.allEvents.size(), c.processPIDs.size(), c.eventTypeCount.size());
        });
    }
    return s;
}

}  // namespace

TEST(FilingABatch, MemoryRunningOutLeavesTheStoreAsItWasAndTheSameBatchFilesLater) {
    qm::EventFilters store;
    bool shortOfMemory = false;
    store.iconProvider = [&](const std::string& bundle) -> std::shared_ptr<const qm::ProgramIcon> {
        if (shortOfMemory && bundle == "/bin/new") throw std::bad_alloc();
        return nullptr;
    };
    Ids other;
    other.pid = 200;
    auto batchOf = [&](std::int64_t seq) {
        // Events of programs the store has (a new pid among them) and of a new one.
        return qm::EventBatch({item(message(openOf("/tmp/a"), process("/bin/a"), seq)),
                               item(message(openOf("/tmp/b"), process("/bin/b", other), seq + 1)),
                               item(message(openOf("/tmp/n"), process("/bin/new"), seq + 2))});
    };
    store.addEvents(qm::EventBatch({item(message(openOf("/tmp/a"), process("/bin/a"), 1)),
                                    item(message(openOf("/tmp/b"), process("/bin/b"), 2))}));
    const StoreState before = stateOf(store);

    shortOfMemory = true;
    EXPECT_THROW(store.addEvents(batchOf(10)), std::bad_alloc);
    EXPECT_EQ(stateOf(store), before);

    shortOfMemory = false;
    store.addEvents(batchOf(10));
    const StoreState after = stateOf(store);
    EXPECT_EQ(after.events, (std::vector<std::int64_t>{1, 2, 10, 11, 12}));
    EXPECT_EQ(after.programs, (decltype(after.programs){{"/bin/a", 2, 1, 1}, {"/bin/b", 2, 2, 1}, {"/bin/new", 1, 1, 1}}));
}

// One event at a time: memory running out at any allocation of the add leaves the
// store as it was, and the same event then files whole.
TEST(FilingOneEvent, MemoryRunningOutAtAnyPointLeavesTheStoreAsItWas) {
    Ids newProcess, newSession;
    newProcess.pid = 200;
    newSession.session = 8;
    struct Case {
        const char* what;
        es::ESMessage message;
    };
    const Case cases[] = {
        {"a program, process, session and type the store has", message(openOf("/tmp/a2"), process("/bin/a"), 10)},
        {"a new process", message(openOf("/tmp/a2"), process("/bin/a", newProcess), 10)},
        {"a new session", message(openOf("/tmp/a2"), process("/bin/a", newSession), 10)},
        {"a new type", message(openOf("/tmp/a2"), process("/bin/a"), 10, "2024-01-01T00:00:01.000Z",
                               es::EventType::ES_EVENT_TYPE_NOTIFY_CLOSE)},
        {"a new program", message(openOf("/tmp/n"), process("/bin/new"), 10)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        bool failed = true;
        for (long at = 0; failed; ++at) {
            qm::EventFilters store;
            store.addEvent(item(message(openOf("/tmp/a"), process("/bin/a"), 1)));
            store.allEvents.shrink_to_fit();  // the list's room must grow too
            const StoreState before = stateOf(store);
            const qm::EventItemPtr event = item(c.message);
            {
                const failalloc::OnThisThread failing(at);
                try {
                    store.addEvent(event);
                } catch (const std::bad_alloc&) {
                }
                failed = failing.failed();
            }
            if (failed) {
                ASSERT_EQ(stateOf(store), before) << "allocation " << at;
                store.addEvent(event);
            }
            const StoreState after = stateOf(store);
            ASSERT_EQ(after.events, (std::vector<std::int64_t>{1, 10})) << "allocation " << at;
            std::size_t filed = 0;
            for (const auto& program : after.programs) filed += std::get<1>(program);
            ASSERT_EQ(filed, 2u) << "allocation " << at;
        }
    }
}
