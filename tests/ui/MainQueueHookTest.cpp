// Main-queue work on the GUI thread's event loop: items queued from other threads run
// there one at a time, in order; what still waits when the hook goes is dropped there.
#include "MainQueueHook.h"

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "UiTestSupport.h"

using namespace uitest;

namespace {

// Records the thread that destroys it.
struct DropProbe {
    std::thread::id* droppedOn;
    ~DropProbe() { *droppedOn = std::this_thread::get_id(); }
};

TEST(MainQueueHookTest, WorkFromOtherThreadsRunsOnTheGuiThreadInOrder) {
    const qm::MainQueueHook hook;
    const auto gui = std::this_thread::get_id();
    constexpr int perQueue = 300;
    std::vector<int> ran[2];  // touched on the GUI thread only
    std::atomic<int> offThread = 0;
    {
        dispatch::DispatchQueue queues[2] = {dispatch::DispatchQueue("first"), dispatch::DispatchQueue("second")};
        for (int q = 0; q < 2; ++q)
            queues[q].async([&, q] {
                for (int i = 0; i < perQueue; ++i)
                    dispatch::DispatchQueue::main().async([&, q, i] {
                        if (std::this_thread::get_id() != gui) ++offThread;
                        ran[q].push_back(i);
                    });
            });
    }
    ASSERT_TRUE(waitUntil([&] { return ran[0].size() == perQueue && ran[1].size() == perQueue; }));
    EXPECT_EQ(offThread, 0);
    for (const auto& order : ran)
        for (int i = 0; i < perQueue; ++i) ASSERT_EQ(order[std::size_t(i)], i);
}

TEST(MainQueueHookTest, WorkStillWaitingWhenTheHookGoesIsDroppedOnTheGuiThread) {
    std::thread::id droppedOn;
    bool ran = false;
    {
        const qm::MainQueueHook hook;
        std::thread([&] {
            dispatch::DispatchQueue::main().async([&, probe = std::make_shared<DropProbe>(&droppedOn)] { ran = true; });
        }).join();
    }
    EXPECT_FALSE(ran);
    EXPECT_EQ(droppedOn, std::this_thread::get_id());
    // Without a hook, main-queue work waits for a drain again.
    dispatch::DispatchQueue::main().async([&] { ran = true; });
    settle();
    EXPECT_FALSE(ran);
    EXPECT_EQ(dispatch::drainMainQueue(), 1u);
    EXPECT_TRUE(ran);
}

}  // namespace
