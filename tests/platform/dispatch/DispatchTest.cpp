// Serial, global and main queues and groups: ordering, one-at-a-time execution, pool
// growth under blocking work, queue release from its own work, notifications; delayed
// work, the parallel loop, and what becomes of an exception in queued work.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <future>
#include <latch>
#include <mutex>
#include <new>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Dispatch.h"
#include "OSLog.h"

using namespace dispatch;
using namespace std::chrono_literals;

namespace {

// Generous limit that only stops a broken build from hanging the test run.
constexpr auto hangGuard = 60s;

TEST(SerialQueue, RunsWorkInOrderOneAtATimeOnOneThread) {
    DispatchQueue queue("SerialTest", QoS::utility);
    EXPECT_EQ(queue.label(), "SerialTest");
    EXPECT_EQ(queue.qos(), QoS::utility);

    std::vector<int> order;  // touched only on the queue
    std::set<std::thread::id> threads;
    std::atomic<int> active = 0;
    std::atomic<int> maxActive = 0;
    constexpr int count = 2000;
    // Submitted from several threads; each thread's items must keep their order.
    std::vector<std::thread> submitters;
    for (int t = 0; t < 4; ++t)
        submitters.emplace_back([&, t] {
            for (int i = 0; i < count; ++i)
                queue.async([&, value = t * count + i] {
                    maxActive = std::max(maxActive.load(), ++active);
                    order.push_back(value);
                    threads.insert(std::this_thread::get_id());
                    --active;
                });
        });
    for (auto& s : submitters) s.join();
    queue.sync([] {});

    ASSERT_EQ(order.size(), 4u * count);
    EXPECT_EQ(maxActive, 1);
    EXPECT_EQ(threads.size(), 1u);
    std::vector<int> last(4, -1);
    for (int value : order) {
        EXPECT_GT(value % count, last[value / count]);
        last[value / count] = value % count;
    }
}

TEST(SerialQueue, SyncRunsOnTheQueueAndPassesExceptionsBack) {
    DispatchQueue queue("SyncTest");
    bool onQueue = false;
    queue.sync([&] { onQueue = queue.isCurrent(); });
    EXPECT_TRUE(onQueue);
    EXPECT_FALSE(queue.isCurrent());
    EXPECT_FALSE(DispatchQueue("Other").isCurrent());
    EXPECT_THROW(queue.sync([] { throw std::runtime_error("boom"); }), std::runtime_error);
    // The queue still works after a failed sync.
    int value = 0;
    queue.sync([&] { value = 7; });
    EXPECT_EQ(value, 7);
}

TEST(SerialQueue, WorkQueuedBeforeTheLastHandleGoesStillRuns) {
    std::atomic<int> ran = 0;
    std::promise<void> gate;
    {
        DispatchQueue queue("DrainTest");
        queue.async([future = gate.get_future().share()] { future.wait(); });
        for (int i = 0; i < 100; ++i) queue.async([&] { ++ran; });
        gate.set_value();
    }  // the handle's release waits for the queued work
    EXPECT_EQ(ran, 100);
}

TEST(SerialQueue, ReleasedFromItsOwnWorkItem) {
    // The work item holds the only handle: the queue goes while its worker runs that item.
    std::promise<void> done;
    auto finished = done.get_future();
    {
        DispatchQueue queue("SelfRelease");
        queue.async([queue, &done]() mutable {
            queue.async([] {});  // queued behind this item; still runs
            done.set_value();
        });
    }
    ASSERT_EQ(finished.wait_for(hangGuard), std::future_status::ready);
}

TEST(SerialQueue, ReleasedWithoutWaitingWhileHoldingALockItsWorkWaitsFor) {
    // The owner goes on a thread that holds a lock its queue's work item waits for: a
    // release that waited for the work would never end.
    std::mutex lock;
    std::promise<void> done;
    auto finished = done.get_future();
    std::promise<void> started;
    {
        std::lock_guard held(lock);
        DispatchQueue queue("NoWait");
        queue.async([&] {
            started.set_value();
            { std::lock_guard inner(lock); }  // released before the test may end and take the lock with it
            done.set_value();
        });
        started.get_future().wait();
        releaseWithoutWaiting(queue);
    }  // the last handle is the queue's own now
    ASSERT_EQ(finished.wait_for(hangGuard), std::future_status::ready);
}

TEST(GlobalQueue, PoolGrowsWhileWorkBlocks) {
    // Every item waits for all the others, so they only finish if all run at once, more of
    // them than the machine has cores.
    const int count = static_cast<int>(std::max(16u, 2 * std::thread::hardware_concurrency()));
    std::latch allRunning(count);
    DispatchGroup group;
    for (int i = 0; i < count; ++i)
        group.async(DispatchQueue::global(QoS::userInitiated),
                    [&] { allRunning.arrive_and_wait(); });
    EXPECT_TRUE(group.waitFor(hangGuard));
}

TEST(GlobalQueue, SameQueueForSameQoSAndIsCurrentInside) {
    EXPECT_TRUE(DispatchQueue::global() == DispatchQueue::global(QoS::normal));
    EXPECT_FALSE(DispatchQueue::global(QoS::background) == DispatchQueue::global(QoS::utility));
    auto queue = DispatchQueue::global(QoS::background);
    bool current = false, otherCurrent = true, nested = false;
    queue.sync([&] {
        current = queue.isCurrent();
        otherCurrent = DispatchQueue::global(QoS::utility).isCurrent();
        queue.sync([&] { nested = true; });  // fine on a concurrent queue
    });
    EXPECT_TRUE(current);
    EXPECT_FALSE(otherCurrent);
    EXPECT_TRUE(nested);
    EXPECT_THROW(queue.sync([] { throw std::runtime_error("boom"); }), std::runtime_error);
    EXPECT_FALSE(queue.isCurrent());
}

TEST(DispatchGroup, NotifiesOnItsQueueOnceTheLastLeaveComes) {
    DispatchGroup group;
    DispatchQueue queue("NotifyTest");
    std::promise<bool> fired;
    group.enter();
    group.enter();
    group.notify(queue, [&] { fired.set_value(queue.isCurrent()); });
    auto result = fired.get_future();
    group.leave();
    EXPECT_FALSE(group.waitFor(0ns));
    group.leave();
    group.wait();
    ASSERT_EQ(result.wait_for(hangGuard), std::future_status::ready);
    EXPECT_TRUE(result.get());

    // An empty group notifies at once; a later enter/leave does not fire old notifications.
    std::atomic<int> count = 0;
    group.notify(queue, [&] { ++count; });
    queue.sync([] {});
    EXPECT_EQ(count, 1);
    group.enter();
    group.leave();
    queue.sync([] {});
    EXPECT_EQ(count, 1);
}

TEST(DispatchGroup, NotificationIsQueuedBeforeWaitersWake) {
    // A waiter that then queues work on the notification's queue finds the notice ahead.
    for (int round = 0; round < 200; ++round) {
        DispatchGroup group;
        DispatchQueue queue("NotifyOrder");
        std::vector<std::string> order;  // on the queue
        group.enter();
        group.notify(queue, [&] { order.push_back("notice"); });
        std::thread leaver([&] { group.leave(); });
        group.wait();
        queue.sync([&] { order.push_back("after wait"); });
        leaver.join();
        ASSERT_EQ(order, (std::vector<std::string>{"notice", "after wait"})) << round;
    }
}

TEST(DispatchGroup, WaitReturnsAfterWorkSubmittedThroughTheGroup) {
    DispatchGroup group;
    DispatchQueue queue("GroupAsync");
    std::vector<int> seen;
    for (int i = 0; i < 50; ++i) group.async(queue, [&, i] { seen.push_back(i); });
    group.wait();
    ASSERT_EQ(seen.size(), 50u);
    EXPECT_EQ(seen.back(), 49);
    EXPECT_TRUE(group.waitFor(0ns));
}

TEST(MainQueue, WithoutHookWorkWaitsForTheDrain) {
    std::vector<int> order;
    auto main = DispatchQueue::main();
    EXPECT_EQ(main.label(), "main");
    main.async([&] { order.push_back(1); });
    main.async([&] {
        order.push_back(2);
        DispatchQueue::main().async([&] { order.push_back(3); });  // queued during the drain
    });
    EXPECT_TRUE(order.empty());
    EXPECT_EQ(drainMainQueue(), 3u);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(drainMainQueue(), 0u);

    // Work hopping from a global queue to the main queue, as completions do.
    bool onMain = false;
    DispatchQueue::global().async(
        [&] { DispatchQueue::main().async([&] { onMain = DispatchQueue::main().isCurrent(); }); });
    EXPECT_TRUE(runMainQueueUntil([&] { return onMain; }, hangGuard));
}

TEST(MainQueue, HookGetsWaitingAndLaterWork) {
    std::vector<int> order;
    DispatchQueue::main().async([&] { order.push_back(1); });

    std::vector<Work> handedOver;
    std::mutex mutex;
    setMainQueueHook([&](Work work) {
        std::lock_guard lock(mutex);
        handedOver.push_back(std::move(work));
    });
    DispatchQueue::main().async([&] { order.push_back(2); });
    bool current = false;
    DispatchQueue::main().async([&] { current = DispatchQueue::main().isCurrent(); });
    EXPECT_TRUE(DispatchQueue::main().isCurrent());  // the thread that set the hook
    EXPECT_EQ(drainMainQueue(), 0u);                 // nothing is kept while a hook is set
    setMainQueueHook({});
    EXPECT_FALSE(DispatchQueue::main().isCurrent());

    std::thread other([&] {
        for (auto& work : handedOver) work();
    });
    other.join();
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    EXPECT_TRUE(current);
}

TEST(AsyncAfter, RunsOnItsQueueNoSoonerThanTheDelayAndInTimeOrder) {
    DispatchQueue queue("AfterTest");
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> order;
    bool onQueue = false;
    std::chrono::steady_clock::duration waited{};
    auto record = [&](std::string what) {
        std::lock_guard lock(mutex);
        order.push_back(std::move(what));
        changed.notify_all();
    };
    const auto submitted = std::chrono::steady_clock::now();
    queue.asyncAfter(300ms, [&] {
        waited = std::chrono::steady_clock::now() - submitted;
        onQueue = queue.isCurrent();
        record("later");
    });
    queue.asyncAfter(0ms, [&] { record("sooner"); });
    std::unique_lock lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, hangGuard, [&] { return order.size() == 2; }));
    EXPECT_EQ(order, (std::vector<std::string>{"sooner", "later"}));
    EXPECT_TRUE(onQueue);
    EXPECT_GE(waited, 300ms);
}

TEST(AsyncAfter, HoldsTheQueueUntilItRuns) {
    // The delayed item holds the serial queue's only handle: it still runs, and the
    // queue then goes on its own thread.
    std::promise<bool> ran;
    auto result = ran.get_future();
    {
        DispatchQueue queue("AfterHold");
        queue.asyncAfter(10ms, [queue, &ran] { ran.set_value(queue.isCurrent()); });
    }
    ASSERT_EQ(result.wait_for(hangGuard), std::future_status::ready);
    EXPECT_TRUE(result.get());
    // Also on the main queue, which the drain runs.
    bool onMain = false;
    DispatchQueue::main().asyncAfter(1ms, [&] { onMain = DispatchQueue::main().isCurrent(); });
    EXPECT_TRUE(runMainQueueUntil([&] { return onMain; }, hangGuard));
}

TEST(ConcurrentPerform, RunsEachIterationOnce) {
    for (std::size_t count : {std::size_t(0), std::size_t(1), std::size_t(2), std::size_t(7), std::size_t(1000)}) {
        std::vector<std::atomic<int>> runs(count);
        concurrentPerform(count, [&](std::size_t i) { ++runs[i]; });
        for (std::size_t i = 0; i < count; ++i) EXPECT_EQ(runs[i], 1) << count << " " << i;
    }
}

TEST(ConcurrentPerform, IterationsRunAtOnceAlsoFromQueuedWorkAndNested) {
    if (std::thread::hardware_concurrency() < 2) GTEST_SKIP() << "one core: iterations may run one at a time";
    // Each iteration waits for the other: the loop ends only when both run together.
    auto pair = [] {
        std::latch both(2);
        concurrentPerform(2, [&](std::size_t) { both.arrive_and_wait(); });
    };
    pair();
    DispatchGroup group;
    group.async(DispatchQueue::global(), pair);
    EXPECT_TRUE(group.waitFor(hangGuard));
    std::atomic<int> inner = 0;
    concurrentPerform(3, [&](std::size_t) { concurrentPerform(4, [&](std::size_t) { ++inner; }); });
    EXPECT_EQ(inner, 12);
}

TEST(ConcurrentPerform, RethrowsAnIterationsExceptionOnceTheOthersHaveEnded) {
    constexpr std::size_t count = 64;
    std::atomic<int> running = 0, ran = 0;
    try {
        concurrentPerform(count, [&](std::size_t i) {
            ++running;
            if (i % 8 == 3) {
                --running;
                throw std::runtime_error("iteration " + std::to_string(i));
            }
            std::this_thread::yield();
            ++ran;
            --running;
        });
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()).rfind("iteration ", 0), 0u);
    }
    EXPECT_EQ(running, 0);  // none still running when the exception came back
    EXPECT_LT(ran, int(count));
}

// An exception that leaves queued work is logged as a fault under the queue's label and
// the item counts as done: the queue goes on and a group is left.
TEST(QueuedWork, AnExceptionIsLoggedAndTheQueueGoesOn) {
    struct Case {
        const char* name;
        DispatchQueue queue;
        bool main;
    };
    const Case cases[] = {
        {"serial", DispatchQueue("ThrowingSerial"), false},
        {"global", DispatchQueue::global(QoS::utility), false},
        {"main", DispatchQueue::main(), true},
    };
    for (const auto& c : cases) {
        oslog::LogCapture log;
        DispatchGroup group;
        std::atomic<bool> after = false;
        group.async(c.queue, [] { throw std::runtime_error("bad work"); });
        c.queue.async([] { throw 42; });
        group.async(c.queue, [&] { after = true; });
        if (c.main) EXPECT_TRUE(runMainQueueUntil([&] { return group.waitFor(0ns); }, hangGuard)) << c.name;
        else EXPECT_TRUE(group.waitFor(hangGuard)) << c.name;
        EXPECT_TRUE(after) << c.name;
        // The second fault may still be on its way from another pool thread.
        auto faults = [&] {
            std::vector<std::string> found;
            for (const auto& e : log.entries())
                if (e.subsystem == "dispatch" && e.level == oslog::Level::fault && e.category == c.queue.label())
                    found.push_back(e.message);
            std::sort(found.begin(), found.end());
            return found;
        };
        for (auto start = std::chrono::steady_clock::now();
             faults().size() < 2 && std::chrono::steady_clock::now() - start < hangGuard;)
            std::this_thread::sleep_for(1ms);
        EXPECT_EQ(faults(), (std::vector<std::string>{"work item ended by an exception: an exception of unknown type",
                                                      "work item ended by an exception: bad work"}))
            << c.name;
    }
}

TEST(QueuedWork, AnExceptionFromAnAfterItemOrTheHookedMainQueueIsCaughtToo) {
    oslog::LogCapture log;
    DispatchQueue queue("ThrowingLater");
    std::promise<void> next;
    queue.asyncAfter(1ms, [] { throw std::runtime_error("late"); });
    queue.asyncAfter(2ms, [&] { next.set_value(); });
    ASSERT_EQ(next.get_future().wait_for(hangGuard), std::future_status::ready);

    // The items the hook is given catch their own exceptions.
    std::vector<Work> handedOver;
    setMainQueueHook([&](Work work) { handedOver.push_back(std::move(work)); });
    DispatchQueue::main().async([] { throw std::runtime_error("on main"); });
    setMainQueueHook({});
    ASSERT_EQ(handedOver.size(), 1u);
    EXPECT_NO_THROW(handedOver[0]());

    std::vector<std::string> messages;
    for (const auto& e : log.entries())
        if (e.subsystem == "dispatch") messages.push_back(e.category + ": " + e.message);
    EXPECT_EQ(messages, (std::vector<std::string>{"ThrowingLater: work item ended by an exception: late",
                                                  "main: work item ended by an exception: on main"}));
}

// Handing delayed work or a group's notification to its queue can fail (memory runs
// out, no thread can be started): the item waits and is tried again, and runs once.
TEST(QueuedWork, AnItemThatCannotBeQueuedYetIsTriedAgain) {
    oslog::LogCapture log;
    std::mutex mutex;
    std::condition_variable changed;
    int refusals = 0;
    bool refusing = true;
    std::vector<Work> handedOver;
    setMainQueueHook([&](Work work) {
        std::lock_guard lock(mutex);
        changed.notify_all();
        if (refusing) {
            ++refusals;
            throw std::bad_alloc();
        }
        handedOver.push_back(std::move(work));
    });
    std::atomic<int> later = 0, notified = 0;
    DispatchQueue::main().asyncAfter(1ms, [&] { ++later; });
    DispatchGroup group;
    group.enter();
    group.notify(DispatchQueue::main(), [&] { ++notified; });
    DispatchQueue::global().async([group] { group.leave(); });
    {
        // Both refused at first, and each tried again.
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, hangGuard, [&] { return refusals >= 6; }));
        refusing = false;
        ASSERT_TRUE(changed.wait_for(lock, hangGuard, [&] { return handedOver.size() == 2; }));
    }
    setMainQueueHook({});
    for (auto& work : handedOver) work();
    EXPECT_EQ(later, 1);
    EXPECT_EQ(notified, 1);
    std::size_t faults = 0;
    for (const auto& e : log.entries())
        if (e.subsystem == "dispatch" && e.level == oslog::Level::fault && e.category == "main" &&
            e.message == "work item could not be queued, tried again shortly: std::bad_alloc")
            ++faults;
    EXPECT_EQ(faults, 2u) << "one fault for each item, however often it is tried";
}

}  // namespace
