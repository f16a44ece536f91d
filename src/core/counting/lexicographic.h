// Counts in the column order (not installed): the order of the configurations of cost
// +inf, and of equal costs, is lexicographic in their columns.
#pragma once

#include <utility>
#include <vector>

#include <quorin/types.h>
#include <quorin/weight_table.h>

namespace quorin {
namespace detail {

// For every row i, the completions of rows i .. (of any cost, and of finite cost); one
// more entry, 1, for the empty completion past the last row.
struct CompletionsAfter {
    std::vector<Count> all, finite;
};
CompletionsAfter completionsAfter(const CostMatrix& costs);

// Configurations lexicographically before `columns` (valid columns of `costs`): all of
// them, and those of finite cost.
std::pair<Count, Count> lexicographicallyBefore(const CostMatrix& costs, const std::vector<int>& columns);

}  // namespace detail
}  // namespace quorin
