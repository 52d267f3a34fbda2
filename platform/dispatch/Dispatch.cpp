#include "Dispatch.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <exception>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "OSLog.h"

namespace dispatch {

namespace {

[[noreturn]] void fatal(const char* what) {
    std::fprintf(stderr, "dispatch: %s\n", what);
    std::abort();
}

// Identity of the queue whose work item the calling thread is running, if any.
thread_local const void* currentQueue = nullptr;

// Runs one work item with currentQueue set to token (restored afterwards, so a hook that
// runs main-queue work inside another queue's item keeps both right).
void runAs(const void* token, const Work& work) {
    struct Restore {
        const void* outer;
        ~Restore() { currentQueue = outer; }
    } restore{std::exchange(currentQueue, token)};
    work();
}

// Runs one queued work item: an exception that leaves it is logged as a fault and the
// item counts as done (see Dispatch.h).
void runQueued(const void* token, const std::string& label, const Work& work) noexcept {
    try {
        runAs(token, work);
    } catch (...) {
        try {
            oslog::Logger("dispatch", label).fault("work item ended by an exception: %{public}s", exceptionText());
        } catch (...) {
            std::fputs("dispatch: work item ended by an exception\n", stderr);
        }
    }
}

void nameThread(const std::string& label) {
    // Linux allows 15 characters; the name only helps debuggers and ps.
    pthread_setname_np(pthread_self(), label.substr(0, 15).c_str());
}

}  // namespace

struct DispatchQueue::Impl {
    Impl(std::string label, QoS qos) : label(std::move(label)), qos(qos) {}
    virtual ~Impl() = default;
    virtual void async(Work work) = 0;
    virtual bool isCurrent() const = 0;
    // Submits work and waits for it: the one way for serial queues and the main queue.
    virtual void sync(const Work& work);

    const std::string label;
    const QoS qos;
};

namespace {

// ---- serial queues -------------------------------------------------------------------

// Shared between a serial queue and its worker, so a worker whose queue was released from
// one of its own work items can finish the remaining items on its own.
struct SerialState {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Work> items;
    bool closing = false;
};

void serialWorker(std::shared_ptr<SerialState> state, std::string label) {
    nameThread(label);
    for (;;) {
        Work work;
        {
            std::unique_lock lock(state->mutex);
            state->wake.wait(lock, [&] { return state->closing || !state->items.empty(); });
            if (state->items.empty()) return;
            work = std::move(state->items.front());
            state->items.pop_front();
        }
        runQueued(state.get(), label, work);
        // `work` is destroyed here, on the worker; it may hold the queue's last handle.
    }
}

struct SerialQueue final : DispatchQueue::Impl {
    SerialQueue(std::string label, QoS qos)
        : Impl(std::move(label), qos),
          state(std::make_shared<SerialState>()),
          worker(serialWorker, state, this->label) {}

    ~SerialQueue() override {
        {
            std::lock_guard lock(state->mutex);
            state->closing = true;
        }
        state->wake.notify_one();
        if (worker.get_id() == std::this_thread::get_id())
            worker.detach();  // released by its own work item: the worker ends by itself
        else
            worker.join();
    }

    void async(Work work) override {
        // Woken under the lock: the item may hold the queue's last handle, and once the
        // lock is free the worker may run it and destroy this queue and its state.
        std::lock_guard lock(state->mutex);
        state->items.push_back(std::move(work));
        state->wake.notify_one();
    }

    bool isCurrent() const override { return currentQueue == state.get(); }

    std::shared_ptr<SerialState> state;
    std::thread worker;
};

// ---- global queues -------------------------------------------------------------------

// One pool for every global queue. It starts a thread whenever work waits and no thread
// is idle, up to a limit, so work that blocks (a long reading loop, a wait on a group)
// does not starve the rest; idle threads stay for later work.
class Pool {
public:
    static Pool& shared() {
        static Pool* pool = new Pool;  // never destroyed: its threads outlive static teardown
        return *pool;
    }

    // Queues work, or throws and queues nothing when no thread exists to run it and
    // none can be started.
    void submit(const DispatchQueue::Impl* queue, Work work) {
        std::lock_guard lock(mutex_);
        items_.emplace_back(queue, std::move(work));
        if (items_.size() > idle_ && threads_ < maxThreads) {
            try {
                std::thread([this] { run(); }).detach();
                ++threads_;
                return;
            } catch (...) {
                // A thread that runs now takes it later, as at the limit.
                if (threads_ == 0) {
                    items_.pop_back();
                    throw;
                }
            }
        }
        wake_.notify_one();
    }

private:
    static constexpr std::size_t maxThreads = 64;

    void run() {
        nameThread("global-queue");
        std::unique_lock lock(mutex_);
        for (;;) {
            ++idle_;
            wake_.wait(lock, [&] { return !items_.empty(); });
            --idle_;
            auto [queue, work] = std::move(items_.front());
            items_.pop_front();
            lock.unlock();
            runQueued(queue, queue->label, work);
            work = nullptr;
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::pair<const DispatchQueue::Impl*, Work>> items_;
    std::size_t idle_ = 0;
    std::size_t threads_ = 0;
};

struct GlobalQueue final : DispatchQueue::Impl {
    using Impl::Impl;
    void async(Work work) override { Pool::shared().submit(this, std::move(work)); }
    bool isCurrent() const override { return currentQueue == this; }
    // Work on a concurrent queue may run beside anything, so it runs on the caller's
    // thread; that also makes sync from the queue's own work safe.
    void sync(const Work& work) override { runAs(this, work); }
};

// ---- main queue ----------------------------------------------------------------------

struct MainQueue final : DispatchQueue::Impl {
    MainQueue() : Impl("main", QoS::userInteractive) {}

    static MainQueue& shared() {
        static MainQueue* queue = new MainQueue;
        return *queue;
    }

    Work tagged(Work work) const {
        return [this, work = std::move(work)] { runQueued(this, label, work); };
    }

    void async(Work work) override {
        std::unique_lock lock(mutex);
        if (hook) {
            auto target = hook;
            lock.unlock();
            target(tagged(std::move(work)));
            return;
        }
        pending.push_back(std::move(work));
        lock.unlock();
        arrived.notify_all();
    }

    bool isCurrent() const override {
        if (currentQueue == this) return true;
        std::lock_guard lock(mutex);
        return hook && mainThread == std::this_thread::get_id();
    }

    void setHook(std::function<void(Work)> newHook) {
        std::deque<Work> waiting;
        std::function<void(Work)> target;
        {
            std::lock_guard lock(mutex);
            hook = std::move(newHook);
            mainThread = std::this_thread::get_id();
            if (hook) waiting.swap(pending);
            target = hook;
        }
        for (auto& work : waiting) target(tagged(std::move(work)));
    }

    // Takes the next waiting item, when no hook is set.
    bool take(Work& work) {
        std::lock_guard lock(mutex);
        if (hook || pending.empty()) return false;
        work = std::move(pending.front());
        pending.pop_front();
        return true;
    }

    mutable std::mutex mutex;
    std::condition_variable arrived;
    std::deque<Work> pending;
    std::function<void(Work)> hook;
    std::thread::id mainThread;
};

// ---- work handed over later ------------------------------------------------------------

// A work item waiting to be handed to its queue (delayed work, a group's notification).
// Shared, so that the item is still here when handing it over fails (memory ran out, no
// thread could be started) and can be tried again.
struct Held {
    Held(DispatchQueue queue, Work work) : queue(std::move(queue)), work(std::move(work)), label(this->queue.label()) {}
    DispatchQueue queue;
    Work work;
    const std::string label;
    std::atomic<bool> taken{false};  // a queue has begun to run it
    bool faultLogged = false;
};
using HeldPtr = std::shared_ptr<Held>;

// Hands the item to its queue; false when that failed (logged as a fault, once per item).
// Once it runs, the item takes the queue's handle and the work out, so that a serial
// queue whose last handle it is goes on its own thread, after the item.
bool handOver(const HeldPtr& held) noexcept {
    try {
        DispatchQueue& queue = held->queue;
        queue.async([held] {
            // Handed over twice when a hook took it and then failed: it runs once.
            if (held->taken.exchange(true)) return;
            const DispatchQueue queue = std::move(held->queue);
            const Work work = std::move(held->work);
            work();
        });
        return true;
    } catch (...) {
        if (!std::exchange(held->faultLogged, true)) {
            try {
                oslog::Logger("dispatch", held->label)
                    .fault("work item could not be queued, tried again shortly: %{public}s", exceptionText());
            } catch (...) {
                std::fputs("dispatch: work item could not be queued\n", stderr);
            }
        }
        return false;
    }
}

// One thread for every queue's delayed work: it hands each item to its queue when its
// time has come, in time order (equal times in the order they were added). An item that
// cannot be handed over is tried again a moment later.
class Timers {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr auto retryPause = std::chrono::milliseconds(20);

    static Timers& shared() {
        static Timers* timers = new Timers;  // never destroyed, like the pool
        return *timers;
    }

    void add(Clock::time_point when, DispatchQueue queue, Work work) {
        add(when, std::make_shared<Held>(std::move(queue), std::move(work)));
    }

    void add(Clock::time_point when, HeldPtr held) {
        {
            std::lock_guard lock(mutex_);
            if (!started_) {
                std::thread([this] { run(); }).detach();
                started_ = true;
            }
            entries_.emplace(when, std::move(held));
        }
        wake_.notify_one();
    }

private:
    void run() {
        nameThread("dispatch-timer");
        std::unique_lock lock(mutex_);
        for (;;) {
            if (entries_.empty()) {
                wake_.wait(lock);
                continue;
            }
            const auto first = entries_.begin();
            if (first->first > Clock::now()) {
                wake_.wait_until(lock, first->first);
                continue;
            }
            // Taken out and put back without memory of its own.
            auto node = entries_.extract(first);
            lock.unlock();
            const bool queued = handOver(node.mapped());
            if (queued) node = {};
            lock.lock();
            if (!queued) {
                node.key() = Clock::now() + retryPause;
                entries_.insert(std::move(node));
            }
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::multimap<Clock::time_point, HeldPtr> entries_;
    bool started_ = false;
};

}  // namespace

// ---- DispatchQueue ---------------------------------------------------------------------

DispatchQueue::DispatchQueue(std::string label, QoS qos)
    : impl_(std::make_shared<SerialQueue>(std::move(label), qos)) {}

DispatchQueue DispatchQueue::global(QoS qos) {
    static const auto queues = [] {
        std::vector<std::shared_ptr<Impl>> all;
        for (auto q :
             {QoS::background, QoS::utility, QoS::normal, QoS::userInitiated, QoS::userInteractive})
            all.push_back(std::make_shared<GlobalQueue>("global", q));
        return new std::vector<std::shared_ptr<Impl>>(std::move(all));
    }();
    return DispatchQueue((*queues)[static_cast<std::size_t>(qos)]);
}

DispatchQueue DispatchQueue::main() {
    // The main queue lives for the whole process; the handle does not own it.
    static const std::shared_ptr<Impl> queue(&MainQueue::shared(), [](Impl*) {});
    return DispatchQueue(queue);
}

const std::string& DispatchQueue::label() const {
    return impl_->label;
}
QoS DispatchQueue::qos() const {
    return impl_->qos;
}
void DispatchQueue::async(Work work) const {
    impl_->async(std::move(work));
}
void DispatchQueue::asyncAfter(std::chrono::nanoseconds delay, Work work) const {
    const auto when = Timers::Clock::now() + std::chrono::duration_cast<Timers::Clock::duration>(delay);
    Timers::shared().add(when, *this, std::move(work));
}
bool DispatchQueue::isCurrent() const {
    return impl_->isCurrent();
}

void DispatchQueue::sync(const Work& work) const {
    impl_->sync(work);
}

void DispatchQueue::Impl::sync(const Work& work) {
    if (isCurrent()) fatal("sync called on the queue it would wait for");
    std::mutex mutex;
    std::condition_variable doneSignal;
    bool done = false;
    std::exception_ptr failure;
    async([&] {
        try {
            work();
        } catch (...) {
            failure = std::current_exception();
        }
        std::lock_guard lock(mutex);
        done = true;
        doneSignal.notify_one();
    });
    std::unique_lock lock(mutex);
    doneSignal.wait(lock, [&] { return done; });
    if (failure) std::rethrow_exception(failure);
}

// ---- DispatchGroup ---------------------------------------------------------------------

struct DispatchGroup::State {
    std::mutex mutex;
    std::condition_variable empty;
    std::size_t count = 0;
    std::vector<HeldPtr> notifications;
};

DispatchGroup::DispatchGroup() : state_(std::make_shared<State>()) {}

void DispatchGroup::enter() const {
    std::lock_guard lock(state_->mutex);
    ++state_->count;
}

void DispatchGroup::leave() const {
    std::lock_guard lock(state_->mutex);
    if (state_->count == 0) fatal("group left more often than entered");
    if (--state_->count > 0) return;
    // Notifications are queued before waiters wake, so work a waiter then queues on the
    // same serial queue runs after them. One that cannot be queued now is tried again
    // shortly; leave() throws nothing (it runs in a destructor).
    for (const HeldPtr& held : state_->notifications) {
        if (handOver(held)) continue;
        try {
            Timers::shared().add(Timers::Clock::now() + Timers::retryPause, held);
        } catch (...) {  // logged by handOver; nothing is left to hold it
        }
    }
    state_->notifications.clear();
    state_->empty.notify_all();
}

void DispatchGroup::wait() const {
    std::unique_lock lock(state_->mutex);
    state_->empty.wait(lock, [&] { return state_->count == 0; });
}

bool DispatchGroup::waitFor(std::chrono::nanoseconds timeout) const {
    std::unique_lock lock(state_->mutex);
    return state_->empty.wait_for(lock, timeout, [&] { return state_->count == 0; });
}

void DispatchGroup::notify(const DispatchQueue& queue, Work work) const {
    {
        std::lock_guard lock(state_->mutex);
        if (state_->count > 0) {
            state_->notifications.push_back(std::make_shared<Held>(queue, std::move(work)));
            return;
        }
    }
    queue.async(std::move(work));
}

void DispatchGroup::async(const DispatchQueue& queue, Work work) const {
    enter();
    try {
        queue.async([group = *this, work = std::move(work)] {
            // Left also when work throws (the queue's worker then logs the exception).
            struct Leave {
                const DispatchGroup& group;
                ~Leave() { group.leave(); }
            } leave{group};
            work();
        });
    } catch (...) {  // not queued (memory ran out): the group does not wait for it
        leave();
        throw;
    }
}

// ---- concurrentPerform -------------------------------------------------------------------

namespace {

// One loop of concurrentPerform, shared by the calling thread and its helpers on the
// pool. A helper that starts after the last iteration was taken touches only the
// counters, so the loop may be gone from the caller's stack by then.
struct Loop {
    Loop(std::size_t count, const std::function<void(std::size_t)>& work) : count(count), work(&work) {}

    // Takes and runs iterations until none is left.
    void runSome() {
        for (std::size_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) < count;) {
            if (!failed.load(std::memory_order_relaxed)) {
                try {
                    (*work)(i);
                } catch (...) {
                    if (!failed.exchange(true, std::memory_order_relaxed)) failure = std::current_exception();
                }
            }
            if (ended.fetch_add(1, std::memory_order_acq_rel) + 1 == count) ended.notify_all();
        }
    }

    void waitForAll() {
        for (std::size_t now; (now = ended.load(std::memory_order_acquire)) != count;) ended.wait(now);
    }

    const std::size_t count;
    const std::function<void(std::size_t)>* const work;
    std::atomic<std::size_t> next{0};   // the next iteration to take
    std::atomic<std::size_t> ended{0};  // iterations run or skipped
    std::atomic<bool> failed{false};
    std::exception_ptr failure;  // written by the first that failed, read after waitForAll
};

}  // namespace

void concurrentPerform(std::size_t iterations, const std::function<void(std::size_t)>& work) {
    if (iterations == 0) return;
    if (iterations == 1) {
        work(0);
        return;
    }
    auto loop = std::make_shared<Loop>(iterations, work);
    const std::size_t helpers =
        std::min<std::size_t>(iterations, std::max(1u, std::thread::hardware_concurrency())) - 1;
    const auto queue = DispatchQueue::global();
    // A helper that cannot be queued leaves its share to the others and this thread.
    try {
        for (std::size_t h = 0; h < helpers; ++h) queue.async([loop] { loop->runSome(); });
    } catch (...) {
    }
    loop->runSome();
    loop->waitForAll();
    // Moved out, so the exception is released on this thread alone and never by a helper
    // that drops the loop later.
    if (loop->failure) std::rethrow_exception(std::exchange(loop->failure, nullptr));
}

void releaseWithoutWaiting(const DispatchQueue& queue) {
    queue.async([queue] {});
}

std::string exceptionText() {
    try {
        throw;
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "an exception of unknown type";
    }
}

// ---- main queue ------------------------------------------------------------------------

void setMainQueueHook(std::function<void(Work)> hook) {
    MainQueue::shared().setHook(std::move(hook));
}

std::size_t drainMainQueue() {
    auto& main = MainQueue::shared();
    std::size_t ran = 0;
    for (Work work; main.take(work); ++ran) {
        runQueued(&main, main.label, work);
        work = nullptr;
    }
    return ran;
}

bool runMainQueueUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    auto& main = MainQueue::shared();
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        drainMainQueue();
        if (done()) return true;
        std::unique_lock lock(main.mutex);
        if (!main.arrived.wait_until(lock, deadline,
                                     [&] { return !main.pending.empty() || main.hook; })) {
            lock.unlock();
            return done();
        }
        if (main.hook) {
            lock.unlock();
            return done();
        }
    }
}

}  // namespace dispatch
