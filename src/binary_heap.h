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

    // Inserts `value`; it rises only past elements strictly lower than it.
    void push(T value) {
        slots_.push_back(std::move(value));
        T moving = std::move(slots_.back());
        siftUp(slots_.size() - 1, 0, std::move(moving));
    }

    // Removes the top element and returns it. Requires !empty().
    T pop() {
        const std::size_t last = slots_.size() - 1;
        T result = std::move(slots_[0]);
        if (last > 0) {
            T moving = std::move(slots_[last]);
            refill(last, std::move(moving));
        }
        slots_.pop_back();
        return result;
    }

private:
    // Moves `value` into `hole`, or up past ancestors it is higher than, never above `top`.
    void siftUp(std::size_t hole, std::size_t top, T value) {
        while (hole > top) {
            const std::size_t parent = (hole - 1) / 2;
            if (!lower_(slots_[parent], value)) break;
            slots_[hole] = std::move(slots_[parent]);
            hole = parent;
        }
        slots_[hole] = std::move(value);
    }

    // Slot 0 is a hole in a heap of `len` slots: walk it down to a leaf, always taking the
    // higher child (the right one on ties), then place `value` there by sift-up.
    void refill(std::size_t len, T value) {
        std::size_t hole = 0;
        std::size_t child = 0;
        while (child < (len - 1) / 2) {
            child = 2 * (child + 1);
            if (lower_(slots_[child], slots_[child - 1])) --child;
            slots_[hole] = std::move(slots_[child]);
            hole = child;
        }
        if ((len & 1) == 0 && child == (len - 2) / 2) {
            child = 2 * (child + 1);
            slots_[hole] = std::move(slots_[child - 1]);
            hole = child - 1;
        }
        siftUp(hole, 0, std::move(value));
    }

    std::vector<T> slots_;
    Lower lower_;
};

}  // namespace quorin
