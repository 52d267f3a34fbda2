#pragma once
// An object of each thread that uses it, made at its first use there and destroyed
// when the thread ends.
//
// Not a thread_local object with a destructor: the C library registers such an object
// at its first use with memory of its own and ends the process when that memory cannot
// be had. Here the object is held through a thread key instead, so that a thread that
// runs out of memory at its first use gets std::bad_alloc, as from any other allocation.

#include <pthread.h>

#include <new>

namespace qm {

template <class T>
T& perThread() {
    thread_local T* held = nullptr;  // a plain pointer: nothing to register
    if (held) [[likely]]
        return *held;
    static const pthread_key_t key = [] {
        pthread_key_t made;
        if (::pthread_key_create(&made, [](void* object) { delete static_cast<T*>(object); }) != 0)
            throw std::bad_alloc();
        return made;
    }();
    T* made = new T();
    if (::pthread_setspecific(key, made) != 0) {
        delete made;
        throw std::bad_alloc();
    }
    return *(held = made);
}

}  // namespace qm
