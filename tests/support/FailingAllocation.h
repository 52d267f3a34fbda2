#pragma once
// Allocation failures on demand, for tests of what code does when memory runs out. A
// test program that has FailingAllocation.cpp among its sources replaces every form of
// the global operator new (the operators delete stay as they are); allocations behave
// as usual until a test arms a failure, also under a sanitizer.

#include <cstddef>

namespace failalloc {

// While it lives, the calling thread's allocations are counted, and the one that
// comes after `succeeding` more have been made fails with std::bad_alloc; the ones
// after it succeed. A negative `succeeding` only counts.
class OnThisThread {
public:
    explicit OnThisThread(long succeeding = -1);
    ~OnThisThread();
    OnThisThread(const OnThisThread&) = delete;
    OnThisThread& operator=(const OnThisThread&) = delete;

    long made() const;    // allocations made, the failed one included
    bool failed() const;  // the armed failure has happened
};

// While it lives, every allocation of at least `bytes`, on any thread, fails.
class FromSize {
public:
    explicit FromSize(std::size_t bytes);
    ~FromSize();
    FromSize(const FromSize&) = delete;
    FromSize& operator=(const FromSize&) = delete;
};

}  // namespace failalloc
