// A binary heap in a growable array, with fixed tie rules.
//
// `lower(a, b)` is the lower-priority relation: the top is an element no other element
// is higher than. Slot 0 is the top; slot i has children 2i+1 and 2i+2. Push and pop are
// the classic sift-up and hole-to-leaf-then-sift-up algorithms, so equal elements leave
// in a fixed order: four equal pushes A, B, C, D pop as A, C, B, D.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

namespace quorin {
namespace heap_detail {

// Moves `value` into `hole`, or up past ancestors lower than it, never above `top`.
template <class It, class T, class Lower>
void siftUp(It first, std::ptrdiff_t hole, std::ptrdiff_t top, T value, Lower& lower) {
    std::ptrdiff_t parent = (hole - 1) / 2;
    while (hole > top && lower(first[parent], value)) {
        first[hole] = std::move(first[parent]);
        hole = parent;
        parent = (hole - 1) / 2;
    }
    first[hole] = std::move(value);
}

// `hole` is empty in a heap of `len` slots: walk it down to a leaf, always taking the
// higher child (the right one on ties), then place `value` there by sift-up.
template <class It, class T, class Lower>
void siftDownThenUp(It first, std::ptrdiff_t hole, std::ptrdiff_t len, T value, Lower& lower) {
    const std::ptrdiff_t top = hole;
    std::ptrdiff_t child = hole;
    while (child < (len - 1) / 2) {
        child = 2 * (child + 1);
        if (lower(first[child], first[child - 1])) --child;
        first[hole] = std::move(first[child]);
        hole = child;
    }
    if ((len & 1) == 0 && child == (len - 2) / 2) {
        child = 2 * (child + 1);
        first[hole] = std::move(first[child - 1]);
        hole = child - 1;
    }
    siftUp(first, hole, top, std::move(value), lower);
}

}  // namespace heap_detail

template <class T, class Lower>
class BinaryHeap {
public:
    using value_type = T;

    bool empty() const noexcept { return slots_.empty(); }
    std::size_t size() const noexcept { return slots_.size(); }
    // The element in slot 0. Requires !empty().
    const T& top() const noexcept { return slots_.front(); }
    // The elements in heap order, slot 0 first.
    const std::vector<T>& slots() const noexcept { return slots_; }

    // Makes room for `extra` more elements, growing geometrically, so that that many
    // pushes do not allocate. Either succeeds or changes nothing.
    void reserveMore(std::size_t extra) {
        const std::size_t needed = slots_.size() + extra;
        if (needed <= slots_.capacity()) return;
        slots_.reserve(needed > 2 * slots_.capacity() ? needed : 2 * slots_.capacity());
    }

    // Inserts `value`; it rises only past elements strictly lower than it.
    void push(T value) {
        slots_.push_back(std::move(value));
        T moving = std::move(slots_.back());
        const auto last = static_cast<std::ptrdiff_t>(slots_.size()) - 1;
        heap_detail::siftUp(slots_.begin(), last, 0, std::move(moving), lower_);
    }

    // Removes the top element and returns it. Requires !empty().
    T pop() {
        const auto last = static_cast<std::ptrdiff_t>(slots_.size()) - 1;
        T result = std::move(slots_[0]);
        if (last > 0) {
            T moving = std::move(slots_[last]);
            heap_detail::siftDownThenUp(slots_.begin(), 0, last, std::move(moving), lower_);
        }
        slots_.pop_back();
        return result;
    }

    friend bool operator==(const BinaryHeap& a, const BinaryHeap& b) { return a.slots_ == b.slots_; }

private:
    std::vector<T> slots_;
    Lower lower_;
};

}  // namespace quorin
