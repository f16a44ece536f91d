// Helpers shared by the C++ tests.
#pragma once

#include <cmath>
#include <cstddef>
#include <vector>

#include <quorin/quorin.h>

namespace quorin_test {

using Configuration = std::vector<int>;

// Every configuration the enumerator hands out, at most `limit` of them.
inline std::vector<Configuration> drain(quorin::Quorin& q, std::size_t limit = 1000000) {
    std::vector<Configuration> out;
    Configuration columns;
    while (out.size() < limit && q.next(columns)) out.push_back(columns);
    return out;
}

inline std::vector<Configuration> enumerate(const quorin::ProbabilityMatrix& probs, bool cache = true) {
    quorin::Quorin q(probs, cache);
    return drain(q);
}

// Cost of a configuration given by column indices, summed in row order.
inline double cost(const quorin::ProbabilityMatrix& probs, const Configuration& columns) {
    double sum = 0.0;
    for (std::size_t i = 0; i < columns.size(); ++i) sum += -std::log(probs[i][columns[i]]);
    return sum;
}

// Every configuration of the matrix, in odometer order.
inline std::vector<Configuration> allConfigurations(const quorin::ProbabilityMatrix& probs) {
    std::vector<Configuration> all;
    Configuration current(probs.size(), 0);
    while (true) {
        all.push_back(current);
        std::size_t row = 0;
        while (row < probs.size() && ++current[row] == static_cast<int>(probs[row].size())) {
            current[row] = 0;
            ++row;
        }
        if (row == probs.size()) return all;
    }
}

}  // namespace quorin_test
