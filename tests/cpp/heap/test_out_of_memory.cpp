// Allocation failures: every allocation of a construction, a copy and every step of whole
// enumerations is made to fail in turn. The failure has to surface as std::bad_alloc, a
// failed construction or copy must free everything it allocated, and a failed step must
// leave the enumerator exactly as it was, so that retrying it hands out the same sequence
// as a run without failures.
//
// This executable replaces the global operator new and delete. They allocate with malloc
// and free, so AddressSanitizer still sees every block, and they count live blocks, so a
// leak shows up as a count that does not return to where it was even without ASan.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <new>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include <quorin/quorin.h>
#include "support.h"

namespace {

// Constant-initialised, so usable by allocations made before main.
struct AllocationControl {
    long long live = 0;      // blocks handed out and not yet freed
    long long counted = 0;   // operator new calls since the counter was last reset
    long long failAt = -1;   // value of `counted` whose allocation fails; -1 = none
    bool injected = false;   // the failure has happened
    bool paused = false;     // the test's own bookkeeping: neither counted nor failed
};
AllocationControl control;

void* allocate(std::size_t size, std::size_t alignment) {
    if (!control.paused && control.counted++ == control.failAt) {
        control.failAt = -1;  // one failure only: unwinding and recovery may allocate again
        control.injected = true;
        throw std::bad_alloc();
    }
    if (size == 0) size = 1;
    void* block = nullptr;
    if (alignment <= alignof(std::max_align_t)) {
        block = std::malloc(size);
    } else if (posix_memalign(&block, alignment, size) != 0) {
        block = nullptr;
    }
    if (block == nullptr) throw std::bad_alloc();
    ++control.live;
    return block;
}

void release(void* block) noexcept {
    if (block == nullptr) return;
    --control.live;
    std::free(block);
}

void* allocateOrNull(std::size_t size, std::size_t alignment) noexcept {
    try {
        return allocate(size, alignment);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

}  // namespace

void* operator new(std::size_t size) { return allocate(size, 0); }
void* operator new[](std::size_t size) { return allocate(size, 0); }
void* operator new(std::size_t size, std::align_val_t alignment) {
    return allocate(size, static_cast<std::size_t>(alignment));
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
    return allocate(size, static_cast<std::size_t>(alignment));
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocateOrNull(size, 0); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocateOrNull(size, 0); }
void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
    return allocateOrNull(size, static_cast<std::size_t>(alignment));
}
void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
    return allocateOrNull(size, static_cast<std::size_t>(alignment));
}

void operator delete(void* block) noexcept { release(block); }
void operator delete[](void* block) noexcept { release(block); }
void operator delete(void* block, std::size_t) noexcept { release(block); }
void operator delete[](void* block, std::size_t) noexcept { release(block); }
void operator delete(void* block, std::align_val_t) noexcept { release(block); }
void operator delete[](void* block, std::align_val_t) noexcept { release(block); }
void operator delete(void* block, std::size_t, std::align_val_t) noexcept { release(block); }
void operator delete[](void* block, std::size_t, std::align_val_t) noexcept { release(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { release(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { release(block); }
void operator delete(void* block, std::align_val_t, const std::nothrow_t&) noexcept { release(block); }
void operator delete[](void* block, std::align_val_t, const std::nothrow_t&) noexcept { release(block); }

namespace {

// libc++ before 17 leaves the elements a vector constructor has made when a later
// allocation fails (copying a vector of rows leaks the rows copied so far), so block
// counts prove nothing about quorin there; every other check still runs.
#if defined(_LIBCPP_VERSION) && _LIBCPP_VERSION < 170000
constexpr bool kCountLeaks = false;
#else
constexpr bool kCountLeaks = true;
#endif

using quorin::ProbabilityMatrix;
using quorin::Quorin;
using quorin_test::Configuration;

// While alive, the allocation with index `n` (0 = the first one made in this scope) fails.
class FailAllocation {
public:
    explicit FailAllocation(long long n) {
        control.counted = 0;
        control.injected = false;
        control.failAt = n;
    }
    ~FailAllocation() { control.failAt = -1; }
    FailAllocation(const FailAllocation&) = delete;
    FailAllocation& operator=(const FailAllocation&) = delete;

    bool injected() const { return control.injected; }
};

// While alive, allocations are neither counted nor made to fail.
class Unmonitored {
public:
    Unmonitored() : wasPaused_(control.paused) { control.paused = true; }
    ~Unmonitored() { control.paused = wasPaused_; }
    Unmonitored(const Unmonitored&) = delete;
    Unmonitored& operator=(const Unmonitored&) = delete;

private:
    bool wasPaused_;
};

template <class Operation>
long long allocationsOf(Operation&& operation) {
    control.counted = 0;
    operation();
    return control.counted;
}

enum class Outcome { completed, badAlloc, otherException };

template <class Operation>
Outcome outcomeOf(Operation&& operation) {
    try {
        operation();
        return Outcome::completed;
    } catch (const std::bad_alloc&) {
        return Outcome::badAlloc;
    } catch (...) {
        return Outcome::otherException;
    }
}

struct Matrix {
    const char* name;
    ProbabilityMatrix probs;
};

std::vector<Matrix> matrices() {
    std::vector<Matrix> all = {
        // Ties, a single-column row and zero probabilities (whose configurations come last).
        {"ragged", {{0.5, 0.3, 0.2}, {0.25, 0.25, 0.5}, {1.0}, {0.4, 0.6, 0.0}, {0.1, 0.9}}},
        {"no_rows", {}},
        {"single_configuration", {{0.4}, {0.7}}},
    };
    // More than 16 rows and columns, so both sorts run their partition steps, while the
    // number of configurations stays small enough to drain after every failure.
    ProbabilityMatrix wide(12, std::vector<double>{1.0});
    for (int i = 0; i < 5; ++i) wide.push_back({0.5, 0.5});
    wide.push_back(std::vector<double>(18, 0.25));
    all.push_back({"seventeen_rows_and_columns", wide});
    return all;
}

std::string describe(const Configuration& columns) {
    std::string text;
    for (int column : columns) text += std::to_string(column) + " ";
    return text;
}

// Appends the enumerator's remaining configurations to `handedOut` and checks the whole
// list: column indices in range and no configuration twice. `total` bounds the loop, so a
// broken enumerator that never ends still fails.
void drainAndCheck(Quorin& q, const ProbabilityMatrix& probs, std::vector<Configuration>& handedOut) {
    const std::size_t total = quorin_test::allConfigurations(probs).size();
    Configuration columns;
    while (handedOut.size() <= total && q.next(columns)) handedOut.push_back(columns);
    EXPECT_TRUE(q.exhausted) << "more configurations than the matrix has";
    std::set<Configuration> seen;
    for (const Configuration& c : handedOut) {
        ASSERT_EQ(c.size(), probs.size());
        for (std::size_t i = 0; i < c.size(); ++i) {
            ASSERT_GE(c[i], 0) << describe(c);
            ASSERT_LT(static_cast<std::size_t>(c[i]), probs[i].size()) << describe(c);
        }
        ASSERT_TRUE(seen.insert(c).second) << "handed out twice: " << describe(c);
    }
}

class Construction : public ::testing::TestWithParam<std::tuple<Matrix, bool>> {};

TEST_P(Construction, EveryFailureIsBadAllocAndLeavesNothingBehind) {
    const ProbabilityMatrix& probs = std::get<0>(GetParam()).probs;
    const bool cache = std::get<1>(GetParam());
    const long long total = allocationsOf([&] { Quorin q(probs, cache); });
    ASSERT_GT(total, 0);
    for (long long n = 0; n < total; ++n) {
        const long long liveBefore = control.live;
        Outcome outcome;
        {
            FailAllocation failure(n);
            outcome = outcomeOf([&] { Quorin q(probs, cache); });
            ASSERT_TRUE(failure.injected()) << "allocation " << n << " of " << total << " never came";
        }
        const long long leaked = control.live - liveBefore;
        ASSERT_EQ(outcome, Outcome::badAlloc) << "failing allocation " << n << " of " << total;
        if (kCountLeaks) {
            ASSERT_EQ(leaked, 0) << "blocks left behind after failing allocation " << n;
        }
    }
    // The same construction without a failure enumerates everything.
    Quorin q(probs, cache);
    std::vector<Configuration> handedOut;
    drainAndCheck(q, probs, handedOut);
    EXPECT_EQ(handedOut.size(), quorin_test::allConfigurations(probs).size());
}

TEST_P(Construction, FailedCopyLeavesNothingBehindAndTheSourceIntact) {
    const ProbabilityMatrix& probs = std::get<0>(GetParam()).probs;
    const bool cache = std::get<1>(GetParam());
    Quorin source(probs, cache);
    std::vector<Configuration> fromSource;
    Configuration columns;
    for (int i = 0; i < 5 && source.next(columns); ++i) fromSource.push_back(columns);

    const long long total = allocationsOf([&] { Quorin copy(source); });
    for (long long n = 0; n < total; ++n) {
        const long long liveBefore = control.live;
        Outcome outcome;
        {
            FailAllocation failure(n);
            outcome = outcomeOf([&] { Quorin copy(source); });
        }
        ASSERT_EQ(outcome, Outcome::badAlloc) << "failing allocation " << n << " of " << total;
        if (kCountLeaks) {
            ASSERT_EQ(control.live, liveBefore) << "blocks left behind after failing allocation " << n;
        }
    }
    drainAndCheck(source, probs, fromSource);
    EXPECT_EQ(fromSource.size(), quorin_test::allConfigurations(probs).size());
}

INSTANTIATE_TEST_SUITE_P(Matrices, Construction,
                         ::testing::Combine(::testing::ValuesIn(matrices()), ::testing::Bool()),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) ? "_cache" : "_no_cache");
                         });

TEST(RefusedConstruction, FailureIsBadAllocOrTheRefusalAndLeavesNothingBehind) {
    for (const ProbabilityMatrix& probs : {ProbabilityMatrix{{0.5, 0.5}, {}}, ProbabilityMatrix{{0.5, -1.0}}}) {
        const long long total = allocationsOf([&] {
            EXPECT_THROW(Quorin q(probs), std::invalid_argument);
        });
        for (long long n = 0; n < total; ++n) {
            const long long liveBefore = control.live;
            bool badAlloc = false;
            bool refused = false;
            {
                FailAllocation failure(n);
                try {
                    Quorin q(probs);
                } catch (const std::bad_alloc&) {
                    badAlloc = true;
                } catch (const std::invalid_argument&) {
                    refused = true;
                } catch (...) {
                }
            }
            ASSERT_TRUE(badAlloc || refused) << "failing allocation " << n << " of " << total;
            if (kCountLeaks) {
                ASSERT_EQ(control.live, liveBefore) << "blocks left behind after failing allocation " << n;
            }
        }
    }
}

struct StepsCase {
    Matrix matrix;
    bool cache;
};

class AdvanceSteps : public ::testing::TestWithParam<StepsCase> {};

// Each step is tried with its first allocation failing, then its second, and so on until
// it runs through; every failed attempt must change nothing.
TEST_P(AdvanceSteps, FailedStepChangesNothingAndItsRetryContinuesTheSequence) {
    const ProbabilityMatrix& probs = GetParam().matrix.probs;
    const bool cache = GetParam().cache;
    constexpr std::size_t kLimit = 2000;
    std::vector<Configuration> expected;
    {
        Quorin reference(probs, cache);
        expected = quorin_test::drain(reference, kLimit);
    }
    Quorin q(probs, cache);
    std::vector<Configuration> handedOut;
    handedOut.reserve(kLimit);
    Configuration columns(probs.size());
    long long failures = 0;
    while (handedOut.size() < kLimit) {
        bool more = false;
        for (long long n = 0;; ++n) {
            std::optional<Quorin> before;
            {
                Unmonitored bookkeeping;
                before.emplace(q);
            }
            Outcome outcome;
            bool injected;
            {
                FailAllocation failure(n);
                outcome = outcomeOf([&] { more = q.next(columns); });
                injected = failure.injected();
            }
            if (!injected) {
                ASSERT_EQ(outcome, Outcome::completed);
                break;
            }
            ASSERT_EQ(outcome, Outcome::badAlloc) << "step " << handedOut.size() << ", allocation " << n;
            ASSERT_TRUE(q.state == before->state && q.exhausted == before->exhausted)
                << "a failed allocation " << n << " changed the enumerator at step " << handedOut.size();
            ++failures;
        }
        if (!more) break;
        Unmonitored bookkeeping;
        handedOut.push_back(columns);
    }
    EXPECT_EQ(handedOut, expected);
    EXPECT_GT(failures, 0);
}

// A batch of many steps is all or nothing as well: a failure in any of its steps puts
// back the configurations it had passed, so the retry hands out the same ones.
TEST_P(AdvanceSteps, FailedBatchPutsBackWhatItTookAndItsRetryContinuesTheSequence) {
    const ProbabilityMatrix& probs = GetParam().matrix.probs;
    const bool cache = GetParam().cache;
    constexpr std::size_t kLimit = 2000, kBatch = 50;  // a batch spans a reservation of room
    std::vector<Configuration> expected;
    {
        Quorin reference(probs, cache);
        expected = quorin_test::drain(reference, kLimit);
    }
    Quorin q(probs, cache);
    std::vector<Configuration> handedOut;
    std::vector<int> columns(kBatch * probs.size());
    std::vector<double> costs(kBatch);
    long long failures = 0;
    while (handedOut.size() < kLimit) {
        std::size_t got = 0;
        for (long long n = 0;; ++n) {
            const std::int64_t before = q.handedOut();
            Outcome outcome;
            bool injected;
            {
                FailAllocation failure(n);
                outcome = outcomeOf([&] { got = q.next(kBatch, columns.data(), costs.data()); });
                injected = failure.injected();
            }
            if (!injected) {
                ASSERT_EQ(outcome, Outcome::completed);
                break;
            }
            ASSERT_EQ(outcome, Outcome::badAlloc) << "batch at " << handedOut.size() << ", allocation " << n;
            ASSERT_EQ(q.handedOut(), before) << "a failed batch kept configurations at " << handedOut.size();
            ++failures;
        }
        Unmonitored bookkeeping;
        for (std::size_t j = 0; j < got; ++j) {
            handedOut.emplace_back(columns.begin() + j * probs.size(), columns.begin() + (j + 1) * probs.size());
        }
        if (got < kBatch) break;
    }
    handedOut.resize(std::min(handedOut.size(), kLimit));
    EXPECT_EQ(handedOut, expected);
    EXPECT_GT(failures, 0);
}

std::vector<StepsCase> stepsCases() {
    std::vector<Matrix> all = matrices();
    // 200 rows: nodes of 200 bytes fill storage blocks after a few hundred steps.
    ProbabilityMatrix tall(200, std::vector<double>{0.3, 0.5, 0.2});
    tall[7] = {0.5, 0.5};
    all.push_back({"two_hundred_rows", tall});
    std::vector<StepsCase> cases;
    for (const Matrix& matrix : all) {
        for (bool cache : {true, false}) cases.push_back({matrix, cache});
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Matrices, AdvanceSteps, ::testing::ValuesIn(stepsCases()), [](const auto& info) {
    return std::string(info.param.matrix.name) + (info.param.cache ? "_cache" : "_no_cache");
});

}  // namespace
