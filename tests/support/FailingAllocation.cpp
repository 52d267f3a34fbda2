#include "FailingAllocation.h"

#include <dlfcn.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <utility>

// Every form of operator new is replaced, and each passes the allocations it lets
// through to the definition it stands in front of (the sanitizer's when there is one,
// else the C++ library's), so every block is made and freed by that definition's own
// pair of operators: the operators delete are not replaced.

namespace {

struct ThreadState {
    bool counting = false;
    long made = 0;
    long failAt = -1;  // the count at which the next allocation fails; -1: none
    bool failed = false;
    bool forwarding = false;  // inside the next definition, which may call back into ours
};
thread_local ThreadState state;
std::atomic<std::size_t> sizeLimit{SIZE_MAX};

// Whether the allocation being made is one to fail.
bool failsNow(std::size_t size) noexcept {
    if (state.forwarding) return false;  // counted already, as the allocation that called it
    if (size >= sizeLimit.load(std::memory_order_relaxed)) return true;
    if (state.counting) {
        const long index = state.made++;
        if (index == state.failAt) {
            state.failed = true;
            return true;
        }
    }
    return false;
}

struct Forwarding {
    bool was = std::exchange(state.forwarding, true);
    ~Forwarding() { state.forwarding = was; }
};

// The next definition of the operator of that (mangled) name.
template <class Operator>
Operator nextDefinition(const char* name) noexcept {
    void* found = ::dlsym(RTLD_NEXT, name);
    if (!found) std::abort();
    return reinterpret_cast<Operator>(found);
}

template <class Operator, class... Args>
void* allocate(Operator next, std::size_t size, Args... args) {
    if (failsNow(size)) throw std::bad_alloc();
    const Forwarding forwarding;
    return next(size, args...);
}

template <class Operator, class... Args>
void* allocateOrNull(Operator next, std::size_t size, Args... args) noexcept {
    if (failsNow(size)) return nullptr;
    const Forwarding forwarding;
    return next(size, args...);
}

using Plain = void* (*)(std::size_t);
using Aligned = void* (*)(std::size_t, std::align_val_t);
using PlainOrNull = void* (*)(std::size_t, const std::nothrow_t&) noexcept;
using AlignedOrNull = void* (*)(std::size_t, std::align_val_t, const std::nothrow_t&) noexcept;

}  // namespace

void* operator new(std::size_t size) {
    static const auto next = nextDefinition<Plain>("_Znwm");
    return allocate(next, size);
}
void* operator new[](std::size_t size) {
    static const auto next = nextDefinition<Plain>("_Znam");
    return allocate(next, size);
}
void* operator new(std::size_t size, std::align_val_t alignment) {
    static const auto next = nextDefinition<Aligned>("_ZnwmSt11align_val_t");
    return allocate(next, size, alignment);
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
    static const auto next = nextDefinition<Aligned>("_ZnamSt11align_val_t");
    return allocate(next, size, alignment);
}
void* operator new(std::size_t size, const std::nothrow_t& tag) noexcept {
    static const auto next = nextDefinition<PlainOrNull>("_ZnwmRKSt9nothrow_t");
    return allocateOrNull(next, size, tag);
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
    static const auto next = nextDefinition<PlainOrNull>("_ZnamRKSt9nothrow_t");
    return allocateOrNull(next, size, tag);
}
void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t& tag) noexcept {
    static const auto next = nextDefinition<AlignedOrNull>("_ZnwmSt11align_val_tRKSt9nothrow_t");
    return allocateOrNull(next, size, alignment, tag);
}
void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t& tag) noexcept {
    static const auto next = nextDefinition<AlignedOrNull>("_ZnamSt11align_val_tRKSt9nothrow_t");
    return allocateOrNull(next, size, alignment, tag);
}

namespace failalloc {

OnThisThread::OnThisThread(long succeeding) {
    state = ThreadState{true, 0, succeeding};
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
