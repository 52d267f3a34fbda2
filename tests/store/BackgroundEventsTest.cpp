// The add-event path without a window: whatever the threads, flushes and failures,
// the batches delivered hold every event once, in arrival order, up to the first item
// that could not be built.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <new>
#include <thread>

#include "BackgroundEvents.h"
#include "EventArena.h"
#include "StoreTestSupport.h"

using namespace storetest;
using qm::BackgroundEvents;

namespace {

constexpr std::int64_t chunk = std::int64_t(BackgroundEvents::chunkSize);

es::ESMessage numbered(std::int64_t seq) {
    return message(openOf("/tmp/f" + std::to_string(seq)), process("/p/" + std::to_string(seq % 7)), seq);
}

std::vector<std::int64_t> range(std::int64_t first, std::int64_t last) {
    std::vector<std::int64_t> seqs;
    for (std::int64_t seq = first; seq <= last; ++seq) seqs.push_back(seq);
    return seqs;
}

// An add-event path with a clock the test moves, that records what it delivers and
// the failures it reports. The clock stands still unless the test moves it (or sets
// a step that every reading adds). What the path records outlives it, since a worker
// may still report as the test ends.
class Path {
    struct Record {
        std::mutex mutex;
        std::vector<std::int64_t> delivered;
        std::vector<std::string> failures;
        BackgroundEvents::Stamp lastStamp;
        std::atomic<int> delivering{0}, mostDelivering{0};

        void deliver(const qm::EventBatch& batch, BackgroundEvents::Stamp stamp) {
            const int now = ++delivering;
            for (int most = mostDelivering; now > most && !mostDelivering.compare_exchange_weak(most, now);) {}
            {
                std::lock_guard lock(mutex);
                for (const auto& e : batch.events()) delivered.push_back(e->theEvent().global_seq_num);
                lastStamp = stamp;
            }
            --delivering;
        }
    };

public:
    explicit Path(BackgroundEvents::MakeItem make = nullptr, std::chrono::duration<double> interval = std::chrono::seconds(2),
                  BackgroundEvents::Annotate annotate = nullptr)
        : events({.refreshInterval = interval,
                  .now = [this] { return start + std::chrono::milliseconds(millis.fetch_add(stepMillis)); },
                  .deliver = [r = record](qm::EventBatch&& batch, BackgroundEvents::Stamp stamp) { r->deliver(batch, stamp); },
                  .failed = [r = record](const std::string& what) {
                      std::lock_guard lock(r->mutex);
                      r->failures.push_back(what);
                  },
                  .makeItem = std::move(make),
                  .annotate = std::move(annotate)}) {}

    const std::shared_ptr<Record> record = std::make_shared<Record>();
    const BackgroundEvents::Clock::time_point start = BackgroundEvents::Clock::now();
    std::atomic<std::int64_t> millis{0}, stepMillis{0};
    BackgroundEvents events;  // last: its clock is read as it is made

    // Takes the first flush's reading, so that the events that follow wait.
    void holdClock() { events.flush(); }
    void add(std::int64_t first, std::int64_t last) {
        for (std::int64_t seq = first; seq <= last; ++seq) (void)events.add(numbered(seq));
    }

    // Every event delivered so far, batch after batch.
    std::vector<std::int64_t> delivered() {
        std::lock_guard lock(record->mutex);
        return record->delivered;
    }
    std::vector<std::string> failures() {
        std::lock_guard lock(record->mutex);
        return record->failures;
    }
    BackgroundEvents::Stamp lastStamp() {
        std::lock_guard lock(record->mutex);
        return record->lastStamp;
    }
    int mostDeliveringAtOnce() const { return record->mostDelivering; }
};

TEST(BackgroundEvents, FirstEventFlushesAtOnceAndLaterOnesOncePerInterval) {
    Path path;
    EXPECT_FALSE(path.events.add(numbered(1)));  // the last flush lies 3 s back
    EXPECT_EQ(path.delivered(), range(1, 1));
    EXPECT_FALSE(path.events.trailingWait());  // nothing waits

    path.millis = 500;
    EXPECT_TRUE(path.events.add(numbered(2)));  // waits: the owner arms its trailing refresh
    EXPECT_FALSE(path.events.add(numbered(3)));  // armed already
    EXPECT_EQ(path.events.size(), 2u);
    path.millis = 1900;
    EXPECT_EQ(path.events.trailingWait(), std::chrono::milliseconds(100));  // still armed
    EXPECT_FALSE(path.events.add(numbered(4)));
    EXPECT_EQ(path.delivered(), range(1, 1));

    path.millis = 2000;  // exactly the interval after the flush
    EXPECT_FALSE(path.events.add(numbered(5)));
    EXPECT_EQ(path.delivered(), range(1, 5));
    EXPECT_EQ(path.events.size(), 0u);
    EXPECT_FALSE(path.events.trailingWait());  // the armed refresh finds nothing and ends

    path.millis = 2500;
    EXPECT_TRUE(path.events.add(numbered(6)));
    path.millis = 4500;
    EXPECT_LE(*path.events.trailingWait(), BackgroundEvents::Clock::duration::zero());  // due, and disarmed
    path.events.flush();  // as the owner's trailing refresh does
    EXPECT_EQ(path.delivered(), range(1, 6));
    EXPECT_TRUE(path.events.add(numbered(7)));  // armed anew
}

TEST(BackgroundEvents, FailureToBuildAnItemDeliversTheEventsBeforeItAndDropsTheRestUntilResumed) {
    struct Case {
        const char* name;
        std::int64_t total;   // events added
        std::int64_t failAt;  // the first event whose item cannot be built; later ones fail too
    };
    const Case cases[] = {
        {"the first event", 10, 1},
        {"the first of a full chunk", 3 * chunk, chunk + 1},
        {"inside a full chunk", 3 * chunk + 5, 2 * chunk - 100},
        {"inside the chunk the flush builds", chunk + 70, chunk + 50},
        {"after the last event", 2 * chunk, 1 << 20},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::atomic<bool> memoryShort{true};
        Path path([&](qm::EventArena& arena, es::ESMessage&& m) {
            if (memoryShort && m.global_seq_num >= c.failAt) throw std::bad_alloc();
            return qm::makeEventItem(arena, std::move(m));
        });
        path.holdClock();
        path.add(1, c.total);
        path.events.flush();
        const std::int64_t kept = std::min(c.total, c.failAt - 1);
        EXPECT_EQ(path.delivered(), range(1, kept));
        const bool fails = c.failAt <= c.total;
        // Told by the thread that joined the failed chunk, a worker maybe.
        if (fails) {
            EXPECT_TRUE(eventually([&] { return !path.failures().empty(); }));
        }
        EXPECT_EQ(path.failures(), fails ? std::vector<std::string>{std::bad_alloc().what()} : std::vector<std::string>{});

        // Until a new source starts, what arrives is dropped: it would come after a gap.
        path.add(c.total + 1, c.total + 3);
        path.events.flush();
        EXPECT_EQ(path.delivered(), range(1, fails ? kept : c.total + 3));

        memoryShort = false;
        path.events.resume();
        path.add(50001, 50000 + chunk + 3);
        path.events.flush();
        std::vector<std::int64_t> expected = range(1, fails ? kept : c.total + 3);
        for (std::int64_t seq : range(50001, 50000 + chunk + 3)) expected.push_back(seq);
        EXPECT_EQ(path.delivered(), expected);
        EXPECT_EQ(path.failures().size(), fails ? 1u : 0u);
    }
}

TEST(BackgroundEvents, DeleteEventsDropsWhatWaitsAndEndsAFailure) {
    std::atomic<bool> memoryShort{true};
    Path path([&](qm::EventArena& arena, es::ESMessage&& m) {
        if (memoryShort && m.global_seq_num > 3 * chunk) throw std::bad_alloc();
        return qm::makeEventItem(arena, std::move(m));
    });
    path.holdClock();
    path.add(1, 10);
    path.events.flush();
    const BackgroundEvents::Stamp before = path.lastStamp();
    EXPECT_TRUE(path.events.current(before));

    // Chunks on their way to the workers, one of which fails.
    path.add(11, 5 * chunk);
    path.events.clear();
    memoryShort = false;
    EXPECT_EQ(path.events.size(), 0u);
    EXPECT_FALSE(path.events.current(before));

    path.add(100001, 100000 + 2 * chunk + 1);
    path.events.flush();
    EXPECT_TRUE(path.events.current(path.lastStamp()));
    std::vector<std::int64_t> expected = range(1, 10);
    for (std::int64_t seq : range(100001, 100000 + 2 * chunk + 1)) expected.push_back(seq);
    EXPECT_EQ(path.delivered(), expected);
    EXPECT_LE(path.failures().size(), 1u);  // the deleted capture's failure may or may not have been told
}

TEST(BackgroundEvents, DeliveringThreadBuildsAChunkItselfWhenTheWorkersAreBehind) {
    const std::int64_t workers = std::max<std::int64_t>(1, std::thread::hardware_concurrency());
    const std::thread::id deliverer = std::this_thread::get_id();
    std::atomic<bool> release{false};
    std::atomic<int> chunksBuiltByDeliverer{0};
    Path path(nullptr, std::chrono::seconds(2), [&](qm::EventItem& item) {
        if (std::this_thread::get_id() != deliverer) release.wait(false);  // the workers fall behind
        else if (item.theEvent().global_seq_num % chunk == 1) ++chunksBuiltByDeliverer;
    });
    path.holdClock();
    // As many full chunks as there are workers wait for them; the next one is built here.
    path.add(1, (workers + 1) * chunk);
    EXPECT_EQ(chunksBuiltByDeliverer, 1);

    release = true;
    release.notify_all();
    path.events.flush();
    EXPECT_EQ(path.delivered(), range(1, (workers + 1) * chunk));
}

TEST(BackgroundEvents, FlushesFromSeveralThreadsDeliverEveryEventOnceInOrderOneAtATime) {
    Path path(nullptr, std::chrono::milliseconds(20));
    path.stepMillis = 1;  // the adding thread flushes now and then too
    constexpr std::int64_t total = 30 * chunk + 17;
    std::atomic<bool> added{false};
    std::thread source([&] {
        path.add(1, total);
        added = true;
    });
    auto flusher = [&] {
        while (!added) path.events.flush();
    };
    std::thread first(flusher), second(flusher);
    source.join();
    first.join();
    second.join();
    path.events.flush();
    EXPECT_EQ(path.delivered(), range(1, total));
    EXPECT_EQ(path.mostDeliveringAtOnce(), 1);
}

TEST(BackgroundEvents, ALostDeliveryDropsWhatFollowsItUntilTheNextSource) {
    std::atomic<std::int64_t> annotated{0};
    Path path(nullptr, std::chrono::seconds(2), [&](qm::EventItem&) { ++annotated; });
    path.holdClock();
    std::vector<BackgroundEvents::Stamp> stamps;
    for (std::int64_t first : {1, 11, 21}) {
        path.add(first, first + 9);
        path.events.flush();
        stamps.push_back(path.lastStamp());
    }
    ASSERT_EQ(path.delivered(), range(1, 30));
    // Events wait as the owner fails: a full chunk, built and joined by a worker (the
    // join follows the build at once, so it has mostly happened), and a few more.
    const std::int64_t waiting = 30 + chunk + 5;
    path.add(31, waiting);
    ASSERT_TRUE(eventually([&] { return annotated == 30 + chunk; }));
    // The owner files the first batch and runs out of memory filing the second.
    try {
        throw std::bad_alloc();
    } catch (...) {
        path.events.deliveryFailed();
    }
    EXPECT_EQ(path.failures(), std::vector<std::string>{std::bad_alloc().what()});
    EXPECT_FALSE(path.events.current(stamps[2]));  // the third, delivered after it, is dropped

    path.add(waiting + 1, waiting + 10);
    path.events.flush();
    EXPECT_EQ(path.delivered(), range(1, 30));  // neither what waited nor what came after

    path.events.resume();
    path.add(waiting + 11, waiting + 20);
    path.events.flush();
    std::vector<std::int64_t> expected = range(1, 30);
    for (std::int64_t seq : range(waiting + 11, waiting + 20)) expected.push_back(seq);
    EXPECT_EQ(path.delivered(), expected);
    EXPECT_TRUE(path.events.current(path.lastStamp()));
    EXPECT_EQ(path.failures().size(), 1u);
}

TEST(BackgroundEvents, NoHookRunsOnceItIsGone) {
    // Counts the hooks that run once the owner has gone; held by the hooks, so it is
    // let go when the last chunk on the global queues is.
    struct Probe {
        std::atomic<bool> gone{false};
        std::atomic<int> afterwards{0};
        void seen() {
            if (gone) ++afterwards;
        }
    };
    auto probe = std::make_shared<Probe>();
    const auto still = BackgroundEvents::Clock::now();
    auto events = std::make_unique<BackgroundEvents>(BackgroundEvents::Setup{
        .now = [still] { return still; },  // only the first event flushes: the others wait
        .deliver = [](qm::EventBatch&&, BackgroundEvents::Stamp) {},
        .failed = [probe](const std::string&) { probe->seen(); },
        .makeItem = nullptr,
        .annotate =
            [probe](qm::EventItem& item) {
                probe->seen();
                // Slow enough that chunks are still on their way when the owner goes; one fails.
                for (auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(20);
                     std::chrono::steady_clock::now() < until;) {
                }
                if (item.theEvent().global_seq_num == 30 * chunk + 1) throw std::bad_alloc();
            },
    });
    for (std::int64_t seq = 1; seq <= 40 * chunk; ++seq) (void)events->add(numbered(seq));
    events.reset();
    probe->gone = true;
    ASSERT_TRUE(eventually([&] { return probe.use_count() == 1; }));
    EXPECT_EQ(probe->afterwards, 0);
    qm::waitForReleases();  // the items it built go on a global queue, as at the application's exit
}

}  // namespace
