// Tests of candidate configurations that the enumeration runs in C++.
//
// A search hands a tester batches of configurations; the tester says which pass (for a key
// search: which keys map a known plaintext to its ciphertext). Implement test() for another
// cipher or a hash; quorin::Aes128Tester is one implementation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quorin {

// A test of candidate configurations, called on batches by the enumerator. test() may be
// called from several threads at once on the same object (it must not change the tester).
class Tester {
public:
    virtual ~Tester() = default;
    // Throws std::invalid_argument (a message naming what is wrong) when a matrix of these
    // row lengths cannot be tested by this tester. The default accepts every matrix.
    virtual void checkShape(const std::vector<std::size_t>& columnsPerRow) const { (void)columnsPerRow; }
    // Appends to `hits`, in ascending order, the indices k < count whose configuration
    // (columns[k * rows .. (k + 1) * rows), one column per row) passes; costs[k] is its cost.
    virtual void test(const std::int32_t* columns, const double* costs, std::size_t count, std::size_t rows,
                      std::vector<std::size_t>& hits) const = 0;
};

}  // namespace quorin
