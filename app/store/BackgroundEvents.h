#pragma once
// The add-event path between the thread that delivers events and the store: the events
// that reached the events view and wait to be moved into the store, in arrival order,
// with the refresh throttle and the flushes.
//
// Each message is moved once, into its item's arena block, by the thread that adds it
// (the item's timestamp and row process come with it); the items collect in chunks of
// chunkSize. Each full chunk is built (annotations, grouping by program) on the global
// queues, or by the delivering thread itself when as many chunks as there are cores
// wait for a worker already; built chunks join one batch in arrival order as they are
// done. A flush takes
// every waiting event, builds what no worker has started, waits for the rest and hands
// the events to deliver as one batch. An event that arrives at least refreshInterval
// after the last flush flushes at once; the owner's timer flushes the events that wait
// once the interval has passed (trailingWait).
//
// Threads: every operation may be called from any thread, also while others run.
// Flushes run one at a time, and each hands its batch to deliver before the next takes
// any event, so batches are delivered in the order they were taken. deliver runs on the
// flushing thread; failed on the thread that found the failure (a global queue's worker
// among them). Neither runs under the lock of the waiting list, and neither may flush.
//
// Failures: no exception leaves an operation or the work it queues. When an item cannot
// be made (memory runs out), failed is told once; the events before that item are
// delivered, and the later ones, with every event added until resume() or clear(), are
// dropped. When a chunk cannot be built, the same holds from its first event on; when a
// delivered batch cannot be taken (deliver throws, or the owner calls deliveryFailed),
// from that batch's first event on.
//
// Life: the hooks (annotate, failed) of work on the global queues run only while the
// object lives: the destructor waits for the chunks being built, and those not yet
// started are let go unbuilt. deliver and failed on the owner's own threads run within
// its calls.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "ESMessage.h"
#include "EventBatch.h"

namespace qm {

class EventArena;

class BackgroundEvents {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::size_t chunkSize = 1024;

    // Marks a batch with the deletions (clear) before the flush that took it,
    // and with the batches lost before it (deliveryFailed).
    struct Stamp {
        std::uint64_t clears = 0;
        std::uint64_t losses = 0;
    };
    // Makes one item, not yet marked, from its message on the adding thread
    // (makeEventItem; tests make it fail).
    using MakeItem = std::function<EventItemPtr(EventArena&, es::ESMessage&&)>;
    // Marks one item on the thread that builds its chunk (the shared annotator; tests
    // watch where it runs).
    using Annotate = std::function<void(EventItem&)>;

    struct Setup {
        // Minimum time between two flushes caused by arriving events.
        std::chrono::duration<double> refreshInterval{2.0};
        // The clock of the throttle.
        std::function<Clock::time_point()> now = Clock::now;
        // Takes the events of one flush.
        std::function<void(EventBatch&&, Stamp)> deliver;
        // Told the failure's text when items could not be built.
        std::function<void(const std::string& what)> failed;
        MakeItem makeItem;  // none: makeEventItem
        Annotate annotate;  // none: EventAnnotator::shared()
    };

    // The last flush is taken to lie 3 s in the past, so the first event flushes.
    explicit BackgroundEvents(Setup setup);
    // Waits for the chunks being built on the global queues; items still waiting go on
    // a global queue.
    ~BackgroundEvents();
    BackgroundEvents(const BackgroundEvents&) = delete;
    BackgroundEvents& operator=(const BackgroundEvents&) = delete;

    // Appends the message, and flushes when refreshInterval has passed since the last
    // flush (exactly the interval flushes). True when the event waits and no trailing
    // refresh is armed: the caller arms it and calls trailingWait from it.
    [[nodiscard]] bool add(es::ESMessage&& message);

    // For the armed trailing refresh: the time until the interval since the last flush
    // has passed, while events wait. Zero or less: flush now. None when nothing waits.
    // The refresh is disarmed unless the result is above zero.
    std::optional<Clock::duration> trailingWait();

    // Takes every waiting event and delivers them, in arrival order, as one batch.
    void flush();

    // Events waiting, built or not.
    std::size_t size() const;

    // Delete Events: drops every waiting event, ends a failure, and marks the batches
    // taken until now as stale (current() is false for them). Chunks being built are
    // thrown away when done; the dropped items go on a global queue.
    void clear();
    // Takes events again after a failure (a new source starts). Events that were added
    // after the failed one stay dropped.
    void resume();
    // The owner could not take a delivered batch (memory ran out while it filed it):
    // called in the handler of that exception, from any thread. failed is told its text
    // once; the events taken after that batch, and every event added until resume() or
    // clear(), are dropped, and the batches delivered since are no longer current().
    void deliveryFailed() noexcept;
    // Whether no clear() and no lost batch came after the flush that took a batch with
    // this stamp.
    bool current(Stamp stamp) const;

private:
    struct Shared;
    class Chunk;
    using ChunkPtr = std::shared_ptr<Chunk>;
    struct Taken;

    // The waiting events, under mutex_.
    Taken take();

    const std::chrono::duration<double> refreshInterval_;
    const std::function<Clock::time_point()> now_;
    const std::function<void(EventBatch&&, Stamp)> deliver_;
    std::shared_ptr<Shared> shared_;

    std::mutex flushMutex_;  // one flush at a time
    mutable std::mutex mutex_;  // guards the fields below
    ChunkPtr filling_;          // the chunk that takes the next messages
    std::size_t size_ = 0;
    Clock::time_point lastRefresh_;
    bool trailingArmed_ = false;  // a trailing refresh is requested or running
    std::uint64_t clears_ = 0;
    std::uint64_t losses_ = 0;
};

}  // namespace qm
