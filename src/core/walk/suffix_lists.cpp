#include "walk/suffix_lists.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <mutex>
#include <thread>

namespace quorin {
namespace detail {
namespace {

// The prefixes of the deepest list's first row a range may enter from which early lists
// are built.
constexpr double kEarlyFrom = double(1 << 20);
// Memory of the deepest list's entries (enough to keep the prefixes walked per
// configuration few, small enough to build in well under a second), of each early list's
// at most, and of all early lists' at most.
constexpr SuffixListBytes kDefaultBytes{std::size_t{32} << 20, std::size_t{16} << 20, std::size_t{256} << 20};
// Early lists take that memory where a range would enter at least this many prefixes of
// the deepest list's first row (past about 2^36 on a 16 x 256 matrix), and kEarlyShare of
// it elsewhere. Measured on the benchmark's 16 x 256 matrices: at 2^40 a task walks 20 to
// 30% sooner with 16 MiB lists than with 6 (about 190 MiB more), at 2^36 (Hamming-weight)
// the first task 0.25 s later and each later one 0.2 s sooner, while at 2^28 building them
// made a search of 2^28 configurations 3 to 5% slower.
constexpr double kRoomyFrom = 4294967296.0;  // 2^32
constexpr double kEarlyShare = 0.375;

// The lists kept for one matrix, known by its costs.
struct Kept {
    std::mutex mutex;
    std::vector<double> cost;
    std::vector<std::size_t> rowStart;
    std::shared_ptr<const SuffixList> deepest;
    std::vector<std::shared_ptr<const SuffixList>> early;
    std::vector<double> earlyLimit;  // by first row: the most budget memory allows
    std::size_t earlyBytes = 0;      // each early list's memory earlyLimit allows
    SuffixListBytes bytes = kDefaultBytes;
};

Kept& kept() {
    static Kept k;
    return k;
}

bool sameMatrix(const Kept& k, const Model& m) { return k.rowStart == m.rowStart && k.cost == m.cost; }

// The key budget a range below hiCost needs of the rows [first, n).
double needOf(const Model& m, double hiCost, std::size_t first) {
    const double need = hiCost == kInf ? kInf : hiCost - m.minBefore[first] - m.minAfter[first] + 4 * m.margin;
    return std::min(need, m.deltaAfter[first] + m.margin);
}

std::size_t entriesFitting(const Model& m, std::size_t first, std::size_t bytes) {
    return bytes / std::max<std::size_t>(1, (m.n - first) * m.width);
}

// An early list of the rows [first, n) up to `budget`, about one bucket per entry.
std::shared_ptr<const SuffixList> buildEarly(const Model& m, std::size_t first, double budget, std::size_t maxEntries,
                                             const std::atomic<bool>* interrupt) {
    const double most = std::min(static_cast<double>(kTableBuckets), 2.0 * static_cast<double>(maxEntries) + 64);
    double scale = budget > 0 ? std::exp2(std::floor(std::log2(most / budget))) : 1.0;
    if (!(scale < 1e300)) scale = 1e300;
    while (scale > 1e-300 && budget * scale + 1 > most) scale /= 2;
    const std::size_t buckets = static_cast<std::size_t>(std::max(0.0, budget * scale)) + 1;
    auto list = std::make_shared<SuffixList>();
    if (!buildSuffixList(m, *list, first, budget, scale, buckets, maxEntries, interrupt)) return nullptr;
    return list;
}

}  // namespace

SuffixLists suffixListsFor(const Model& m, double hiCost, bool early, unsigned threads,
                           const std::atomic<bool>* interrupt, double ahead) {
    if (!(ahead >= 0)) ahead = hiCost < kInf ? (hiCost - m.cheapest) / 64 : 0.0;
    const double roomy = hiCost < kInf ? hiCost + ahead : hiCost;
    Kept& k = kept();
    std::lock_guard<std::mutex> lock(k.mutex);
    if (!sameMatrix(k, m)) {
        k.cost = m.cost;
        k.rowStart = m.rowStart;
        k.deepest.reset();
        k.early.assign(m.n + 1, nullptr);
        k.earlyLimit.clear();
    }
    // A kept deepest list serves when its budget covers the range, unless it is more than
    // twice what the range needs (a range far shallower walks faster with a longer list).
    const double deepNeed = k.deepest ? needOf(m, hiCost, k.deepest->first) : 0.0;
    if (!k.deepest || !(k.deepest->budget >= deepNeed) || deepNeed * 2 < k.deepest->budget) {
        k.deepest.reset();  // its memory back before the next is built
        auto list = std::make_shared<SuffixList>();
        fitSuffixList(m, *list, roomy, k.bytes.deepest, interrupt);
        k.deepest = std::move(list);
    }
    SuffixLists lists{k.deepest, std::vector<std::shared_ptr<const SuffixList>>(m.n + 1)};
    const std::size_t s = k.deepest->first;
    if (!early || s < 2 || hiCost == kInf) return lists;
    // Early lists pay only where the walk would enter many prefixes; elsewhere building
    // them would cost more than they save.
    const double enter = prefixCountBound(m, s, needOf(m, hiCost, 0));
    if (enter < kEarlyFrom) return lists;
    std::size_t bytes = std::min(k.bytes.early, k.bytes.earlyTotal / std::max<std::size_t>(1, m.n));
    if (enter < kRoomyFrom) bytes = static_cast<std::size_t>(static_cast<double>(bytes) * kEarlyShare);
    if (bytes > k.earlyBytes) {  // larger lists than those kept: built anew
        k.earlyLimit.clear();
        k.early.assign(m.n + 1, nullptr);
    }
    if (k.earlyLimit.empty()) {
        k.earlyBytes = bytes;
        std::vector<double> most(m.n + 1);
        for (std::size_t j = 0; j <= m.n; ++j) most[j] = static_cast<double>(entriesFitting(m, j, bytes));
        k.earlyLimit = budgetsWithin(m, m.deltaAfter[0] + m.margin, most);
    }
    // The lists to build, then built on `threads` threads (each list on one).
    std::vector<std::size_t> stale;
    std::vector<double> budgets(m.n + 1, 0.0);
    for (std::size_t j = 1; j < s; ++j) {
        const double want = std::min(k.earlyLimit[j], needOf(m, hiCost, j));
        if (!(want > 0)) continue;
        if (!k.early[j] || !(k.early[j]->budget >= want)) {
            k.early[j].reset();
            budgets[j] = std::max(want, std::min(k.earlyLimit[j], needOf(m, roomy, j)));
            stale.push_back(j);
        }
    }
    std::atomic<std::size_t> next{0};
    std::exception_ptr error;
    std::mutex errorMutex;
    auto build = [&] {
        try {
            for (std::size_t i; (i = next.fetch_add(1)) < stale.size();) {
                const std::size_t j = stale[i];
                k.early[j] = buildEarly(m, j, budgets[j], entriesFitting(m, j, k.earlyBytes), interrupt);
            }
        } catch (...) {
            std::lock_guard<std::mutex> hold(errorMutex);
            if (!error) error = std::current_exception();
            next.store(stale.size());
        }
    };
    std::vector<std::thread> helpers;
    for (unsigned t = 1; t < threads && t < stale.size(); ++t) helpers.emplace_back(build);
    build();
    for (std::thread& t : helpers) t.join();
    if (error) std::rethrow_exception(error);
    for (std::size_t j = 1; j < s; ++j) lists.early[j] = k.early[j];
    return lists;
}

namespace {

void forget(Kept& k) {
    k.cost.clear();
    k.rowStart.clear();
    k.deepest.reset();
    k.early.clear();
    k.earlyLimit.clear();
    k.earlyBytes = 0;
}

}  // namespace

void releaseSuffixLists() noexcept {
    Kept& k = kept();
    std::lock_guard<std::mutex> lock(k.mutex);
    forget(k);
}

SuffixListBytes setSuffixListBytes(SuffixListBytes bytes) {
    Kept& k = kept();
    std::lock_guard<std::mutex> lock(k.mutex);
    forget(k);
    std::swap(k.bytes, bytes);
    return bytes;
}

}  // namespace detail
}  // namespace quorin
