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

}  // namespace

EventArena::~EventArena() {
    if (region_) release(region_);
}

void* EventArena::allocate(std::size_t bytes) {
    if (bytes > maxBlock) throw std::bad_alloc();
    bytes = (bytes + blockAlignment - 1) & ~(blockAlignment - 1);
    std::lock_guard lock(mutex_);
    if (!region_ || used_ + bytes > regionSize) {
        std::byte* fresh = mapRegion();
        if (region_) release(region_);
        region_ = fresh;
        used_ = blockAlignment;
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

}  // namespace qm
