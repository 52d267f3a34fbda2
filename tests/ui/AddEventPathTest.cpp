// The add-event path with events in numbers beyond one chunk of the background
// list: whatever the grouping of arrivals and flushes, the store receives every
// event once, in arrival order, in its list, in its programs and in the type counts;
// Delete Events and stop cut exactly where they happen.
#include <algorithm>
#include <map>
#include <new>
#include <set>
#include <thread>

#include "ESLoggerTail.h"
#include "EventArena.h"
#include "FixtureGenerator.h"
#include "UiTestSupport.h"

using namespace uitest;

namespace {

class AddEventPathTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { setUpApplication(); }
    qm::InMemorySettings settings;
    void SetUp() override { qm::registerDefaultSettings(settings); }
};

constexpr es::EventType types[] = {es::EventType::ES_EVENT_TYPE_NOTIFY_OPEN, es::EventType::ES_EVENT_TYPE_NOTIFY_EXEC,
                                   es::EventType::ES_EVENT_TYPE_AUTH_EXEC, es::EventType::ES_EVENT_TYPE_NOTIFY_WRITE};

// Event seq of one of 37 programs, with one of four types.
es::ESMessage numbered(std::int64_t seq) {
    es::ESMessage m = openEvent("/p/" + std::to_string(seq * 11 % 37), seq % 13, seq);
    m.event_type = types[seq % 4];
    return m;
}

std::vector<std::int64_t> seqsOf(const qm::EventList& list) {
    std::vector<std::int64_t> out;
    for (const auto& e : list) out.push_back(e->theEvent().global_seq_num);
    return out;
}

// The store holds exactly the events first..last, in order, filed under their programs.
void expectStoreHolds(const qm::ViewController& vc, std::int64_t first, std::int64_t last) {
    std::vector<std::int64_t> all;
    std::map<std::string, std::vector<std::int64_t>> byProgram;
    for (std::int64_t seq = first; seq <= last; ++seq) {
        all.push_back(seq);
        byProgram[numbered(seq).process.executable.path].push_back(seq);
    }
    EXPECT_EQ(seqsOf(vc.filters.allEvents), all);
    EXPECT_EQ(vc.filters.allPrograms.size(), byProgram.size());
    for (const auto& [path, seqs] : byProgram) {
        auto program = vc.filters.allPrograms.find(path);
        ASSERT_NE(program, vc.filters.allPrograms.end()) << path;
        program->second->read([&](const qm::ProgramItem::Contents& c) { EXPECT_EQ(seqsOf(c.allEvents), seqs) << path; });
    }
}

TEST_F(AddEventPathTest, GroupsOfAnySizeWithFlushesBetweenArriveCompleteAndInOrder) {
    TestViewController vc(settings);
    CountingDelegate delegate;
    vc.setDelegate(&delegate);
    vc.holdClock();  // only the flushes below move events into the store

    // Groups around the chunk size, delivered by another thread as a source does;
    // meanwhile the main thread flushes too, whenever it gets to it.
    const std::size_t groups[] = {1, 1023, 1, 1024, 2500, 0, 7, 4096, 1025};
    std::int64_t total = 0;
    for (std::size_t n : groups) total += std::int64_t(n);
    std::atomic<bool> delivered{false};
    std::thread source([&] {
        std::int64_t seq = 0;
        for (std::size_t n : groups) {
            for (std::size_t i = 0; i < n; ++i) vc.addEvent(numbered(++seq));
            vc.flushBackgroundEvents();
        }
        delivered = true;
    });
    while (!delivered) {
        vc.flushBackgroundEvents();
        QApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    source.join();
    ASSERT_TRUE(waitUntil([&] { return rows(vc) == total; })) << rows(vc);
    settle();

    expectStoreHolds(vc, 1, total);
    std::map<std::string, std::size_t> counted, expected;
    for (const std::string& name : delegate.counted) ++counted[name];
    for (std::int64_t seq = 1; seq <= total; ++seq) ++expected[qm::shortTypeName(types[seq % 4])];
    EXPECT_EQ(counted, expected);
    vc.setDelegate(nullptr);
}

TEST_F(AddEventPathTest, DeleteEventsWhileChunksAreBuiltLeavesNoneOfTheOldCapture) {
    TestViewController vc(settings);
    vc.holdClock();
    for (std::int64_t seq = 1; seq <= 5000; ++seq) vc.addEvent(numbered(100000 + seq));
    vc.clearEvents();
    EXPECT_EQ(vc.backgroundEventCount(), 0u);

    for (std::int64_t seq = 1; seq <= 1500; ++seq) vc.addEvent(numbered(seq));
    vc.flushBackgroundEvents();
    ASSERT_TRUE(waitUntil([&] { return vc.filters.allEvents.size() >= 1500; })) << vc.filters.allEvents.size();
    settle();
    expectStoreHolds(vc, 1, 1500);
}

TEST_F(AddEventPathTest, DeleteEventsEmptiesTheStoreAtOnceAndFreesTheOldItemsLater) {
    TestViewController vc(settings);
    vc.holdClock();
    for (std::int64_t seq = 1; seq <= 3000; ++seq) vc.addEvent(numbered(seq));
    vc.flushBackgroundEvents();
    ASSERT_TRUE(waitUntil([&] { return vc.filters.allEvents.size() == 3000; })) << vc.filters.allEvents.size();
    settle();
    vc.filters.setSearchString("/p/1");  // a filtered list holds the items too
    ASSERT_TRUE(vc.filters.isFiltering());
    std::vector<std::weak_ptr<qm::EventItem>> old;
    for (const auto& e : vc.filters.allEvents) old.emplace_back(e);

    vc.clearEvents();
    EXPECT_TRUE(vc.filters.allEvents.empty());
    EXPECT_TRUE(vc.filters.filteredEvents.empty());
    EXPECT_TRUE(vc.filters.allPrograms.empty());
    EXPECT_TRUE(vc.filters.sortedProgramPaths.empty());
    EXPECT_FALSE(vc.filters.isFiltering());
    ASSERT_TRUE(waitUntil([&] {
        return std::all_of(old.begin(), old.end(), [](const auto& w) { return w.expired(); });
    }));
}

TEST_F(AddEventPathTest, StopKeepsExactlyTheEventsDeliveredBeforeIt) {
    TempDir dir;
    CountingDelegate delegate;
    TestViewController vc(settings);
    vc.setDelegate(&delegate);
    fixtures::FixtureGenerator generator(21);
    std::vector<std::string> lines;
    for (int i = 0; i < 3000; ++i) lines.push_back(generator.nextLine());
    writeLines(dir / "live.jsonl", {lines.begin(), lines.begin() + 5});
    vc.startTail(dir / "live.jsonl");
    ASSERT_TRUE(waitUntil([&] { return rows(vc) == 5; }));

    vc.holdClock();  // the rest waits in the background list, several chunks of it
    {
        std::ofstream out(dir / "live.jsonl", std::ios::app);
        for (std::size_t i = 5; i < lines.size(); ++i) out << lines[i] << '\n';
    }
    ASSERT_TRUE(waitUntil([&] { return vc.backgroundEventCount() == lines.size() - 5; })) << vc.backgroundEventCount();
    vc.stopEvents();
    EXPECT_EQ(vc.backgroundEventCount(), 0u);
    ASSERT_TRUE(waitUntil([&] { return delegate.loads == 1 && rows(vc) == int(lines.size()); })) << rows(vc);

    // Nothing of the stopped source comes later.
    {
        std::ofstream out(dir / "live.jsonl", std::ios::app);
        out << generator.nextLine() << '\n';
    }
    vc.advance(std::chrono::seconds(3));
    settle();
    std::vector<std::int64_t> expected;
    for (const auto& line : lines) expected.push_back(es::decodeMessage(line)->global_seq_num);
    EXPECT_EQ(seqsOf(vc.filters.allEvents), expected);
    EXPECT_EQ(vc.backgroundEventCount(), 0u);
    vc.setDelegate(nullptr);
}

// A view controller that cannot build the items of events from a sequence number on
// while memory is short.
class ShortOfMemoryViewController : public qm::ViewController {
public:
    ShortOfMemoryViewController(qm::Settings& settings, std::int64_t failFrom, const std::atomic<bool>& shortOfMemory)
        : qm::ViewController(settings, [failFrom, &shortOfMemory](qm::EventArena& arena, es::ESMessage&& m) {
              if (shortOfMemory && m.global_seq_num >= failFrom) throw std::bad_alloc();
              return qm::makeEventItem(arena, std::move(m));
          }) {}
};

TEST_F(AddEventPathTest, RunningOutOfMemoryStopsTheLoadWithOneAlertAndKeepsTheEventsBeforeItConsistently) {
    TempDir dir;
    fixtures::FixtureGenerator generator(36);
    std::vector<std::string> lines;
    std::vector<std::int64_t> seqs;
    std::vector<std::string> paths, types;
    // A program of its own comes first late in the file: filing it is where memory runs out.
    const std::size_t newProgramAt = 4000;
    for (std::size_t i = 0; i < 6000; ++i) {
        lines.push_back(i == newProgramAt ? es::encodeMessage(openEvent("/opt/late/tool", 4242, seqs.back()), false)
                                          : generator.nextLine());
        const qm::EventItem item(es::decodeMessage(lines.back()).value(), storetest::quietAnnotator());
        seqs.push_back(item.theEvent().global_seq_num);
        paths.push_back(item.theProcess().executable.path);
        types.push_back(std::string(es::shortName(item.theEvent().event_type)));
    }
    writeLines(dir / "big.jsonl", lines);
    std::atomic<bool> shortOfMemory{true};

    struct Case {
        const char* where;
        std::size_t kept;
        std::function<std::unique_ptr<qm::ViewController>()> make;
    };
    const Case cases[] = {
        // An item cannot be made (in the fourth chunk).
        {"building an item", 3500,
         [&] { return std::make_unique<ShortOfMemoryViewController>(settings, seqs[3500], shortOfMemory); }},
        // The store cannot take a batch (each event is a batch of its own here): later
        // batches must not join after the lost one.
        {"filing a batch", newProgramAt,
         [&]() -> std::unique_ptr<qm::ViewController> {
             auto vc = std::make_unique<TestViewController>(settings);
             vc->filters.iconProvider = [&, path = paths[newProgramAt]](const std::string& bundle)
                 -> std::shared_ptr<const qm::ProgramIcon> {
                 if (shortOfMemory && bundle == qm::bundlePath(path)) throw std::bad_alloc();
                 return nullptr;
             };
             return vc;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.where);
        AlertRecorder recorder;
        CountingDelegate delegate;
        shortOfMemory = true;
        std::unique_ptr<qm::ViewController> vc = c.make();
        vc->setDelegate(&delegate);

        vc->openEventFiles(dir / "big.jsonl");
        ASSERT_TRUE(waitUntil([&] { return delegate.loads > 0 && !recorder.alerts().empty(); }));
        settle();
        ASSERT_EQ(recorder.alerts().size(), 1u);
        EXPECT_EQ(recorder.alerts()[0].messageText, "Internal Error");
        EXPECT_EQ(recorder.alerts()[0].informativeText, std::bad_alloc().what());
        EXPECT_EQ(vc->eslogger(), nullptr);  // stopped
        // The events before it, their programs and their type counts; nothing after it.
        const qm::EventFilters& store = vc->filters;
        EXPECT_EQ(seqsOf(store.allEvents), std::vector<std::int64_t>(seqs.begin(), seqs.begin() + std::ptrdiff_t(c.kept)));
        const std::set<std::string> keptPaths(paths.begin(), paths.begin() + std::ptrdiff_t(c.kept));
        EXPECT_EQ(std::set<std::string>(store.sortedProgramPaths.begin(), store.sortedProgramPaths.end()), keptPaths);
        EXPECT_EQ(store.allPrograms.size(), keptPaths.size());
        std::size_t filed = 0;
        for (const auto& [path, program] : store.allPrograms)
            filed += program->read([](const qm::ProgramItem::Contents& contents) { return contents.allEvents.size(); });
        EXPECT_EQ(filed, c.kept);
        std::multiset<std::string> counted(delegate.counted.begin(), delegate.counted.end());
        EXPECT_EQ(counted, std::multiset<std::string>(types.begin(), types.begin() + std::ptrdiff_t(c.kept)));

        // The next file loads in full.
        shortOfMemory = false;
        writeLines(dir / "next.jsonl", {lines.begin(), lines.begin() + 10});
        const int loads = delegate.loads;
        vc->openEventFiles(dir / "next.jsonl");
        ASSERT_TRUE(waitUntil([&] { return delegate.loads > loads && store.allEvents.size() == c.kept + 10; }))
            << store.allEvents.size();
        EXPECT_EQ(recorder.alerts().size(), 1u);
        vc->setDelegate(nullptr);
    }
}

TEST_F(AddEventPathTest, DeleteEventsAndClosingTheWindowLetTheItemsGoOffTheMainThread) {
    const std::pair<const char*, void (*)(std::unique_ptr<TestViewController>&)> cases[] = {
        {"Delete Events", [](std::unique_ptr<TestViewController>& vc) { vc->clearEvents(); }},
        {"closing the window", [](std::unique_ptr<TestViewController>& vc) { vc.reset(); }},
    };
    for (const auto& [name, letGo] : cases) {
        SCOPED_TRACE(name);
        std::atomic<bool> freed{false};
        std::atomic<std::thread::id> freedOn;
        auto vc = std::make_unique<TestViewController>(settings);
        {
            qm::EventItemPtr item(new qm::EventItem(openEvent("/bin/a", 1, 1), storetest::quietAnnotator()),
                                  [&](qm::EventItem* p) {
                                      delete p;
                                      freedOn = std::this_thread::get_id();
                                      freed = true;
                                  });
            vc->filters.addEvent(item);
            vc->filters.setSearchString("/bin/a");  // a filtered list holds it too
        }
        letGo(vc);
        ASSERT_TRUE(waitUntil([&] { return freed.load(); }));
        EXPECT_NE(freedOn.load(), std::this_thread::get_id());
    }
}

}  // namespace
