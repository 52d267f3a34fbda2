#pragma once
// A value held on the heap: copies copy the value, moves move the pointer. Lets a
// sum type of records of very different sizes cost only what its case needs.

#include <memory>

namespace es {

template <class T>
class Box {
public:
    Box() = default;  // holds nothing yet; reads as a default value
    Box(T value) : p_(std::make_unique<T>(std::move(value))) {}
    Box(const Box& o) : p_(o.p_ ? std::make_unique<T>(*o.p_) : nullptr) {}
    Box(Box&&) noexcept = default;
    Box& operator=(const Box& o) {
        if (this != &o) p_ = o.p_ ? std::make_unique<T>(*o.p_) : nullptr;
        return *this;
    }
    Box& operator=(Box&&) noexcept = default;

    const T& operator*() const { return p_ ? *p_ : empty(); }
    const T* operator->() const { return &**this; }
    // The value for writing, made on first use.
    T& mutableValue() {
        if (!p_) p_ = std::make_unique<T>();
        return *p_;
    }

private:
    static const T& empty() {
        static const T value{};
        return value;
    }
    std::unique_ptr<T> p_;
};

}  // namespace es
