#include "EventArena.h"

#include <sys/mman.h>

#include <atomic>
#include <cstdint>
#include <new>

namespace qm {

namespace {

// At the start of each region, which is aligned to its size so that a block finds
// it from its own address: the blocks in use, plus one while the arena cuts from it.
struct RegionHeader {
    std::atomic<std::size_t> holds{1};
};
static_assert(sizeof(RegionHeader) <= EventArena::blockAlignment);

std::byte* mapRegion() {
    constexpr std::size_t size = EventArena::regionSize;
    // Twice the size, so that an aligned region lies inside; the rest is given back.
    void* mapped = ::mmap(nullptr, 2 * size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) throw std::bad_alloc();
    const auto start = reinterpret_cast<std::uintptr_t>(mapped);
    const auto aligned = (start + size - 1) & ~(size - 1);
    if (aligned > start) ::munmap(mapped, aligned - start);
    if (start + 2 * size > aligned + size)
        ::munmap(reinterpret_cast<void*>(aligned + size), start + 2 * size - (aligned + size));
    auto* region = reinterpret_cast<std::byte*>(aligned);
    new (region) RegionHeader;
    return region;
}

void release(std::byte* region) noexcept {
    auto* header = std::launder(reinterpret_cast<RegionHeader*>(region));
    if (header->holds.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    header->~RegionHeader();
    ::munmap(region, EventArena::regionSize);
}

// Makes the region's pages present in one call, then writes to each through this
// mapping: under some hypervisors the first write to a page costs as much as a fault
// even once the page is present, and it is taken here rather than by the thread that
// makes the items. Where the kernel cannot populate, the writes fault each page in.
void makePresent(std::byte* region) noexcept {
    (void)::madvise(region, EventArena::regionSize, MADV_POPULATE_WRITE);
    constexpr std::size_t page = 4096;
    for (std::size_t at = EventArena::blockAlignment; at < EventArena::regionSize; at += page)
        reinterpret_cast<volatile std::byte*>(region)[at] = std::byte{0};
}

}  // namespace

// The region made ready ahead, handed from the work that maps it to the arena.
struct EventArena::Ahead {
    std::mutex mutex;
    std::byte* ready = nullptr;
    bool preparing = false;
    bool closed = false;  // the arena is gone: a region made ready now is released

    std::byte* take() {
        std::lock_guard lock(mutex);
        return std::exchange(ready, nullptr);
    }
};

EventArena::EventArena() : ahead_(std::make_shared<Ahead>()) {}

EventArena::~EventArena() {
    if (region_) release(region_);
    std::byte* ready;
    {
        std::lock_guard lock(ahead_->mutex);
        ahead_->closed = true;
        ready = std::exchange(ahead_->ready, nullptr);
    }
    if (ready) release(ready);
}

void EventArena::prepareNext() noexcept {
    {
        std::lock_guard lock(ahead_->mutex);
        if (ahead_->ready || ahead_->preparing) return;
        ahead_->preparing = true;
    }
    try {
        dispatch::DispatchQueue::global(dispatch::QoS::normal).async([ahead = ahead_] {
            std::byte* region = nullptr;
            try {
                region = mapRegion();
                makePresent(region);
            } catch (...) {  // no memory: the arena maps its next region when it needs it
            }
            std::lock_guard lock(ahead->mutex);
            ahead->preparing = false;
            if (!region) return;
            if (ahead->closed) return release(region);
            ahead->ready = region;
        });
    } catch (...) {
        std::lock_guard lock(ahead_->mutex);
        ahead_->preparing = false;
    }
}

void* EventArena::allocate(std::size_t bytes) {
    if (bytes > maxBlock) throw std::bad_alloc();
    bytes = (bytes + blockAlignment - 1) & ~(blockAlignment - 1);
    std::lock_guard lock(mutex_);
    if (!region_ || used_ + bytes > regionSize) {
        std::byte* fresh = ahead_->take();
        if (!fresh) fresh = mapRegion();
        if (region_) release(region_);
        region_ = fresh;
        used_ = blockAlignment;
        nextAsked_ = false;
    }
    if (!nextAsked_ && used_ + bytes > regionSize / 2) {
        nextAsked_ = true;
        prepareNext();
    }
    std::launder(reinterpret_cast<RegionHeader*>(region_))->holds.fetch_add(1, std::memory_order_relaxed);
    void* block = region_ + used_;
    used_ += bytes;
    return block;
}

void EventArena::deallocate(void* block) noexcept {
    const auto address = reinterpret_cast<std::uintptr_t>(block);
    release(reinterpret_cast<std::byte*>(address & ~(regionSize - 1)));
}

const dispatch::DispatchGroup& releaseWork() {
    static const dispatch::DispatchGroup* group = new dispatch::DispatchGroup;  // never destroyed: outlives static teardown
    return *group;
}

void waitForReleases() { releaseWork().wait(); }

}  // namespace qm
