// Counting sorts by small unsigned digits, and a radix sort built from them.
//
// A digit is any function from an element to [0, buckets). The passes are stable: elements
// with equal digits keep their input order. Parallel sorts use the same pieces: every
// thread counts its own part, offsets are laid out part after part, and every thread
// scatters its part.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace quorin {

// Adds, for every element of [first, first + n), one to counts[digit(element)].
template <class T, class Digit>
void countDigits(const T* first, std::size_t n, Digit&& digit, std::size_t* counts) {
    for (std::size_t i = 0; i < n; ++i) ++counts[digit(first[i])];
}

// Turns counts[0 .. buckets) into exclusive prefix sums starting at `base`; returns the
// end (base plus the total).
inline std::size_t countsToOffsets(std::size_t* counts, std::size_t buckets, std::size_t base = 0) {
    for (std::size_t b = 0; b < buckets; ++b) {
        const std::size_t c = counts[b];
        counts[b] = base;
        base += c;
    }
    return base;
}

// Writes every element of [first, first + n), in order, to out[offsets[digit(e)]++].
template <class T, class Digit>
void scatterByDigit(const T* first, std::size_t n, Digit&& digit, std::size_t* offsets, T* out) {
    for (std::size_t i = 0; i < n; ++i) out[offsets[digit(first[i])]++] = first[i];
}

// Sorts data[0 .. n) stably by key(element), an unsigned value below 2^bits (bits <= 64),
// least significant digit first in digits of at most 11 bits; `scratch` holds n elements.
// The result is in `data`.
template <class T, class Key>
void radixSort(T* data, T* scratch, std::size_t n, unsigned bits, Key&& key) {
    constexpr unsigned kDigitBits = 11;
    if (n < 2 || bits == 0) return;
    const unsigned passes = (bits + kDigitBits - 1) / kDigitBits;
    const unsigned digitBits = (bits + passes - 1) / passes;
    const std::uint64_t mask = (std::uint64_t{1} << digitBits) - 1;
    std::vector<std::size_t> counts(std::size_t{1} << digitBits);
    T* from = data;
    T* to = scratch;
    for (unsigned pass = 0; pass < passes; ++pass) {
        const unsigned shift = pass * digitBits;
        auto digit = [&](const T& e) { return static_cast<std::size_t>((static_cast<std::uint64_t>(key(e)) >> shift) & mask); };
        std::fill(counts.begin(), counts.end(), std::size_t{0});
        countDigits(from, n, digit, counts.data());
        countsToOffsets(counts.data(), counts.size());
        scatterByDigit(from, n, digit, counts.data(), to);
        std::swap(from, to);
    }
    if (from != data) {
        for (std::size_t i = 0; i < n; ++i) data[i] = from[i];
    }
}

}  // namespace quorin
