#pragma once
// The events that reached the events view and wait to be moved into the store, in
// arrival order. Messages collect in chunks; the items of each full chunk (arena block,
// timestamp, annotations, grouping by program) are built on the global queues, so the
// thread that delivers events only hands messages over, and built chunks join one batch
// in arrival order as they are done. Taking the waiting events builds whatever no
// worker has started and waits for the rest.
//
// Not thread-safe: the owner serialises add, size, clear and take. Workers touch only
// their chunk and, under a lock of their own, the joined batch; finish runs outside the
// owner's lock.

#include <cstddef>
#include <memory>
#include <vector>

#include "ESMessage.h"
#include "EventBatch.h"

namespace qm {

class BackgroundEvents {
public:
    static constexpr std::size_t chunkSize = 1024;

    class Chunk;
    using ChunkPtr = std::shared_ptr<Chunk>;

    // What one take() took, in arrival order.
    class Taken {
    public:
        // The events in arrival order, as one batch: builds the chunks that no worker
        // has started, then waits for the others. Rethrows a failure to build one.
        EventBatch finish();

    private:
        friend class BackgroundEvents;
        EventBatch joined_;
        std::vector<ChunkPtr> chunks_;  // after joined_
    };

    BackgroundEvents();
    BackgroundEvents(const BackgroundEvents&) = delete;
    BackgroundEvents& operator=(const BackgroundEvents&) = delete;

    // Appends a message. When that fills a chunk, returns it: the caller passes it to
    // start() once it has left its lock.
    [[nodiscard]] ChunkPtr add(es::ESMessage&& message);
    // Builds the chunk on a global queue, or here when as many chunks as there are
    // cores wait for a worker already.
    static void start(ChunkPtr chunk);

    // Events waiting, built or not.
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    // Drops every waiting event; chunks being built are thrown away when done.
    void clear();
    // Takes every waiting event.
    Taken take();

private:
    struct Shared;
    std::shared_ptr<Shared> shared_;
    ChunkPtr filling_;  // the chunk that takes the next messages
    std::size_t size_ = 0;
};

}  // namespace qm
