#pragma once
// Work queues for the rest of the program: named serial queues, global queues over one
// shared thread pool, groups, and the main queue, which hands its work to a hook that the
// application installs (the GUI thread's event loop) or, without a hook, keeps it for
// drainMainQueue().
//
// DispatchQueue and DispatchGroup are cheap handles: copies refer to the same queue or
// group, which lives as long as its last handle and any work still queued on it.
//
// An exception that leaves queued work (async, asyncAfter, a group's async, on any queue,
// the main queue included) does not end the process: the thread that ran the item catches
// it, logs it as a fault (subsystem "dispatch", category the queue's label, with the
// exception's text), and counts the item as done: the queue goes on with its next item
// and a group's async still leaves the group. Work run by sync passes its exception back
// to the caller of sync; concurrentPerform rethrows one of its iterations' exceptions to
// its caller once the loop has ended.
//
// Delayed work and a group's notifications are handed to their queue later, by another
// thread; when that fails (memory ran out, no thread could be started), the item is
// logged as a fault once and tried again a moment later, so it still runs, once.

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace dispatch {

using Work = std::function<void()>;

// Quality of service. Recorded on each queue; all global queues share one pool.
enum class QoS { background, utility, normal, userInitiated, userInteractive };

class DispatchQueue {
public:
    // A new serial queue: one worker thread runs its work items one at a time, in the
    // order they were submitted. When the last handle goes, the work already queued still
    // runs; then the worker ends.
    explicit DispatchQueue(std::string label, QoS qos = QoS::normal);

    // The global (concurrent) queue for a quality of service; work items run on the shared
    // pool, several at a time, in no guaranteed order.
    static DispatchQueue global(QoS qos = QoS::normal);

    // The main queue: work goes to the hook set by setMainQueueHook(), or, while none is
    // set, waits for drainMainQueue() / runMainQueueUntil().
    static DispatchQueue main();

    const std::string& label() const;
    QoS qos() const;

    // Submits work and returns at once.
    void async(Work work) const;

    // Submits work once delay has passed (not before; later when the machine is busy) and
    // returns at once. The queue and the work are held until then; a serial queue's last
    // handle, when the work holds it, goes on the queue's own thread.
    void asyncAfter(std::chrono::nanoseconds delay, Work work) const;

    // Runs work on the queue and blocks until it has run; an exception it throws comes
    // back here. On a global queue the work runs on the calling thread. Calling it from a
    // work item of the same serial queue (or of the main queue, from the main thread)
    // would wait forever and is a fatal error instead.
    void sync(const Work& work) const;

    // Whether the calling thread is running a work item of this queue (for the main queue
    // with a hook: whether it is the thread that installed the hook).
    bool isCurrent() const;

    friend bool operator==(const DispatchQueue& a, const DispatchQueue& b) {
        return a.impl_ == b.impl_;
    }

    struct Impl;

private:
    explicit DispatchQueue(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}
    std::shared_ptr<Impl> impl_;
};

// Counts outstanding work; notifications fire on their queue each time the count drops to
// zero (or at once, when it is zero already).
class DispatchGroup {
public:
    DispatchGroup();

    void enter() const;
    // When the count drops to zero, the notifications are queued before any waiter wakes.
    // Leaving more often than entering is a fatal error.
    void leave() const;

    // Blocks until the count is zero.
    void wait() const;
    // The same with a limit; returns false when the count was still above zero at the end.
    bool waitFor(std::chrono::nanoseconds timeout) const;

    // Submits work to queue once the count is zero; holds work (and what it captures)
    // until then.
    void notify(const DispatchQueue& queue, Work work) const;

    // Enters, runs work on queue, then leaves. When the work cannot be queued (memory
    // ran out), it leaves again and the exception comes back here.
    void async(const DispatchQueue& queue, Work work) const;

    struct State;

private:
    std::shared_ptr<State> state_;
};

// Runs work(0) .. work(iterations - 1), several at a time: on the calling thread and on
// the shared pool of the global queues, and returns once every one has run. The order
// of the iterations is not promised. When an iteration throws, the iterations not yet
// begun are skipped and the first exception is rethrown here once the others have
// ended. May be called from any thread, from queued work and from an iteration too.
void concurrentPerform(std::size_t iterations, const std::function<void(std::size_t)>& work);

// For an owner's destructor: makes sure that when the owner's handle goes, it is not the
// last one, so the release does not wait for the queue's work. The last handle then goes
// on the queue's own thread, after the work already queued. An owner released on a thread
// that holds a lock which work on its queue waits for would otherwise wait forever.
void releaseWithoutWaiting(const DispatchQueue& queue);

// The text of the exception being handled (call it in a catch block): its what(), or
// "an exception of unknown type". Throws only when the text cannot be copied.
std::string exceptionText();

// Installs the main-queue hook: every later main-queue work item is passed to it (it must
// run the item on the application's main thread, in order). Work queued while no hook was
// set is passed on at once. The calling thread counts as the main thread. An empty hook
// removes it.
void setMainQueueHook(std::function<void(Work)> hook);

// Runs main-queue work on the calling thread while no hook is set, including work queued
// meanwhile, until none is left. Returns how many items ran.
std::size_t drainMainQueue();

// Runs main-queue work on the calling thread as it arrives until done() is true or
// timeout has passed; done() is checked after each batch of main-queue work. Returns
// done(). For tests without a hook (with one it only checks done()).
bool runMainQueueUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

}  // namespace dispatch
