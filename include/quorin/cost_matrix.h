// The input matrix and its costs: the one cost model every engine reads.
//
// A matrix has one row per variable and one entry per value of it, of one of two kinds:
//
// - MatrixKind::Probabilities (the default): finite and non-negative, not necessarily
//   summing to 1. cost = -std::log(p), +inf for p = 0.
// - MatrixKind::LogLikelihoods: natural-log likelihoods, any finite reals or -inf (an
//   impossible value), unnormalised. The costs are those of the normalised probabilities,
//   -ln of each row's softmax, computed without leaving the log domain:
//   cost[i][j] = (m_i - l[i][j]) + log1p(t_i), with m_i the row's largest value and t_i the
//   sum of exp(l - m_i) over the row's other entries (so the row's log-sum-exp is
//   m_i + log1p(t_i)). Rows spanning thousands of nats keep their order, where exp would
//   have turned most entries into 0.
//
// The kind travels with the matrix: every engine (Quorin, WindowedEnumerator, RangeWalk,
// testRange, cutRange, count, rank, position, select, costsOf) takes a ProbabilityMatrix
// and reads its kind.
//
//     quorin::Quorin a({{0.2, 0.8}, {0.1, 0.9}});                      // probabilities
//     quorin::Quorin b(quorin::logLikelihoods({{-1200.0, -3.5}, {0.0, -2.0}}));
//     quorin::CountBounds r = quorin::rank(quorin::logLikelihoods(scores), key);
//
// Peer tools that take costs (-ln p) convert in one line: logLikelihoods of the negated
// costs.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "types.h"

namespace quorin {

// The matrix of natural-log likelihoods `rows`.
ProbabilityMatrix logLikelihoods(MatrixRows rows);

// Throws std::invalid_argument unless every row has at least one entry and every entry is
// valid for the matrix's kind. Messages: "probs[i] is empty"; probabilities: "probs[i][j]
// is V: probabilities must be finite and non-negative"; log-likelihoods: "probs[i][j] is
// V: log-likelihoods must be finite or -inf" and "probs[i] is all -inf: a row needs a
// possible value". (A probability row of zeros only is accepted here: its configurations
// all cost +inf; see lostPrecision.)
void checkProbabilities(const ProbabilityMatrix& probs);

// Row `row`'s costs, by column, written to out[0 .. probs[row].size()). Requires a matrix
// checkProbabilities accepts.
void rowCosts(const ProbabilityMatrix& probs, std::size_t row, double* out);

// Every row's costs, after checkProbabilities (std::invalid_argument as it documents).
CostMatrix costsOf(const ProbabilityMatrix& probs);

// A row's finite-cost columns (those of costs rowCosts[0 .. columns)) by ascending
// (cost, column): a total order, so the list does not depend on how it is sorted. The
// columns of the cost order's engines; the heap enumerator keeps its own tie order.
std::vector<int> finiteColumnsByCost(const double* rowCosts, std::size_t columns);

// The cost of a configuration: the sum over rows, in row order from +0.0, of
// costs[i][columns[i]]. Requires one valid column per row.
double configurationCost(const CostMatrix& costs, const int* columns) noexcept;

// Where a probability matrix shows signs of underflow (a log-likelihood matrix never
// does): the first row whose entries are all zero (AllZero), else the first row holding
// a zero next to a positive value below 1e-300 (NearZero), with a message saying to pass
// log-likelihoods instead. kind None when there is nothing to say.
struct LostPrecision {
    enum Kind { None, AllZero, NearZero } kind = None;
    std::size_t row = 0;
    std::string message;
};
LostPrecision lostPrecision(const ProbabilityMatrix& probs);

}  // namespace quorin
