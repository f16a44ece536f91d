#include "counting/lexicographic.h"

#include <algorithm>
#include <cstdint>
#include <limits>

namespace quorin {
namespace detail {

namespace {
constexpr double kInf = std::numeric_limits<double>::infinity();
}  // namespace

CompletionsAfter completionsAfter(const CostMatrix& costs) {
    const std::size_t n = costs.size();
    CompletionsAfter after{std::vector<Count>(n + 1), std::vector<Count>(n + 1)};
    after.all[n] = Count(1);
    after.finite[n] = Count(1);
    for (std::size_t i = n; i-- > 0;) {
        const std::vector<double>& row = costs[i];
        const auto finiteColumns = std::count_if(row.begin(), row.end(), [](double c) { return c < kInf; });
        after.all[i] = after.all[i + 1] * row.size();
        after.finite[i] = after.finite[i + 1] * static_cast<std::uint64_t>(finiteColumns);
    }
    return after;
}

std::pair<Count, Count> lexicographicallyBefore(const CostMatrix& costs, const std::vector<int>& columns) {
    const std::size_t n = costs.size();
    Count all, finite;
    const CompletionsAfter after = completionsAfter(costs);
    bool finitePrefix = true;
    for (std::size_t i = 0; i < n; ++i) {
        const auto key = static_cast<std::size_t>(columns[i]);
        all += after.all[i + 1] * key;
        if (finitePrefix) {
            std::uint64_t cheaper = 0;
            for (std::size_t j = 0; j < key; ++j) cheaper += costs[i][j] < kInf ? 1 : 0;
            finite += after.finite[i + 1] * cheaper;
            finitePrefix = costs[i][key] < kInf;
        }
    }
    return {all, finite};
}

}  // namespace detail
}  // namespace quorin
