#include "walk/cost_model.h"

#include <algorithm>
#include <cmath>


namespace quorin {
namespace detail {

Model::Model(const ProbabilityMatrix& probs) : n(probs.size()) {
    rowStart.assign(n + 1, 0);
    for (std::size_t i = 0; i < n; ++i) rowStart[i + 1] = rowStart[i] + probs[i].size();
    cost.resize(rowStart[n]);
    std::size_t widest = 1;
    for (std::size_t i = 0; i < n; ++i) {
        widest = std::max(widest, probs[i].size());
        rowCosts(probs, i, cost.data() + rowStart[i]);
    }
    width = widest <= 256 ? 1 : widest <= 65536 ? 2 : 4;
    rowCost.resize(n);
    for (std::size_t i = 0; i < n; ++i) rowCost[i] = cost.data() + rowStart[i];

    candStart.assign(n + 1, 0);
    rowMin.assign(n, 0.0);
    rowMax.assign(n, 0.0);
    double absSum = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double* c = rowCost[i];
        const std::vector<int> order = finiteColumnsByCost(c, columns(i));
        const Position finite = order.size();
        anyInf = anyInf || order.size() != columns(i);
        total = saturatingMul(total, columns(i));
        finiteCount = saturatingMul(finiteCount, finite);
        if (order.empty()) {
            anyFinite = false;
        } else {
            rowMin[i] = c[order.front()];
            rowMax[i] = c[order.back()];
            absSum += std::max(std::fabs(rowMin[i]), std::fabs(rowMax[i]));
            for (std::size_t k = 1; k < order.size(); ++k) {
                const double gap = c[order[k]] - rowMin[i];
                if (gap > 0) {
                    minGap = std::min(minGap, gap);
                    break;
                }
            }
        }
        for (int j : order) {
            candCost.push_back(c[j]);
            candDelta.push_back(c[j] - rowMin[i]);
            candColumn.push_back(static_cast<std::uint32_t>(j));
        }
        candStart[i + 1] = candCost.size();
    }
    minBefore.assign(n + 1, 0.0);
    for (std::size_t i = 0; i < n; ++i) minBefore[i + 1] = minBefore[i] + rowMin[i];
    minAfter.assign(n + 1, 0.0);
    maxAfter.assign(n + 1, 0.0);
    deltaAfter.assign(n + 1, 0.0);
    infAfter.assign(n + 1, 0);
    for (std::size_t i = n; i-- > 0;) {
        minAfter[i] = minAfter[i + 1] + rowMin[i];
        maxAfter[i] = maxAfter[i + 1] + rowMax[i];
        deltaAfter[i] = deltaAfter[i + 1] + (rowMax[i] - rowMin[i]);
        bool inf = false;
        for (std::size_t j = 0; j < columns(i); ++j) inf = inf || rowCost[i][j] == kInf;
        infAfter[i] = infAfter[i + 1] || inf;
    }
    if (anyFinite) {
        for (std::size_t i = 0; i < n; ++i) {
            cheapest += rowMin[i];
            dearest += rowMax[i];
        }
    }
    // Every sum here has at most n + 2 terms bounded by absSum in total: each rounding
    // moves it by at most 2^-53 of that, and estimates combine a few such sums.
    margin = 32.0 * static_cast<double>(n + 4) * std::ldexp(absSum, -53);
}

}  // namespace detail
}  // namespace quorin
