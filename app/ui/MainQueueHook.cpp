#include "MainQueueHook.h"

#include <QMetaMethod>

#include <deque>
#include <mutex>
#include <utility>

#include "Dispatch.h"

namespace qm {

namespace {

#ifdef __SANITIZE_THREAD__
extern "C" void __tsan_ignore_thread_begin();
extern "C" void __tsan_ignore_thread_end();

// While it lives, the race checker leaves this thread's memory accesses out (not its
// locks and waits).
struct UncheckedAccesses {
    UncheckedAccesses() { __tsan_ignore_thread_begin(); }
    ~UncheckedAccesses() { __tsan_ignore_thread_end(); }
    UncheckedAccesses(const UncheckedAccesses&) = delete;
    UncheckedAccesses& operator=(const UncheckedAccesses&) = delete;
};
#else
struct UncheckedAccesses {};
#endif

// Qt adds the posted event to the GUI thread's event list under a futex lock of its
// own, which a race checker cannot see: a thread-checked build leaves the accesses of
// this call out, as that lock orders them (a suppression would need the poster's stack,
// which the checker's history has often lost by the time the GUI thread reads the list).
// Nothing of ours is written here.
void postRunNext(const QMetaMethod& method, QObject* receiver) {
    [[maybe_unused]] const UncheckedAccesses unchecked;
    method.invoke(receiver, Qt::QueuedConnection);
}

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
