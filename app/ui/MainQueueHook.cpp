#include "MainQueueHook.h"

#include <QMetaMethod>

#include <deque>
#include <mutex>
#include <utility>

#include "Dispatch.h"

namespace qm {

namespace {

// Qt adds the posted event to the GUI thread's event list under a lock of its own, which
// a data-race checker cannot see, in functions without symbols; the test suppressions
// name postRunNext for that, so it holds nothing but this call. Two functions kept out
// of line, so that postRunNext stands in the checker's stack of the call into Qt.
[[gnu::noinline]] void invokeQueued(const QMetaMethod& method, QObject* receiver) {
    method.invoke(receiver, Qt::QueuedConnection);
}

[[gnu::noinline]] void postRunNext(const QMetaMethod& method, QObject* receiver) { invokeQueued(method, receiver); }

}  // namespace

struct MainQueueHook::Waiting {
    std::mutex mutex;
    std::deque<dispatch::Work> items;
    MainQueueHook* receiver = nullptr;  // null once the hook object is gone
    QMetaMethod runNext;
};

MainQueueHook::MainQueueHook() : waiting_(std::make_shared<Waiting>()) {
    waiting_->receiver = this;
    waiting_->runNext = metaObject()->method(metaObject()->indexOfMethod("runNext()"));
    dispatch::setMainQueueHook([waiting = waiting_](dispatch::Work work) {
        std::lock_guard lock(waiting->mutex);
        // An item that comes as the hook goes is dropped, as events left at exit are.
        if (!waiting->receiver) return;
        waiting->items.push_back(std::move(work));
        postRunNext(waiting->runNext, waiting->receiver);
    });
}

MainQueueHook::~MainQueueHook() {
    dispatch::setMainQueueHook({});
    std::deque<dispatch::Work> left;
    {
        std::lock_guard lock(waiting_->mutex);
        waiting_->receiver = nullptr;
        left.swap(waiting_->items);
    }
    // `left` goes here, on the GUI thread, like the work that ran.
}

void MainQueueHook::runNext() {
    dispatch::Work work;
    {
        std::lock_guard lock(waiting_->mutex);
        if (waiting_->items.empty()) return;
        work = std::move(waiting_->items.front());
        waiting_->items.pop_front();
    }
    work();
}

}  // namespace qm
