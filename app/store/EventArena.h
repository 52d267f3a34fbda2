#pragma once
// Memory for event items. Items are made one after the other, live long and go
// together (when the store is cleared), so they are cut in order from large mapped
// regions: making one costs a few instructions under a lock instead of a trip
// through the heap (whose growth in a worker thread's heap is one system call per
// step), and items that arrived together lie together for the filter passes. A
// region goes back to the system once the arena has moved on from it and the last
// block cut from it is freed. The regions are not advised for huge pages: where
// the kernel compacts memory for them on demand, a first touch can stall for
// seconds when memory is fragmented.
//
// Once half of a region is cut, the next one is mapped and its pages made present on
// a global queue, so that the thread making items (the one that delivers the events)
// does not take a page fault every few items; a small capture has none made ahead.

#include <cstddef>
#include <memory>
#include <mutex>
#include <utility>

#include "Dispatch.h"

namespace qm {

class EventArena {
public:
    static constexpr std::size_t regionSize = std::size_t(32) << 20;
    // Blocks are aligned to (and sized in) cache lines; larger ones are refused.
    static constexpr std::size_t blockAlignment = 64;
    static constexpr std::size_t maxBlock = regionSize / 64;

    EventArena();
    // Releases the arena's hold on its current region (blocks still in use keep it)
    // and the region made ready ahead.
    ~EventArena();
    EventArena(const EventArena&) = delete;
    EventArena& operator=(const EventArena&) = delete;

    // A block of at least bytes. Any thread. Throws std::bad_alloc when bytes is
    // above maxBlock or no region can be mapped.
    void* allocate(std::size_t bytes);
    // Frees a block of any arena, from any thread, also after its arena is gone.
    static void deallocate(void* block) noexcept;

private:
    struct Ahead;
    // Has the next region made ready on a global queue unless one is, or is on its way.
    void prepareNext() noexcept;

    std::mutex mutex_;
    std::byte* region_ = nullptr;  // where blocks are cut from now
    std::size_t used_ = 0;         // bytes of region_ handed out, its header included
    bool nextAsked_ = false;       // the region after region_ is made ready ahead
    std::shared_ptr<Ahead> ahead_;  // shared with the work that makes it ready
};

// A standard allocator over an arena, for std::allocate_shared.
template <class T>
struct ArenaAllocator {
    static_assert(alignof(T) <= EventArena::blockAlignment);
    using value_type = T;

    EventArena* arena;

    explicit ArenaAllocator(EventArena& a) noexcept : arena(&a) {}
    template <class U>
    ArenaAllocator(const ArenaAllocator<U>& other) noexcept : arena(other.arena) {}

    T* allocate(std::size_t n) { return static_cast<T*>(arena->allocate(n * sizeof(T))); }
    void deallocate(T* p, std::size_t) noexcept { EventArena::deallocate(p); }

    template <class U>
    friend bool operator==(const ArenaAllocator& a, const ArenaAllocator<U>& b) noexcept {
        return a.arena == b.arena;
    }
};

// The work of releaseLater, of every caller: what the end of the process waits for.
const dispatch::DispatchGroup& releaseWork();

// Lets go of value (items, or lists and maps of them) on a global queue: freeing the
// items of a large capture takes the better part of a second. Where no work can be
// queued (memory has run out), it goes here.
template <class T>
void releaseLater(T value) noexcept {
    try {
        releaseWork().async(dispatch::DispatchQueue::global(dispatch::QoS::utility),
                            [held = std::move(value)]() mutable { T gone = std::move(held); });
    } catch (...) {
    }
}

// Blocks until every value handed to releaseLater so far has gone. For the end of the
// process, after the windows and their sources: freeing runs on no longer while the
// statics' destructors run.
void waitForReleases();

}  // namespace qm
