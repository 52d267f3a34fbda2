#include "FailingAllocation.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace {

struct ThreadState {
    bool counting = false;
    long made = 0;
    long failAt = -1;  // the count at which the next allocation fails; -1: none
    bool failed = false;
};
thread_local ThreadState state;
std::atomic<std::size_t> sizeLimit{SIZE_MAX};

void* allocate(std::size_t size) {
    if (size >= sizeLimit.load(std::memory_order_relaxed)) throw std::bad_alloc();
    if (state.counting) {
        const long index = state.made++;
        if (index == state.failAt) {
            state.failed = true;
            throw std::bad_alloc();
        }
    }
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) {
    return allocate(size);
}
void* operator new[](std::size_t size) {
    return allocate(size);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}

namespace failalloc {

OnThisThread::OnThisThread(long succeeding) {
    state = ThreadState{true, 0, succeeding, false};
}
OnThisThread::~OnThisThread() {
    state = ThreadState{};
}
long OnThisThread::made() const {
    return state.made;
}
bool OnThisThread::failed() const {
    return state.failed;
}

FromSize::FromSize(std::size_t bytes) {
    sizeLimit.store(bytes, std::memory_order_relaxed);
}
FromSize::~FromSize() {
    sizeLimit.store(SIZE_MAX, std::memory_order_relaxed);
}

}  // namespace failalloc
