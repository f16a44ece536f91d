// The cost model: both kinds of matrix, their checks, and log-likelihoods through every
// engine against the probability form where both apply.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <quorin/cost_matrix.h>
#include <quorin/counting.h>
#include <quorin/quorin.h>
#include <quorin/range_walk.h>
#include <quorin/windows.h>

namespace {

using quorin::MatrixRows;
using quorin::ProbabilityMatrix;
constexpr double kInf = std::numeric_limits<double>::infinity();

std::string messageOf(const ProbabilityMatrix& m) {
    try {
        quorin::checkProbabilities(m);
    } catch (const std::invalid_argument& e) {
        return e.what();
    }
    return "";
}

TEST(CostMatrix, ChecksAndCostsOfBothKinds) {
    EXPECT_EQ(messageOf({{0.5}, {}}), "probs[1] is empty");
    EXPECT_EQ(messageOf({{0.5, -1.0}}), "probs[0][1] is -1: probabilities must be finite and non-negative");
    EXPECT_EQ(messageOf(quorin::logLikelihoods({{-1.0, kInf}})), "probs[0][1] is inf: log-likelihoods must be finite or -inf");
    EXPECT_EQ(messageOf(quorin::logLikelihoods({{0.0}, {-kInf, -kInf}})), "probs[1] is all -inf: a row needs a possible value");
    EXPECT_EQ(messageOf(quorin::logLikelihoods({{-5000.0, -kInf, 3.0}})), "");
    EXPECT_EQ(messageOf({{0.0, 0.0}}), "");  // accepted: see lostPrecision

    // Probabilities: -log p, bit for bit.
    const quorin::CostMatrix p = quorin::costsOf({{0.3, 0.0, 2.0}});
    EXPECT_EQ(p[0][0], -std::log(0.3));
    EXPECT_EQ(p[0][1], kInf);
    EXPECT_EQ(p[0][2], -std::log(2.0));

    // Log-likelihoods: the normalised row's -ln p, whatever its offset and span.
    const quorin::CostMatrix l = quorin::costsOf(quorin::logLikelihoods({{-3000.0, -3000.0 + std::log(3.0), -kInf, -6000.0}}));
    EXPECT_NEAR(l[0][0], std::log(4.0), 1e-12);
    EXPECT_NEAR(l[0][1], std::log(4.0 / 3.0), 1e-12);
    EXPECT_EQ(l[0][2], kInf);
    EXPECT_NEAR(l[0][3], 3000.0 + std::log(4.0), 1e-12);
    EXPECT_TRUE(quorin::logLikelihoods({{1.0}}) != ProbabilityMatrix({{1.0}}));
    const int columns[] = {1};
    EXPECT_EQ(quorin::configurationCost(l, columns), l[0][1]);

    EXPECT_EQ(quorin::lostPrecision({{0.5, 0.5}, {0.0, 0.0}}).kind, quorin::LostPrecision::AllZero);
    const quorin::LostPrecision near = quorin::lostPrecision({{0.5, 0.5}, {0.0, 1e-310, 1.0}});
    EXPECT_EQ(near.kind, quorin::LostPrecision::NearZero);
    EXPECT_EQ(near.row, 1u);
    EXPECT_NE(near.message.find("log=True"), std::string::npos);
    EXPECT_EQ(quorin::lostPrecision({{0.0, 1e-200}}).kind, quorin::LostPrecision::None);
    EXPECT_EQ(quorin::lostPrecision(quorin::logLikelihoods({{-kInf, 0.0}})).kind, quorin::LostPrecision::None);
}

// A random matrix with some zeros, as probabilities (rows normalised) and as
// log-likelihoods of the same rows, each row shifted by its own offset.
struct BothForms {
    ProbabilityMatrix probs, logs;
};
BothForms bothForms(unsigned seed, std::size_t rows, std::size_t columns) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    MatrixRows p(rows), l(rows);
    for (std::size_t i = 0; i < rows; ++i) {
        double sum = 0.0;
        for (std::size_t j = 0; j < columns; ++j) {
            const double v = u(rng) < 0.1 ? 0.0 : std::pow(u(rng), 4.0);
            p[i].push_back(v);
            sum += v;
        }
        if (sum == 0.0) p[i][0] = sum = 1.0;
        const double offset = 700.0 * (u(rng) - 0.5);
        for (double& v : p[i]) {
            v /= sum;
            l[i].push_back(std::log(v) + offset);
        }
    }
    return {ProbabilityMatrix(p), quorin::logLikelihoods(l)};
}

TEST(CostMatrix, LogLikelihoodsGiveTheProbabilityFormsResultsInEveryEngine) {
    for (unsigned seed = 0; seed < 4; ++seed) {
        const BothForms m = bothForms(seed, 5, 5);
        // The heap enumerator: the same sequence, costs up to the last bits.
        quorin::Quorin a(m.probs), b(m.logs);
        std::vector<int> ca, cb;
        std::size_t n = 0;
        while (a.next(ca)) {
            ASSERT_TRUE(b.next(cb));
            ASSERT_EQ(ca, cb) << "seed " << seed << " position " << n;
            ++n;
        }
        EXPECT_FALSE(b.next(cb));
        EXPECT_EQ(n, 3125u);

        // The cost order: windows, range walk, rank and select agree.
        quorin::WindowedEnumerator wa(m.probs, 0, quorin::kNoStop, 1), wb(m.logs, 0, quorin::kNoStop, 2);
        std::vector<std::int32_t> cola(n * 5), colb(n * 5);
        std::vector<double> costa(n), costb(n);
        ASSERT_EQ(wa.next(n, cola.data(), costa.data()), n);
        ASSERT_EQ(wb.next(n, colb.data(), costb.data()), n);
        EXPECT_EQ(cola, colb);
        for (std::size_t k = 0; k < n; ++k) {
            if (std::isinf(costa[k])) EXPECT_EQ(costa[k], costb[k]);
            else EXPECT_NEAR(costa[k], costb[k], 1e-9);
        }
        for (std::size_t k : {std::size_t{0}, std::size_t{17}, std::size_t{1000}, n - 1}) {
            const std::vector<int> key(colb.begin() + static_cast<std::ptrdiff_t>(k * 5),
                                       colb.begin() + static_cast<std::ptrdiff_t>(k * 5 + 5));
            const quorin::CountBounds r = quorin::rank(m.logs, key);
            EXPECT_TRUE(r.exact());
            EXPECT_EQ(r.low, quorin::Count(k + 1));
            EXPECT_EQ(quorin::select(m.logs, quorin::Count(k)).columns, key);
        }
        quorin::RangeWalk walk(m.logs, quorin::OrderBound{0.0, std::vector<int>(5, 0)}, std::nullopt, 2);
        while (walk.next()) {
        }
        EXPECT_EQ(walk.handedOut(), n);
    }
}

TEST(CostMatrix, RowsSpanningThousandsOfNatsKeepTheirOrder) {
    // exp() of these is 0 for every entry but each row's largest: the probability form
    // would order them lexicographically, the log form by likelihood.
    const ProbabilityMatrix logs = quorin::logLikelihoods({{-2500.0, 0.0, -4000.0}, {-3100.0, -1.0, -3000.0}});
    quorin::Quorin q(logs);
    std::vector<std::vector<int>> got;
    std::vector<int> c;
    while (q.next(c)) got.push_back(c);
    const std::vector<std::vector<int>> want{{1, 1}, {0, 1}, {1, 2}, {1, 0}, {2, 1}, {0, 2}, {0, 0}, {2, 2}, {2, 0}};
    EXPECT_EQ(got, want);
    EXPECT_EQ(quorin::rank(logs, {0, 2}).low, quorin::Count(6));
}

}  // namespace

namespace {

TEST(CostMatrix, CostBoundIsTheInverseOfCount) {
    const BothForms m = bothForms(7, 4, 6);
    for (const ProbabilityMatrix* probs : {&m.probs, &m.logs}) {
        const quorin::CostMatrix costs = quorin::costsOf(*probs);
        // Every configuration's cost, sorted: the n-th is the least cost whose count reaches n.
        std::vector<double> all;
        for (int a = 0; a < 6; ++a)
            for (int b = 0; b < 6; ++b)
                for (int c = 0; c < 6; ++c)
                    for (int d = 0; d < 6; ++d) {
                        const int columns[] = {a, b, c, d};
                        all.push_back(quorin::configurationCost(costs, columns));
                    }
        std::sort(all.begin(), all.end());
        EXPECT_EQ(quorin::costBound(*probs, quorin::Count(0)), -kInf);
        for (std::size_t n = 1; n <= all.size(); n += 37) {
            const double c = quorin::costBound(*probs, quorin::Count(n));
            EXPECT_EQ(c, all[n - 1]) << n;
            if (std::isinf(c)) continue;
            EXPECT_GE(quorin::count(*probs, c).low, quorin::Count(n));
            EXPECT_LT(quorin::count(*probs, std::nextafter(c, -kInf)).high, quorin::Count(n));
        }
        EXPECT_THROW(quorin::costBound(*probs, quorin::Count(all.size() + 1)), std::out_of_range);
    }
    EXPECT_THROW(quorin::rank(m.probs, {0, 0, 0, 0}, quorin::Count(0), nullptr, -1.0), std::invalid_argument);
}

}  // namespace

namespace {

TEST(CostMatrix, CostBoundPastExactPositions) {
    std::mt19937_64 rng(5);
    std::gamma_distribution<double> gamma(0.3, 1.0);
    MatrixRows rows(16, std::vector<double>(256));
    for (auto& row : rows)
        for (double& v : row) v = std::log(gamma(rng) + 1e-300);
    const ProbabilityMatrix logs = quorin::logLikelihoods(rows);
    const quorin::Count n = quorin::Count::powerOfTwo(60);
    const double c = quorin::costBound(logs, n);
    EXPECT_GE(quorin::count(logs, c, quorin::Count(0)).low, n);
    EXPECT_LT(quorin::count(logs, std::nextafter(c, -kInf), quorin::Count(0), nullptr, 0.5).low, n);
}

}  // namespace
