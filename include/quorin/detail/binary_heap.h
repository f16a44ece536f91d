// A binary heap in a growable array, with fixed tie rules.
//
// `lower(a, b)` is the lower-priority relation: the top is an element no other element
// is higher than. Slot 0 is the top; slot i has children 2i+1 and 2i+2. Push and pop are
// the classic sift-up and hole-to-leaf-then-sift-up algorithms, so equal elements leave
// in a fixed order: four equal pushes A, B, C, D pop as A, C, B, D.
//
// Memory layout (it changes no result): slots live one place into a 64-byte-aligned
// array, so two siblings always share a cache line and, for 16-byte elements, the four
// grandchildren of a slot fill exactly one; a pop fetches the slots a few levels below
// its hole ahead of time, which matters once the heap outgrows the caches.
#pragma once

#include <cstddef>
#include <new>
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

// Levels below the hole whose slots a prefetching pop requests ahead of time, and the
// heap size from which it does: smaller heaps stay in the caches.
constexpr int kPrefetchLevels = 3;
constexpr std::ptrdiff_t kPrefetchFromSize = std::ptrdiff_t{1} << 15;

// `hole` is empty in a heap of `len` slots: walk it down to a leaf, always taking the
// higher child (the right one on ties), then place `value` there by sift-up. With
// `Prefetch`, first[] must be a pointer into an array that holds every slot it names.
template <bool Prefetch = false, class It, class T, class Lower>
void siftDownThenUp(It first, std::ptrdiff_t hole, std::ptrdiff_t len, T value, Lower& lower) {
    const std::ptrdiff_t top = hole;
    std::ptrdiff_t child = hole;
    while (child < (len - 1) / 2) {
#if defined(__GNUC__)
        if (Prefetch && len >= kPrefetchFromSize) {
            // The descendants kPrefetchLevels below: 2^k consecutive slots.
            constexpr std::ptrdiff_t span = std::ptrdiff_t{1} << kPrefetchLevels;
            const std::ptrdiff_t firstDescendant = span * (hole + 1) - 1;
            if (firstDescendant < len) {
                const std::ptrdiff_t count = len - firstDescendant < span ? len - firstDescendant : span;
                const char* from = reinterpret_cast<const char*>(&first[firstDescendant]);
                for (std::size_t offset = 0; offset < count * sizeof(T); offset += 64) __builtin_prefetch(from + offset);
            }
        }
#endif
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

// Allocates 64-byte-aligned arrays for the heap's storage.
template <class T>
struct CacheLineAllocator {
    using value_type = T;
    CacheLineAllocator() = default;
    template <class U>
    CacheLineAllocator(const CacheLineAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) { return static_cast<T*>(::operator new(n * sizeof(T), std::align_val_t{64})); }
    void deallocate(T* p, std::size_t) noexcept { ::operator delete(p, std::align_val_t{64}); }
    template <class U>
    bool operator==(const CacheLineAllocator<U>&) const noexcept { return true; }
    template <class U>
    bool operator!=(const CacheLineAllocator<U>&) const noexcept { return false; }
};

template <class T, class Lower>
class BinaryHeap {
public:
    using value_type = T;

    BinaryHeap() : storage_(1) {}

    bool empty() const noexcept { return storage_.size() == 1; }
    std::size_t size() const noexcept { return storage_.size() - 1; }
    // The element in slot 0. Requires !empty().
    const T& top() const noexcept { return storage_[1]; }
    // The element in slot i (heap order: slot 0 is the top). Requires i < size().
    const T& slot(std::size_t i) const noexcept { return storage_[i + 1]; }

    // Makes room for `extra` more elements, growing geometrically, so that that many
    // pushes do not allocate. Either succeeds or changes nothing.
    void reserveMore(std::size_t extra) {
        const std::size_t needed = storage_.size() + extra;
        if (needed <= storage_.capacity()) return;
        storage_.reserve(needed > 2 * storage_.capacity() ? needed : 2 * storage_.capacity());
    }

    // Inserts `value`; it rises only past elements strictly lower than it.
    void push(T value) {
#if defined(__GNUC__)
        // The new slot's ancestors, where the value may rise, all requested at once.
        if (static_cast<std::ptrdiff_t>(storage_.size()) >= heap_detail::kPrefetchFromSize) {
            for (std::size_t slot = size(); slot > 0;) {
                slot = (slot - 1) / 2;
                __builtin_prefetch(&storage_[slot + 1]);
            }
        }
#endif
        storage_.push_back(std::move(value));
        T moving = std::move(storage_.back());
        const auto last = static_cast<std::ptrdiff_t>(size()) - 1;
        heap_detail::siftUp(slots(), last, 0, std::move(moving), lower_);
    }

    // Removes the top element and returns it. Requires !empty().
    T pop() {
        const auto last = static_cast<std::ptrdiff_t>(size()) - 1;
        T result = std::move(storage_[1]);
        if (last > 0) {
            T moving = std::move(storage_.back());
            heap_detail::siftDownThenUp<true>(slots(), 0, last, std::move(moving), lower_);
        }
        storage_.pop_back();
        return result;
    }

    // Appends `value` as the last slot without sifting it: for restoring slots saved in
    // heap order, whose heap property the caller checks. Requires room (see reserveMore).
    void appendSlot(const T& value) { storage_.push_back(value); }

    friend bool operator==(const BinaryHeap& a, const BinaryHeap& b) { return a.storage_ == b.storage_; }

private:
    T* slots() noexcept { return storage_.data() + 1; }

    // storage_[0] is padding; slot i is storage_[i + 1].
    std::vector<T, CacheLineAllocator<T>> storage_;
    Lower lower_;
};

}  // namespace quorin
