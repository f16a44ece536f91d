// Unstable introsort with a fixed, documented element order.
//
// The algorithm is the classic one most C++ standard libraries ship: median-of-three
// quicksort (median moved to the front, unguarded Hoare partition, recursion on the
// right part, loop on the left), a depth limit of 2*floor(log2 n) after which the range
// is heap-sorted, and a final insertion sort (the first 16 elements guarded, the rest
// unguarded). Owning the code fixes where equal elements land on every compiler:
// ranges of at most 16 elements keep equal elements in their original order, longer
// ones leave them where the partition steps put them.
//
// `less` must be a strict comparison, but need not be a strict weak order (NaN keys are
// allowed): every scan that a consistent order would bound by itself is also bounded by
// the range, so the sort never reads or writes outside [first, last). Where the order is
// consistent those extra bounds never trigger, so they change no result.
//
// The heap-sort fallback uses the heap algorithms of binary_heap.h, with `less` as the
// lower-priority relation (a max-heap).
#pragma once

#include <cstddef>
#include <utility>

#include "binary_heap.h"

namespace quorin {
namespace introsort_detail {

constexpr std::ptrdiff_t kInsertionThreshold = 16;

inline int floorLog2(std::ptrdiff_t n) {
    int log = 0;
    while (n > 1) {
        n >>= 1;
        ++log;
    }
    return log;
}

template <class It, class Less>
void heapSort(It first, It last, Less& less) {
    const std::ptrdiff_t len = last - first;
    if (len < 2) return;
    for (std::ptrdiff_t parent = (len - 2) / 2;; --parent) {
        auto value = std::move(first[parent]);
        heap_detail::siftDownThenUp(first, parent, len, std::move(value), less);
        if (parent == 0) break;
    }
    for (std::ptrdiff_t end = len - 1; end > 0; --end) {
        auto value = std::move(first[end]);
        first[end] = std::move(first[0]);
        heap_detail::siftDownThenUp(first, std::ptrdiff_t{0}, end, std::move(value), less);
    }
}

template <class It, class Less>
void moveMedianToFirst(It result, It a, It b, It c, Less& less) {
    using std::swap;
    if (less(*a, *b)) {
        if (less(*b, *c)) swap(*result, *b);
        else if (less(*a, *c)) swap(*result, *c);
        else swap(*result, *a);
    } else if (less(*a, *c)) {
        swap(*result, *a);
    } else if (less(*b, *c)) {
        swap(*result, *c);
    } else {
        swap(*result, *b);
    }
}

// Partitions (pivot, last) around *pivot; returns the first element of the right part.
template <class It, class Less>
It partitionAround(It pivot, It last, Less& less) {
    using std::swap;
    It left = pivot + 1;
    It right = last;
    while (true) {
        while (left != last && less(*left, *pivot)) ++left;
        --right;
        while (right != pivot && less(*pivot, *right)) --right;
        if (!(left < right)) return left;
        swap(*left, *right);
        ++left;
    }
}

template <class It, class Less>
void introsortLoop(It first, It last, int depthLimit, Less& less) {
    while (last - first > kInsertionThreshold) {
        if (depthLimit == 0) {
            heapSort(first, last, less);
            return;
        }
        --depthLimit;
        It mid = first + (last - first) / 2;
        moveMedianToFirst(first, first + 1, mid, last - 1, less);
        It cut = partitionAround(first, last, less);
        introsortLoop(cut, last, depthLimit, less);
        last = cut;
    }
}

// Shifts *i left past every element it is strictly less than, never past `first`.
template <class It, class Less>
void linearInsert(It first, It i, Less& less) {
    auto value = std::move(*i);
    It hole = i;
    while (hole != first && less(value, *(hole - 1))) {
        *hole = std::move(*(hole - 1));
        --hole;
    }
    *hole = std::move(value);
}

template <class It, class Less>
void insertionSort(It first, It last, Less& less) {
    if (first == last) return;
    for (It i = first + 1; i != last; ++i) {
        if (less(*i, *first)) {
            auto value = std::move(*i);
            for (It j = i; j != first; --j) *j = std::move(*(j - 1));
            *first = std::move(value);
        } else {
            linearInsert(first, i, less);
        }
    }
}

template <class It, class Less>
void finalInsertionSort(It first, It last, Less& less) {
    if (last - first > kInsertionThreshold) {
        insertionSort(first, first + kInsertionThreshold, less);
        for (It i = first + kInsertionThreshold; i != last; ++i) linearInsert(first, i, less);
    } else {
        insertionSort(first, last, less);
    }
}

}  // namespace introsort_detail

// Sorts [first, last) ascending under the strict comparison `less`, unstably (see above).
template <class RandomIt, class Less>
void introsort(RandomIt first, RandomIt last, Less less) {
    if (last - first < 2) return;
    introsort_detail::introsortLoop(first, last, 2 * introsort_detail::floorLog2(last - first), less);
    introsort_detail::finalInsertionSort(first, last, less);
}

}  // namespace quorin
