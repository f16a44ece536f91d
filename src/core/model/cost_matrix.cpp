// The one cost model: the input matrix's validation and its costs, for both kinds.
#include <quorin/cost_matrix.h>

#include <cmath>
#include <limits>

#include <quorin/detail/introsort.h>
#include <sstream>
#include <stdexcept>

namespace quorin {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
// A positive probability this small next to a zero suggests the zero is an underflow.
constexpr double kNearZero = 1e-300;

[[noreturn]] void refuseEntry(std::size_t i, std::size_t j, double value, const char* what) {
    std::ostringstream message;
    message << "probs[" << i << "][" << j << "] is " << value << ": " << what;
    throw std::invalid_argument(message.str());
}

}  // namespace

ProbabilityMatrix logLikelihoods(MatrixRows rows) { return ProbabilityMatrix(std::move(rows), MatrixKind::LogLikelihoods); }

void checkProbabilities(const ProbabilityMatrix& probs) {
    const bool log = probs.holdsLogLikelihoods();
    for (std::size_t i = 0; i < probs.size(); ++i) {
        if (probs[i].empty()) throw std::invalid_argument("probs[" + std::to_string(i) + "] is empty");
        bool possible = false;
        for (std::size_t j = 0; j < probs[i].size(); ++j) {
            const double v = probs[i][j];
            if (log) {
                if (!(std::isfinite(v) || v == -kInf)) refuseEntry(i, j, v, "log-likelihoods must be finite or -inf");
                possible = possible || v != -kInf;
            } else if (!(std::isfinite(v) && v >= 0.0)) {
                refuseEntry(i, j, v, "probabilities must be finite and non-negative");
            }
        }
        if (log && !possible) {
            throw std::invalid_argument("probs[" + std::to_string(i) + "] is all -inf: a row needs a possible value");
        }
    }
}

void rowCosts(const ProbabilityMatrix& probs, std::size_t row, double* out) {
    const std::vector<double>& values = probs[row];
    if (!probs.holdsLogLikelihoods()) {
        for (std::size_t j = 0; j < values.size(); ++j) out[j] = -std::log(values[j]);
        return;
    }
    // The row's largest value m (the first of them), then the sum t of exp(l - m) over the
    // other entries: each term in [0, 1], the sum of the normalised row's mass besides m's.
    std::size_t top = 0;
    for (std::size_t j = 1; j < values.size(); ++j) {
        if (values[j] > values[top]) top = j;
    }
    const double m = values[top];
    double t = 0.0;
    for (std::size_t j = 0; j < values.size(); ++j) {
        if (j != top) t += std::exp(values[j] - m);
    }
    const double logSum = std::log1p(t);
    for (std::size_t j = 0; j < values.size(); ++j) {
        out[j] = values[j] == -kInf ? kInf : (m - values[j]) + logSum;
    }
}

CostMatrix costsOf(const ProbabilityMatrix& probs) {
    checkProbabilities(probs);
    CostMatrix costs(probs.size());
    for (std::size_t i = 0; i < probs.size(); ++i) {
        costs[i].resize(probs[i].size());
        rowCosts(probs, i, costs[i].data());
    }
    return costs;
}

std::vector<int> finiteColumnsByCost(const double* rowCosts, std::size_t columns) {
    std::vector<int> order;
    for (std::size_t j = 0; j < columns; ++j) {
        if (rowCosts[j] != kInf) order.push_back(static_cast<int>(j));
    }
    introsort(order.begin(), order.end(), [rowCosts](int a, int b) {
        return rowCosts[a] < rowCosts[b] || (rowCosts[a] == rowCosts[b] && a < b);
    });
    return order;
}

double configurationCost(const CostMatrix& costs, const int* columns) noexcept {
    double sum = 0.0;
    for (std::size_t i = 0; i < costs.size(); ++i) sum += costs[i][static_cast<std::size_t>(columns[i])];
    return sum;
}

LostPrecision lostPrecision(const ProbabilityMatrix& probs) {
    LostPrecision found;
    if (probs.holdsLogLikelihoods()) return found;
    for (std::size_t i = 0; i < probs.size(); ++i) {
        bool zero = false, positive = false, tiny = false;
        for (double p : probs[i]) {
            zero = zero || p == 0.0;
            positive = positive || p > 0.0;
            tiny = tiny || (p > 0.0 && p < kNearZero);
        }
        if (!probs[i].empty() && !positive) {
            found.kind = LostPrecision::AllZero;
            found.row = i;
            found.message = "probs[" + std::to_string(i) +
                            "] is all zero: the row has no possible value, so no configuration is possible. If the "
                            "zeros come from exp() underflowing, pass the log-likelihoods themselves (log=True)";
            return found;
        }
        if (zero && tiny && found.kind == LostPrecision::None) {
            found.kind = LostPrecision::NearZero;
            found.row = i;
            found.message = "probs[" + std::to_string(i) +
                            "] has zeros next to values below 1e-300: they may be underflowed likelihoods, which "
                            "quorin orders after every other configuration. Pass log-likelihoods (log=True) to keep "
                            "their order";
        }
    }
    return found;
}

}  // namespace quorin
