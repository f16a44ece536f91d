// Windows inside one cost: when a single cost holds more configurations than a window, and
// for the configurations of cost +inf, a walk in column order hands them out in order.
#include "windows/windows_impl.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <utility>

#include <quorin/detail/introsort.h>
#include <quorin/detail/radix_sort.h>

namespace quorin {

using namespace detail;

// The configurations of cost exactly lo.cost (infinite: of cost +inf) whose columns are
// not below lo.columns, in lexicographic order, at most `target` of them, into the window.
// Returns whether it stopped at that limit; `after` is then the next columns in
// lexicographic order (empty if there are none).
template <class Col>
bool WindowedEnumerator::Impl::lexWalk(const OrderBound& lo, bool infinite, std::vector<int>& after,
                                       const std::atomic<bool>* interrupt) {
    const Model& m = model;
    const std::size_t n = m.n;
    const double goal = lo.cost;
    store.claimed.store(0, std::memory_order_relaxed);
    store.sorted.clear();
    after.clear();
    if (n == 0) return false;
    std::vector<std::size_t> col(n);
    std::vector<double> P(n + 1, 0.0);
    std::vector<char> inf(n + 1, 0), tight(n + 1, 0);
    Record* rec = nullptr;
    unsigned char* cols = nullptr;
    std::size_t fill = store.block, blk = 0;
    unsigned steps = 0;
    std::size_t level = 0;
    tight[0] = 1;
    col[0] = static_cast<std::size_t>(lo.columns[0]);
    while (true) {
        if (col[level] >= m.columns(level)) {
            if (level == 0) return false;
            --level;
            ++col[level];
            continue;
        }
        if (++steps == kCheckEvery) {
            steps = 0;
            if (raised(interrupt)) throw Interrupted();
        }
        const double c = m.rowCost[level][col[level]];
        const bool hasInf = inf[level] || c == kInf;
        double p = 0.0;
        if (infinite) {
            if (!hasInf && !m.infAfter[level + 1]) {
                ++col[level];
                continue;
            }
        } else {
            p = P[level] + c;
            if (c == kInf || p + m.minAfter[level + 1] > goal + 2 * m.margin ||
                p + m.maxAfter[level + 1] < goal - 2 * m.margin) {
                ++col[level];
                continue;
            }
        }
        if (level + 1 < n) {
            tight[level + 1] = tight[level] && col[level] == static_cast<std::size_t>(lo.columns[level]);
            col[level + 1] = tight[level + 1] ? static_cast<std::size_t>(lo.columns[level + 1]) : 0;
            P[level + 1] = p;
            inf[level + 1] = hasInf;
            ++level;
            continue;
        }
        if (infinite ? hasInf : p == goal) {
            if (store.sorted.size() == target) {
                after.assign(col.begin(), col.end());
                return true;
            }
            if (fill == store.block) {
                if (!store.claim(blk)) throw std::logic_error("window storage too small");
                fill = 0;
                rec = store.records[blk].get();
                cols = store.columnBlock(blk);
            }
            (void)rec;
            Col* dst = reinterpret_cast<Col*>(cols + fill * store.entryBytes);
            for (std::size_t i = 0; i < n; ++i) dst[i] = static_cast<Col>(col[i]);
            store.sorted.push_back(Record{infinite ? kInf : goal, static_cast<std::uint32_t>(blk * store.block + fill), 0});
            ++fill;
        }
        ++col[level];
    }
}

void WindowedEnumerator::Impl::lexWindow(const OrderBound& lo, bool infinite, const std::atomic<bool>* interrupt) {
    std::vector<int> after;
    bool limited = false;
    withColumnType([&](auto col) { limited = lexWalk<decltype(col)>(lo, infinite, after, interrupt); });
    windowCount = store.sorted.size();
    windowHi.columns.assign(model.n, 0);
    if (limited) {
        windowHi.cost = lo.cost;
        windowHi.columns = after;
        windowLast = false;
        tieContinues = true;
        return;
    }
    tieContinues = false;
    if (infinite) {
        windowHi.cost = kInf;
        windowLast = true;
    } else {
        windowHi.cost = std::nextafter(lo.cost, kInf);
        windowLast = false;
    }
}

}  // namespace quorin
