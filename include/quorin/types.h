// The types every engine shares: the input matrix, its costs, positions in the cost order
// and bounds in it. Plain data only: this header includes no other of quorin's, so every
// part of the library (and a user) can include it without pulling in an engine.
#pragma once

#include <utility>
#include <vector>

namespace quorin {

// What a matrix's entries are.
enum class MatrixKind : unsigned char {
    Probabilities = 0,
    LogLikelihoods = 1,
};

// Rows of doubles, row i for variable i; rows may differ in length.
using MatrixRows = std::vector<std::vector<double>>;

// The input of every engine: rows of probabilities, or of natural-log likelihoods when
// kind() says so. It is the rows themselves (a vector of rows), so it is built, read and
// changed as one; a copy keeps the kind. Built from plain rows it holds probabilities.
class ProbabilityMatrix : public MatrixRows {
public:
    using MatrixRows::MatrixRows;
    ProbabilityMatrix() = default;
    ProbabilityMatrix(MatrixRows rows, MatrixKind kind = MatrixKind::Probabilities)  // NOLINT: rows are a matrix
        : MatrixRows(std::move(rows)), kind_(kind) {}

    MatrixKind kind() const noexcept { return kind_; }
    void setKind(MatrixKind kind) noexcept { kind_ = kind; }
    bool holdsLogLikelihoods() const noexcept { return kind_ == MatrixKind::LogLikelihoods; }

    friend bool operator==(const ProbabilityMatrix& a, const ProbabilityMatrix& b) {
        return a.kind_ == b.kind_ && static_cast<const MatrixRows&>(a) == static_cast<const MatrixRows&>(b);
    }
    friend bool operator!=(const ProbabilityMatrix& a, const ProbabilityMatrix& b) { return !(a == b); }

private:
    MatrixKind kind_ = MatrixKind::Probabilities;
};

// Costs as every engine computes them (cost_matrix.h): costs[i][j] of row i's column j,
// +inf for an impossible value.
using CostMatrix = std::vector<std::vector<double>>;

// A 128-bit unsigned count (counts of configurations, sums of them).
__extension__ typedef unsigned __int128 Uint128;

// A position in the cost order (0-based), or a count of configurations.
__extension__ typedef unsigned __int128 Position;
// Stands for "every configuration" as a stop.
constexpr Position kNoStop = ~Position{0};

// A bound in the cost order. The configurations at or after it are those of greater cost
// and those of cost `cost` whose columns are not lexicographically smaller than
// `columns` (one per row; all zero for the start of a cost). Cost +inf bounds the
// zero-probability configurations.
struct OrderBound {
    double cost = 0.0;
    std::vector<int> columns;
};

}  // namespace quorin
