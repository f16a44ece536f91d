// Locating a position of the cost order: the configuration at a given position, found
// through weight tables and exact counts of ever narrower brackets of costs, without
// enumerating what comes before it.
#include <quorin/counting.h>

#include <quorin/detail/introsort.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>

#include "counting/band_walk.h"
#include "counting/count_tables.h"
#include "counting/lexicographic.h"
#include "model/double_order.h"

namespace quorin {

namespace {

using detail::completionsAfter;
using detail::CompletionsAfter;
using detail::foldRows;
using detail::fromOrderedBits;
using detail::initialBins;
using detail::kUnlimited;
using detail::largestBins;
using detail::orderedBits;
using detail::tableFor;
using detail::walkThreads;

constexpr double kInf = detail::kCountInf;

// The configuration at `offset` among those of cost +inf, lexicographically.
Configuration selectInfinite(const CostMatrix& costs, Count offset) {
    const std::size_t n = costs.size();
    const CompletionsAfter after = completionsAfter(costs);
    const std::vector<Count>& allAfter = after.all;
    const std::vector<Count>& finiteAfter = after.finite;
    Configuration out{std::vector<int>(n, 0), kInf};
    bool infinitePrefix = false;
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < costs[i].size(); ++j) {
            const bool infinite = infinitePrefix || costs[i][j] == kInf;
            // Completions that make the configuration's cost +inf.
            const Count completions = infinite ? allAfter[i + 1] : allAfter[i + 1] - finiteAfter[i + 1];
            if (offset < completions) {
                out.columns[i] = static_cast<int>(j);
                infinitePrefix = infinite;
                break;
            }
            offset -= completions;
        }
    }
    return out;
}

// Narrows (lo, hi], with N(lo) <= p < N(hi) for N(t) the configurations of cost <= t,
// from the table alone: the weights bracket every cost within (rows + 1) steps. Returns
// about how many configurations the bracket may hold.
double bracketFromTable(const WeightTable& table, std::uint64_t p, double& lo, double& hi) {
    const auto target = static_cast<double>(p);
    const std::int64_t a = table.leastBudgetOver(target);
    if (a < 0) return table.completions(0, table.maxBudget());
    const double step = table.step(), base = table.base();
    const auto rows = static_cast<double>(table.rows());
    // Every configuration of weight <= a costs less than up; none of weight >= a costs down or less.
    double up = base + (static_cast<double>(a) + rows + 1.0) * step + 2.0 * table.margin(hi);
    while (table.budgetBelow(0, 0.0, up) < a) up += step;
    if (up < hi) hi = up;
    if (a > 0) {
        double down = base + static_cast<double>(a) * step - 2.0 * table.margin(hi);
        while (table.budgetReaching(0, 0.0, down) >= a) down -= step;
        if (down > lo) lo = down;
    }
    const std::int64_t top = std::min(table.maxBudget(), a + static_cast<std::int64_t>(table.rows()) + 2);
    return table.completions(0, top) - table.completions(0, a - 1);
}

// Exact counts of the configurations of cost exactly t below a node, for the one case a
// histogram cannot split: a crowd of configurations that all cost t.
class TieCounter {
public:
    TieCounter(const WeightTable& table, double t, const std::atomic<bool>* interrupt)
        : table_(table), t_(t), interrupt_(interrupt) {}

    // Configurations of cost exactly t below the node after `prefix` (rows 0 .. row-1).
    std::uint64_t below(std::size_t row, double prefix, std::int64_t weight) const {
        BandWalk walk(table_, t_, nullptr, kUnlimited, interrupt_);
        const Tally atMostT = walk.visit(row, prefix, weight, -1);
        const Tally belowT = walk.visit(row, prefix, weight, 1);
        if (atMostT.low != atMostT.high || belowT.low != belowT.high || atMostT.overflowed || belowT.overflowed) {
            throw std::length_error("quorin: the position is too far down to be found exactly");
        }
        return static_cast<std::uint64_t>(atMostT.low - belowT.low);
    }

private:
    const WeightTable& table_;
    double t_;
    const std::atomic<bool>* interrupt_;
};

// The configuration at `offset` among those of cost exactly t, lexicographically: a row at
// a time, the first column whose ties below reach past the offset.
Configuration selectTied(const WeightTable& table, double t, std::uint64_t offset, const std::atomic<bool>* interrupt) {
    const std::size_t rows = table.rows();
    const TieCounter ties(table, t, interrupt);
    Configuration out{std::vector<int>(rows, 0), t};
    double prefix = 0.0;
    std::int64_t weight = 0;
    for (std::size_t row = 0; row < rows; ++row) {
        const std::vector<int>& columns = table.columnsByCost(row);
        std::vector<std::size_t> byColumn(columns.size());
        for (std::size_t k = 0; k < columns.size(); ++k) byColumn[k] = k;
        introsort(byColumn.begin(), byColumn.end(), [&columns](std::size_t a, std::size_t b) { return columns[a] < columns[b]; });
        bool chosen = false;
        for (std::size_t k : byColumn) {
            if (table.weightsByCost(row)[k] > table.maxBudget() - weight) continue;
            const double next = prefix + table.costs()[row][columns[k]];
            const std::int64_t nextWeight = weight + table.weightsByCost(row)[k];
            const std::uint64_t tied = row + 1 == rows ? (next == t ? 1 : 0) : ties.below(row + 1, next, nextWeight);
            if (offset < tied) {
                out.columns[row] = columns[k];
                prefix = next;
                weight = nextWeight;
                chosen = true;
                break;
            }
            offset -= tied;
        }
        if (!chosen) throw std::logic_error("quorin: select lost its configuration");
    }
    return out;
}

// Splits a cost interval (lo, hi] into kBins bins (e_k, e_k+1], evenly in the order of the
// doubles (so that an interval of a few doubles still splits), and counts the
// configurations of each bin with the multiplicities a walk hands them out with.
class CostHistogram {
public:
    static constexpr bool kColumns = false;

    // 2^binBits bins (at most 2^20).
    CostHistogram(double lo, double hi, unsigned binBits)
        : kBins(std::size_t{1} << binBits), counts_(kBins, 0), edges_(kBins + 1), lo_(lo) {
        const std::uint64_t from = orderedBits(lo), span = orderedBits(hi) - from;
        for (std::size_t k = 0; k <= kBins; ++k) {
            edges_[k] = fromOrderedBits(from + static_cast<std::uint64_t>((Uint128{span} * k) >> binBits));
        }
        scale_ = static_cast<double>(kBins) / (hi - lo);
    }
    // Bits of a bin count that leaves about `perBin` of `configurations` in a bin.
    static unsigned binBitsFor(double configurations, double perBin) {
        unsigned bits = 4;
        while (bits < 20 && std::ldexp(perBin, static_cast<int>(bits)) < configurations) ++bits;
        return bits;
    }

    void operator()(const int*, double cost, std::uint64_t times) {
        // A first guess by value (right within a binade), then the edges decide.
        const double guess = (cost - lo_) * scale_;
        std::size_t k = 0;
        if (guess >= static_cast<double>(kBins)) {
            k = kBins - 1;
        } else if (guess > 0.0) {
            k = static_cast<std::size_t>(guess);
        }
        if (!(edges_[k] < cost && cost <= edges_[k + 1])) {
            k = static_cast<std::size_t>(std::lower_bound(edges_.begin() + 1, edges_.end(), cost) - edges_.begin()) - 1;
        }
        counts_[k] += times;
    }

    void add(const CostHistogram& other) {
        for (std::size_t k = 0; k < kBins; ++k) counts_[k] += other.counts_[k];
    }
    std::uint64_t count(std::size_t bin) const noexcept { return counts_[bin]; }
    double edge(std::size_t k) const noexcept { return edges_[k]; }

private:
    std::size_t kBins;
    std::vector<std::uint64_t> counts_;
    std::vector<double> edges_;  // non-decreasing: a bin between equal edges stays empty
    double lo_, scale_;
};

// The configurations of a cost interval, with their columns (16-bit: rows of at most
// 65536 columns), up to a number of them shared by the lists of all walkers (room for
// which each reserves at once, touching only what it fills): past it they are counted only.
class IntervalList {
public:
    static constexpr bool kColumns = true;
    IntervalList(std::size_t rows, std::size_t most, std::atomic<std::size_t>* taken)
        : rows_(rows), most_(most), taken_(taken) {}

    // The most configurations `bytes` hold.
    static std::size_t mostIn(std::size_t bytes, std::size_t rows) { return bytes / (sizeof(double) + 2 * rows); }

    void operator()(const int* columns, double cost, std::uint64_t) {
        if (overflowed_ || taken_->fetch_add(1, std::memory_order_relaxed) >= most_) {
            overflowed_ = true;
            return;
        }
        if (costs_.empty()) {
            costs_.reserve(most_);
            columns_.reserve(most_ * rows_);
        }
        for (std::size_t i = 0; i < rows_; ++i) columns_.push_back(static_cast<std::uint16_t>(columns[i]));
        costs_.push_back(cost);
    }

    bool overflowed() const noexcept { return overflowed_; }
    std::size_t size() const noexcept { return costs_.size(); }
    double cost(std::size_t k) const noexcept { return costs_[k]; }
    const std::uint16_t* columns(std::size_t k) const noexcept { return columns_.data() + k * rows_; }

private:
    std::size_t rows_, most_;
    std::atomic<std::size_t>* taken_;
    bool overflowed_ = false;
    std::vector<std::uint16_t> columns_;
    std::vector<double> costs_;
};

// Configurations of a cost interval listed by several walkers.
struct IntervalLists {
    std::unique_ptr<std::atomic<std::size_t>> taken = std::make_unique<std::atomic<std::size_t>>(0);
    std::vector<IntervalList> parts;

    bool overflowed() const {
        return std::any_of(parts.begin(), parts.end(), [](const IntervalList& l) { return l.overflowed(); });
    }

    // The configuration at `offset` of all the lists together in the cost order.
    Configuration at(std::size_t offset, std::size_t rows) const {
        std::vector<std::uint64_t> order;  // list << 32 | entry
        for (std::size_t l = 0; l < parts.size(); ++l) {
            for (std::size_t k = 0; k < parts[l].size(); ++k) order.push_back(std::uint64_t{l} << 32 | k);
        }
        const auto costOf = [this](std::uint64_t e) { return parts[e >> 32].cost(e & 0xffffffffu); };
        const auto columnsOf = [this](std::uint64_t e) { return parts[e >> 32].columns(e & 0xffffffffu); };
        const auto before = [&](std::uint64_t a, std::uint64_t b) {
            if (costOf(a) != costOf(b)) return costOf(a) < costOf(b);
            return std::lexicographical_compare(columnsOf(a), columnsOf(a) + rows, columnsOf(b), columnsOf(b) + rows);
        };
        const auto nth = order.begin() + static_cast<std::ptrdiff_t>(offset);
        std::nth_element(order.begin(), nth, order.end(), before);
        const std::uint16_t* columns = columnsOf(*nth);
        return {std::vector<int>(columns, columns + rows), costOf(*nth)};
    }
};

// The configurations of (lo, hi] listed on `threads` threads (at most `most` of them, else
// the lists say they overflowed), with the walk's counts.
IntervalLists listOf(const WeightTable& table, double lo, double hi, std::size_t most, unsigned threads,
                     IntervalCounts& counts, const std::atomic<bool>* interrupt) {
    IntervalLists lists;
    lists.parts.assign(threads, IntervalList(table.rows(), most, lists.taken.get()));
    counts = IntervalWalk<IntervalList>(table, lo, hi, interrupt).runParallel(lists.parts);
    return lists;
}

// A walk of (lo, hi]: its counts, and the histogram of the costs inside.
struct Histogram {
    IntervalCounts counts;
    CostHistogram costs;
};

// The walk of (lo, hi] (about `configurations` inside) on `threads` threads.
Histogram histogramOf(const WeightTable& table, double lo, double hi, double configurations, unsigned threads,
                      const std::atomic<bool>* interrupt) {
    const unsigned bits = CostHistogram::binBitsFor(configurations, 4096);
    std::vector<CostHistogram> parts(threads, CostHistogram(lo, hi, bits));
    const IntervalCounts counts = IntervalWalk<CostHistogram>(table, lo, hi, interrupt).runParallel(parts);
    for (std::size_t k = 1; k < parts.size(); ++k) parts[0].add(parts[k]);
    return {counts, std::move(parts[0])};
}

// A narrow bracket likely to hold position p's cost. The table counts the configurations
// by weight exactly; a configuration's cost exceeds base + weight * step by its rows'
// remainders, whose distribution near p is taken from configurations sampled uniformly
// among those of the weights around p's (with a fixed seed: the bracket, which decides
// only the work, is the same on every run).
class PositionEstimate {
public:
    // `wanted`: about how many configurations the bracket should hold (more samples narrow it).
    PositionEstimate(const WeightTable& table, std::uint64_t p, double wanted, const std::atomic<bool>* interrupt)
        : table_(table), target_(static_cast<double>(p) + 0.5), wanted_(wanted), interrupt_(interrupt) {}

    // Within (lo, hi]: a bracket (from, to] whose estimated counts miss p by a few times the
    // sampling error either way, and about how many configurations it holds; false when no
    // estimate can be made.
    bool bracket(double lo, double hi, double& from, double& to, double& inside) {
        const std::size_t rows = table_.rows();
        const double step = table_.step(), base = table_.base();
        const std::int64_t a = table_.leastBudgetOver(target_);
        if (a < 0) return false;
        // Weights that may hold p's configuration: a - rows - 1 .. a.
        from_ = std::max<std::int64_t>(0, a - static_cast<std::int64_t>(rows) - 1);
        to_ = a;
        const double all = exactly(0, from_, to_);
        if (!(all > 0.0)) return false;
        std::mt19937_64 rng(0x5eed);
        remainders_.clear();
        // The bracket spans about 2.5 / sqrt(samples) of the weights' count.
        const double needed = std::ceil(std::pow(2.5 * all / wanted_, 2.0));
        const auto samples = static_cast<std::size_t>(std::min(kMostSamples, std::max(kFewestSamples, needed)));
        for (std::size_t k = 0; k < samples; ++k) {
            if (k % 256 == 0) checkInterrupt(interrupt_);
            // A weight in from_ .. to_ by its share, then a column per row by the share of its completions.
            double pick = uniform(rng) * all;
            std::int64_t w = from_;
            while (w < to_ && pick >= exactly(0, w, w)) {
                pick -= exactly(0, w, w);
                ++w;
            }
            double cost = 0.0;
            std::int64_t left = w;
            bool lost = false;
            for (std::size_t row = 0; row < rows && !lost; ++row) {
                const std::vector<int>& columns = table_.columnsByCost(row);
                const std::vector<std::int32_t>& weights = table_.weightsByCost(row);
                double total = 0.0;
                for (std::size_t c = 0; c < columns.size() && weights[c] <= left; ++c) total += exactly(row + 1, left - weights[c], left - weights[c]);
                double choose = uniform(rng) * total;
                std::size_t c = 0;
                for (; c + 1 < columns.size() && weights[c + 1] <= left; ++c) {
                    const double share = exactly(row + 1, left - weights[c], left - weights[c]);
                    if (choose < share) break;
                    choose -= share;
                }
                lost = !(total > 0.0);
                cost += table_.costs()[row][static_cast<std::size_t>(columns[c])];
                left -= weights[c];
            }
            if (!lost) remainders_.push_back(cost - base - static_cast<double>(w) * step);
        }
        if (remainders_.size() < samples / 2) return false;
        std::sort(remainders_.begin(), remainders_.end());
        // The sampling error of the shares is about 1 / sqrt(samples) of the weights' count.
        error_ = 1.25 * all / std::sqrt(static_cast<double>(remainders_.size()));
        from = costWhere(target_ - error_, lo, hi);
        to = costWhere(target_ + error_, lo, hi);
        inside = 2.0 * error_;
        return from < to && (lo < from || to < hi);
    }

    // After a bracket missed p: the next one, from `edge` (whose exact count `counted` is
    // now known) towards p, wide enough for the estimate's error; within (lo, hi].
    void shift(double edge, double counted, double lo, double hi, double& from, double& to) const {
        const double estimated = countAtMost(edge), gap = target_ - counted;
        if (gap > 0) {
            from = edge;
            to = costWhere(estimated + gap + error_, edge, hi);
        } else {
            from = costWhere(estimated + gap - error_, lo, edge);
            to = edge;
        }
    }

private:
    static constexpr double kFewestSamples = 2048, kMostSamples = 1 << 18;

    static double uniform(std::mt19937_64& rng) { return static_cast<double>(rng() >> 11) * 0x1p-53; }

    // Completions of rows row .. with weight in [from, to].
    double exactly(std::size_t row, std::int64_t from, std::int64_t to) const {
        if (to < 0 || to < from) return 0.0;
        const std::int64_t top = std::min(to, table_.maxBudget());
        return table_.completions(row, top) - table_.completions(row, from - 1);
    }

    // The cost in (lo, hi] where the estimated count reaches n.
    double costWhere(double n, double lo, double hi) const {
        double x = lo, y = hi;
        for (int round = 0; round < 200; ++round) {
            const double mid = x + (y - x) / 2;
            if (!(x < mid && mid < y)) break;
            if (countAtMost(mid) > n) {
                y = mid;
            } else {
                x = mid;
            }
        }
        return y;
    }

    // N(t) estimated: every configuration of a weight too small to reach t, and those of
    // the weights that may, by the share of the sampled remainders that fits under t.
    double countAtMost(double t) const {
        const double step = table_.step(), base = table_.base();
        // The weights whose configurations may cost t or less, some more: the
        // remainders span below rows + 1 steps.
        const double top = std::floor((t - base) / step);
        if (!(top >= 0.0)) return 0.0;
        const std::int64_t last = std::min<std::int64_t>(table_.maxBudget(), static_cast<std::int64_t>(std::min(top, 4e18)));
        const std::int64_t first = std::max<std::int64_t>(0, last - static_cast<std::int64_t>(table_.rows()) - 1);
        double n = table_.completions(0, first - 1);
        for (std::int64_t w = first; w <= last; ++w) {
            const double room = t - base - static_cast<double>(w) * step;
            const auto fits = std::upper_bound(remainders_.begin(), remainders_.end(), room) - remainders_.begin();
            n += exactly(0, w, w) * static_cast<double>(fits) / static_cast<double>(remainders_.size());
        }
        return n;
    }

    const WeightTable& table_;
    double target_, wanted_, error_ = 0.0;
    const std::atomic<bool>* interrupt_;
    std::int64_t from_ = 0, to_ = 0;
    std::vector<double> remainders_;
};


// The band a table of the counts' memory would leave beyond which select builds a larger one.
constexpr double kVastBand = double(std::uint64_t{1} << 26);

// Memory for the configurations select lists at once.
constexpr std::size_t kListBytes = std::size_t{96} << 20;

// The first walk of select, where the bracket (lo, hi] holds many configurations: a
// narrow bracket estimated to hold p first (the walk's cost grows with the bracket's
// width), listed at once when it is small enough, so that p's configuration is picked
// from that one walk; else its histogram. If p lies outside it after all, the part of
// (lo, hi] on p's side. Narrows (lo, hi] to the bracket walked; true when `found` is p's
// configuration.
bool firstWalk(const WeightTable& table, std::uint64_t p, double& lo, double& hi, double spread, unsigned threads,
               const std::atomic<bool>* interrupt, Histogram& walked, Configuration& found) {
    double from = lo, to = hi, expected = spread;
    const std::size_t most = IntervalList::mostIn(kListBytes, table.rows());
    PositionEstimate estimate(table, p, 0.35 * static_cast<double>(most), interrupt);
    if (spread > (1 << 20) && estimate.bracket(lo, hi, from, to, expected)) {
        bool narrow = true;
        for (std::size_t i = 0; i < table.rows(); ++i) narrow = narrow && table.costs()[i].size() <= 65536;
        const bool listed = narrow && expected < 0.75 * static_cast<double>(most);
        // A few brackets, each moved towards p by what the last one counted exactly.
        for (int attempt = 0; attempt < 3 && lo <= from && from < to && to <= hi; ++attempt) {
            IntervalCounts n;
            if (listed) {
                const IntervalLists lists = listOf(table, from, to, most, threads, n, interrupt);
                if (n.below <= p && p < n.below + n.inside && !lists.overflowed()) {
                    found = lists.at(static_cast<std::size_t>(p - n.below), table.rows());
                    return true;
                }
            } else {
                walked = histogramOf(table, from, to, expected, threads, interrupt);
                n = walked.counts;
            }
            if (n.below <= p && p < n.below + n.inside) {
                // Too many to list: the bracket's histogram goes on from there.
                if (listed) walked = histogramOf(table, from, to, static_cast<double>(n.inside), threads, interrupt);
                lo = from;
                hi = to;
                return false;
            }
            if (p < n.below) {
                hi = from;
                estimate.shift(from, static_cast<double>(n.below), lo, hi, from, to);
            } else {
                lo = to;
                estimate.shift(to, static_cast<double>(n.below + n.inside), lo, hi, from, to);
            }
        }
    }
    walked = histogramOf(table, lo, hi, spread, threads, interrupt);
    return false;
}

// Whether the table counts the configurations of cost up to `cost` exactly (below 2^53).
bool countableUpTo(const WeightTable& table, double cost) {
    const std::int64_t top = std::min(table.budgetReaching(0, 0.0, cost), table.maxBudget());
    return WeightTable::isExactCount(table.completions(0, top));
}

// The configurations of cost <= t, exactly; or 2^64 - 1 when there are 2^53 or more.
std::uint64_t exactlyAtMost(const WeightTable& table, double t, unsigned threads, const std::atomic<bool>* interrupt) {
    BandWalk walk(table, t, nullptr, kUnlimited, interrupt);
    const Tally n = walk.runParallel(threads);
    if (n.overflowed || n.low != n.high || n.low >= (Uint128{1} << 53)) return ~std::uint64_t{0};
    return static_cast<std::uint64_t>(n.low);
}

// Narrows (lo, hi], with N(lo) <= p < N(hi), by halving its doubles until the table counts
// up to hi exactly or hi is the one cost left; returns N(lo).
std::uint64_t narrowCrowd(const WeightTable& table, std::uint64_t p, double& lo, double& hi, unsigned threads,
                          const std::atomic<bool>* interrupt) {
    while (orderedBits(hi) - orderedBits(lo) > 1 && !countableUpTo(table, hi)) {
        const double mid = fromOrderedBits(orderedBits(lo) + (orderedBits(hi) - orderedBits(lo)) / 2);
        (exactlyAtMost(table, mid, threads, interrupt) <= p ? lo : hi) = mid;
    }
    const std::uint64_t below = exactlyAtMost(table, lo, threads, interrupt);
    if (below > p) throw std::length_error("quorin: the position is too far down to be found exactly");
    return below;
}

}  // namespace

namespace detail {

// The configuration at finite-cost position p: coarse tables bracket its cost in (lo, hi]
// with N(lo) <= p < N(hi) (N(t): the configurations of cost <= t), a fine one bounds the
// band around it; then each walk of the bracket counts N(lo) exactly and sorts the
// configurations of the bracket into a histogram of its costs, and the bracket shrinks to
// the bin holding p, until few enough configurations are left to list and sort.
Configuration selectFinite(const CostMatrix& costs, std::uint64_t p, const std::atomic<bool>* interrupt) {
    const std::size_t rows = costs.size();
    if (rows == 0) return {};
    const double cheapest = foldRows(costs, false);
    double lo = std::nextafter(cheapest, -kInf), hi = foldRows(costs, true);
    const double bins = initialBins(rows);
    double spread = 0.0;
    for (int round = 0; round < 4; ++round) {
        const double before = hi - cheapest;
        spread = bracketFromTable(tableFor(costs, cheapest, hi, bins, interrupt), p, lo, hi);
        checkInterrupt(interrupt);
        if (hi - cheapest > 0.5 * before) break;
    }
    // A table past the counts' memory pays only where the band it would leave is vast:
    // building it costs more than walking a band of tens of millions.
    const double finer = detail::finerBins(rows, bins, spread,
                                           spread * bins / largestBins(rows) > kVastBand ? detail::kSelectTableBytes
                                                                                         : detail::kTableBytes);
    const WeightTable table = tableFor(costs, cheapest, hi, finer, interrupt);
    checkInterrupt(interrupt);
    spread = bracketFromTable(table, p, lo, hi);
    // Few enough configurations to list and sort at once.
    constexpr std::uint64_t kList = std::uint64_t{1} << 16;
    const unsigned threads = spread > kList ? walkThreads() : 1;
    if (!countableUpTo(table, hi)) {
        // A crowd of equal costs past what the table counts exactly.
        const std::uint64_t below = narrowCrowd(table, p, lo, hi, threads, interrupt);
        if (!countableUpTo(table, hi)) return selectTied(table, hi, p - below, interrupt);
    }
    Histogram walked{{}, CostHistogram(lo, hi, 4)};
    Configuration found;
    if (firstWalk(table, p, lo, hi, spread, threads, interrupt, walked, found)) return found;
    IntervalCounts n = walked.counts;
    while (true) {
        if (n.below > p || n.below + n.inside <= p) throw std::logic_error("quorin: select lost its bracket");
        std::uint64_t offset = p - static_cast<std::uint64_t>(n.below);
        if (n.inside <= kList) {
            IntervalCounts counts;
            const IntervalLists lists = listOf(table, lo, hi, kList, threads, counts, interrupt);
            return lists.at(static_cast<std::size_t>(offset), rows);
        }
        // The bin holding p: its configurations, and those below it, are known exactly.
        std::size_t bin = 0;
        while (offset >= walked.costs.count(bin)) offset -= walked.costs.count(bin++);
        const double from = walked.costs.edge(bin), to = walked.costs.edge(bin + 1);
        if (from == lo && to == hi) {
            // The bracket holds one cost, hi, and too many configurations of it to list.
            return selectTied(table, hi, p - static_cast<std::uint64_t>(n.below), interrupt);
        }
        n = {p - offset, walked.costs.count(bin)};
        lo = from;
        hi = to;
        if (n.inside > kList) {
            walked = histogramOf(table, lo, hi, static_cast<double>(n.inside), threads, interrupt);
            if (walked.counts.below != n.below || walked.counts.inside != n.inside) {
                throw std::logic_error("quorin: select lost its count");
            }
        }
    }
}

}  // namespace detail

Configuration select(const ProbabilityMatrix& probs, const Count& position, const std::atomic<bool>* interrupt) {
    const CostMatrix costs = costsOf(probs);
    const WeightTable probe(costs, 1.0, -kInf);
    if (position >= probe.configurations()) throw std::out_of_range("quorin: the position is past the last configuration");
    if (position >= probe.finiteConfigurations()) return selectInfinite(costs, position - probe.finiteConfigurations());
    if (position >= Count::powerOfTwo(50)) throw std::length_error("quorin: a position of finite cost from 2^50 on cannot be located exactly "
                                "(select finds those below 2^50): start and stop searches and batches below 2^50");
    return detail::selectFinite(costs, static_cast<std::uint64_t>(position.toUint128()), interrupt);
}

}  // namespace quorin
