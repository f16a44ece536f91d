// A test of candidate configurations that runs inside the enumeration, in native code.
//
// A search hands configurations out in batches: `count` configurations of `rows` columns
// each, stored row-major as int32 (configuration k is columns[k * rows .. (k + 1) * rows),
// its column of row i at columns[k * rows + i]), with their costs beside them; a tester
// that takes bytes gets them as bytes where the matrix allows. A tester looks at a batch
// and says which configurations pass: for a key search, which candidate keys are the
// right one. Testers are immutable once built, so one object serves every thread of a
// search.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quorin {

// A test of candidate configurations, called on batches by the enumerator. test() may be called
// from several threads at once on the same object (it must not change the tester).
class Tester {
public:
    virtual ~Tester() = default;

    // Throws std::invalid_argument (a message naming what is wrong) when a matrix of these
    // row lengths cannot be tested by this tester (e.g. AES-128 wants 16 rows of at most 256).
    // A search calls it once, before the first batch, with the number of columns of every
    // row of its matrix.
    virtual void checkShape(const std::vector<std::size_t>& columnsPerRow) const;  // default: accepts all

    // Appends to `hits`, in ascending order, the indices k < count whose configuration
    // (columns[k * rows .. (k + 1) * rows), one column per row) passes; costs[k] is its cost.
    // `columns` holds count * rows values and `costs` count values (either may be null when
    // count is 0). Leaves what `hits` held before untouched.
    virtual void test(const std::int32_t* columns, const double* costs, std::size_t count, std::size_t rows,
                      std::vector<std::size_t>& hits) const = 0;

    // Whether the search may hand this tester its batches as bytes (testBytes) where every
    // row of the matrix has at most 256 columns. Default: false.
    virtual bool takesBytes() const { return false; }
    // test() on a batch whose columns are bytes: configuration k is columns[k * rows ..
    // (k + 1) * rows). Called instead of test() for a tester that takes bytes; the default
    // widens the batch and calls test().
    virtual void testBytes(const std::uint8_t* columns, const double* costs, std::size_t count, std::size_t rows,
                           std::vector<std::size_t>& hits) const;

    // Whether a hit is the only one there is (a false hit being as unlikely as guessing a
    // 128-bit key): a search can then stop at it. Default: false.
    virtual bool unique() const { return false; }
};

inline void Tester::checkShape(const std::vector<std::size_t>& /*columnsPerRow*/) const {}

inline void Tester::testBytes(const std::uint8_t* columns, const double* costs, std::size_t count, std::size_t rows,
                              std::vector<std::size_t>& hits) const {
    const std::vector<std::int32_t> wide(columns, columns + count * rows);
    test(wide.data(), costs, count, rows, hits);
}

}  // namespace quorin
