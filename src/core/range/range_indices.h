// Where configurations fall in a range walk's range (not installed): one counted by runs
// of the suffix list, many counted together by their slots among them.
#pragma once

#include <atomic>
#include <vector>

#include <quorin/detail/thread_pool.h>
#include <quorin/types.h>

#include "range/range_plan.h"

namespace quorin {
namespace detail {

// Throws std::invalid_argument unless `columns` is a configuration of the model.
void checkColumnsOf(const Model& m, const std::vector<int>& columns);

// How many configurations of the plan's range come before `columns`: one count, no
// configuration placed.
Position indexIn(const RangePlan& plan, ThreadPool& pool, const std::vector<int>& columns,
                 const std::atomic<bool>* interrupt);

// The indices in the plan's range of several configurations (each a configuration of the
// matrix, in any order, repeats allowed), counted together: a walk of the range for every
// group of them, each configuration of the group's span put in its slot among them.
std::vector<Position> indicesIn(const RangePlan& plan, ThreadPool& pool, const std::vector<std::vector<int>>& targets,
                                const std::atomic<bool>* interrupt);

}  // namespace detail
}  // namespace quorin
