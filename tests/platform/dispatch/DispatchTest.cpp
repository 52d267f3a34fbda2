// Serial, global and main queues and groups: ordering, one-at-a-time execution, pool
// growth under blocking work, queue release from its own work, notifications.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <latch>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Dispatch.h"

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

}  // namespace
