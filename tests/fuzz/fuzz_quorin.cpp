// libFuzzer target for the enumeration core.
//
// Fuzzed bytes decode into a probability matrix (layout below). A matrix that construction
// must refuse has to be refused with std::invalid_argument naming its first bad entry; any
// other matrix is enumerated and the result checked: column indices in range, no
// configuration twice, costs non-decreasing up to rounding (zero-probability ones last),
// cache on and off identical, copies taken midway continuing exactly like the original,
// and small matrices enumerated completely. A violated check prints why and traps.
//
// Build and run: scripts/run-fuzz. The same file, compiled without libFuzzer and with
// -DQUORIN_FUZZ_WRITE_SEEDS, becomes the tool that wrote the seed corpus tests/fuzz/corpus
// (its encode() is the inverse of decode(), so seeds always match the layout below):
//
//   g++ -std=c++17 -DQUORIN_FUZZ_WRITE_SEEDS -Iinclude tests/fuzz/fuzz_quorin.cpp src/quorin.cpp -o /tmp/write-seeds
//   /tmp/write-seeds tests/fuzz/corpus
//
// Input layout (bytes past the end read as 0):
//   [0..1]  row count, little endian, modulo kMaxRows + 1
//   [2]     flags: kAllowInvalid lets NaN, infinities and negatives through;
//                  kRawDoubles makes selectors >= kRawSelector read 8 raw bytes;
//                  kCopyWithoutCache runs the copy check with the cache off
//   [3]     after how many configurations the copy is taken (modulo the run length)
//   then per row, until the input ends or the row count is reached:
//           a length byte (0xff means 0xff plus the next byte), then one selector per
//           column, each a palette index or kRawSelector followed by a raw double.
// The total number of entries is capped at kMaxEntries; rows beyond the cap keep at most
// one entry, so an empty row stays empty.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <optional>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <quorin/quorin.h>

namespace {

using quorin::ProbabilityMatrix;
using quorin::Quorin;
using Configuration = std::vector<int>;

constexpr std::size_t kMaxRows = 300;
constexpr std::size_t kMaxEntries = 20000;
// Runs stop after this many configurations; matrices with at most this many are run to
// exhaustion and must be complete.
constexpr std::size_t kMaxConfigurations = 300;

constexpr std::uint8_t kAllowInvalid = 1;
constexpr std::uint8_t kRawDoubles = 2;
constexpr std::uint8_t kCopyWithoutCache = 4;

constexpr std::uint8_t kRawSelector = 0xf0;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Selectors 0x00-0x1f: probabilities in (0, 1), several of them repeated so that exact ties
// between columns, rows and whole configurations are common.
constexpr double kOrdinary[32] = {
    0.5,  0.25, 0.75,  0.125, 0.1,   0.2,  0.3,   0.4,    0.6,    0.7,  0.8,
    0.9,  0.5,  0.25,  0.5,   0.05,  0.01, 0.001, 1e-6,   0.0625, 0.375, 0.625,
    0.875, 0.5, 0.25,  0.99,  0.999, 0.15, 0.35,  1.0 / 3, 2.0 / 3, 0.5};

// Selectors 0x20-0x2f: accepted values at the edges of the arithmetic.
constexpr double kEdges[16] = {
    0.0,    -0.0,    5e-324, 2.2250738585072014e-308, 1e-300, 1e-100,
    1.0,    0.99999999999999989, 1.0000000000000002, 1.5, 2.0, 1e10,
    1e308,  1.7976931348623157e308, 0.0, 1.0};

// Selectors 0x30-0x37: values construction must refuse.
constexpr double kInvalid[8] = {kNaN, -kNaN, kInf, -kInf, -0.5, -5e-324, -1e308, -1.0};

constexpr std::uint8_t kFirstEdge = 0x20;
constexpr std::uint8_t kFirstInvalid = 0x30;
constexpr std::uint8_t kFirstFree = 0x38;

bool isValid(double p) { return std::isfinite(p) && p >= 0.0; }

double fromSelector(std::uint8_t selector, bool allowInvalid) {
    if (selector < kFirstEdge) return kOrdinary[selector];
    if (selector < kFirstInvalid) return kEdges[selector - kFirstEdge];
    if (selector < kFirstFree) {
        return allowInvalid ? kInvalid[selector - kFirstInvalid] : kEdges[selector - kFirstInvalid];
    }
    // The rest repeats the accepted palette, ordinary values twice as often as edges.
    const int index = (selector - kFirstFree) % 48;
    return index < 32 ? kOrdinary[index] : kEdges[index - 32];
}

class ByteReader {
public:
    ByteReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool atEnd() const { return position_ >= size_; }
    std::uint8_t byte() { return position_ < size_ ? data_[position_++] : 0; }
    double rawDouble() {
        std::uint8_t bytes[sizeof(double)] = {};
        for (std::uint8_t& b : bytes) b = byte();
        double value;
        std::memcpy(&value, bytes, sizeof value);
        return value;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t position_ = 0;
};

struct FuzzCase {
    ProbabilityMatrix probs;
    std::uint8_t flags = 0;
    std::uint8_t copyAt = 0;
};

FuzzCase decode(const std::uint8_t* data, std::size_t size) {
    ByteReader in(data, size);
    FuzzCase fuzzCase;
    std::size_t rowCount = in.byte();
    rowCount |= static_cast<std::size_t>(in.byte()) << 8;
    rowCount %= kMaxRows + 1;
    fuzzCase.flags = in.byte();
    fuzzCase.copyAt = in.byte();
    const bool allowInvalid = (fuzzCase.flags & kAllowInvalid) != 0;
    const bool rawDoubles = (fuzzCase.flags & kRawDoubles) != 0;

    std::size_t entries = 0;
    while (fuzzCase.probs.size() < rowCount && !in.atEnd()) {
        std::size_t length = in.byte();
        if (length == 0xff) length += in.byte();
        const std::size_t remaining = entries < kMaxEntries ? kMaxEntries - entries : 0;
        if (length > remaining) length = std::max<std::size_t>(remaining, 1);
        std::vector<double> row;
        row.reserve(length);
        for (std::size_t j = 0; j < length; ++j) {
            const std::uint8_t selector = in.byte();
            if (rawDoubles && selector >= kRawSelector) {
                double value = in.rawDouble();
                if (!allowInvalid && !isValid(value)) value = std::isnan(value) ? 0.5 : std::fabs(value);
                if (!allowInvalid && !isValid(value)) value = 2.0;  // was an infinity
                row.push_back(value);
            } else {
                row.push_back(fromSelector(selector, allowInvalid));
            }
        }
        entries += length;
        fuzzCase.probs.push_back(std::move(row));
    }
    return fuzzCase;
}

// --- checks ---------------------------------------------------------------------------

[[noreturn]] void fail(const char* what, const std::string& detail = "") {
    std::fprintf(stderr, "fuzz_quorin: %s%s%s\n", what, detail.empty() ? "" : ": ", detail.c_str());
    std::fflush(stderr);
    __builtin_trap();
}

// The detail is built only when the check fails: describing every configuration up front
// would cost more than the enumeration itself.
template <class Detail>
void require(bool condition, const char* what, Detail&& detail) {
    if (!condition) fail(what, detail());
}

void require(bool condition, const char* what) {
    if (!condition) fail(what);
}

std::string describe(const Configuration& columns) {
    std::string text = "[";
    for (std::size_t i = 0; i < columns.size(); ++i) text += (i ? "," : "") + std::to_string(columns[i]);
    return text + "]";
}

struct BadEntry {
    std::size_t row;
    std::optional<std::size_t> column;  // none: the row is empty
};

// The first entry, in row-major order, that construction has to refuse.
std::optional<BadEntry> firstBadEntry(const ProbabilityMatrix& probs) {
    for (std::size_t i = 0; i < probs.size(); ++i) {
        if (probs[i].empty()) return BadEntry{i, std::nullopt};
        for (std::size_t j = 0; j < probs[i].size(); ++j) {
            if (!isValid(probs[i][j])) return BadEntry{i, j};
        }
    }
    return std::nullopt;
}

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

bool endsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

void checkRefused(const ProbabilityMatrix& probs, const BadEntry& bad, bool cache) {
    try {
        Quorin q(probs, cache);
    } catch (const std::invalid_argument& error) {
        const std::string message = error.what();
        const std::string row = "probs[" + std::to_string(bad.row) + "]";
        if (!bad.column) {
            require(message == row + " is empty", "wrong message for an empty row", [&] { return message; });
            return;
        }
        const std::string head = row + "[" + std::to_string(*bad.column) + "] is ";
        const std::string tail = ": probabilities must be finite and non-negative";
        require(startsWith(message, head) && endsWith(message, tail) &&
                    message.size() > head.size() + tail.size(),
                "wrong message for a refused probability", [&] { return message + " (expected " + head + "...)"; });
        const double p = probs[bad.row][*bad.column];
        const std::string value = message.substr(head.size(), message.size() - head.size() - tail.size());
        if (std::isnan(p)) require(value.find("nan") != std::string::npos, "NaN not shown as such", [&] { return message; });
        if (std::isinf(p)) require(value.find("inf") != std::string::npos, "infinity not shown as such", [&] { return message; });
        if (p < 0.0) require(value[0] == '-', "negative value shown without its sign", [&] { return message; });
        return;
    } catch (const std::exception& error) {
        fail("refused matrix raised the wrong exception type", error.what());
    } catch (...) {
        fail("refused matrix raised a non-standard exception");
    }
    fail("matrix with an empty row or a NaN, negative or infinite probability was accepted");
}

// Hands out configurations until `limit` or exhaustion; `finished` tells which.
struct Run {
    std::vector<Configuration> configurations;
    bool finished = false;
};

Run drain(Quorin& q, std::size_t limit) {
    Run run;
    Configuration columns;
    while (run.configurations.size() < limit) {
        if (!q.next(columns)) {
            run.finished = true;
            require(q.exhausted, "next() returned false without setting exhausted");
            require(!q.next(columns), "next() handed out a configuration after returning false");
            break;
        }
        run.configurations.push_back(columns);
    }
    return run;
}

// Number of configurations, saturating just above `cap`.
std::size_t configurationCount(const ProbabilityMatrix& probs, std::size_t cap) {
    std::size_t count = 1;
    for (const std::vector<double>& row : probs) {
        count *= row.size();
        if (count > cap) return cap + 1;
    }
    return count;
}

void checkSequence(const ProbabilityMatrix& probs, const Run& run, std::size_t expectedLength,
                   bool expectFinished) {
    const std::vector<Configuration>& configurations = run.configurations;
    require(configurations.size() == expectedLength, "wrong number of configurations", [&] {
        return std::to_string(configurations.size()) + " instead of " + std::to_string(expectedLength);
    });
    require(run.finished == expectFinished,
            expectFinished ? "enumeration did not end after the last configuration"
                           : "enumeration ended early");

    std::vector<std::vector<double>> costs(probs.size());
    for (std::size_t i = 0; i < probs.size(); ++i) {
        for (double p : probs[i]) costs[i].push_back(-std::log(p));
    }

    std::set<Configuration> seen;
    double previousCost = -kInf;
    double previousScale = 0.0;
    for (std::size_t k = 0; k < configurations.size(); ++k) {
        const Configuration& columns = configurations[k];
        require(columns.size() == probs.size(), "configuration of the wrong length", [&] { return describe(columns); });
        double cost = 0.0;
        double scale = 0.0;  // magnitude of the terms, which bounds the rounding of the sum
        for (std::size_t i = 0; i < columns.size(); ++i) {
            require(columns[i] >= 0 && static_cast<std::size_t>(columns[i]) < probs[i].size(),
                    "column index out of range", [&] { return describe(columns); });
            const double term = costs[i][static_cast<std::size_t>(columns[i])];
            cost += term;
            scale += std::fabs(term);
        }
        require(seen.insert(columns).second, "configuration handed out twice", [&] { return describe(columns); });
        if (std::isinf(previousCost) && previousCost > 0) {
            require(std::isinf(cost), "finite cost after a zero-probability configuration",
                    [&] { return describe(columns); });
        } else if (!std::isinf(cost)) {
            const double tolerance = 1e-9 * std::max({1.0, scale, previousScale});
            require(cost >= previousCost - tolerance, "cost decreased", [&] {
                return std::to_string(previousCost) + " then " + std::to_string(cost) + " at position " +
                       std::to_string(k) + " " + describe(columns);
            });
        }
        previousCost = cost;
        previousScale = scale;
    }
}

void checkEnumeration(const FuzzCase& fuzzCase) {
    const ProbabilityMatrix& probs = fuzzCase.probs;
    const std::size_t total = configurationCount(probs, kMaxConfigurations);
    // Runs are allowed one configuration more than kMaxConfigurations, so a complete run
    // must also report its end, and an incomplete one must not end early.
    const bool complete = total <= kMaxConfigurations;
    const std::size_t length = total;  // saturated at kMaxConfigurations + 1

    Quorin cached(probs, true);
    const Run reference = drain(cached, kMaxConfigurations + 1);
    checkSequence(probs, reference, length, complete);

    Quorin uncached(probs, false);
    const Run withoutCache = drain(uncached, kMaxConfigurations + 1);
    require(withoutCache.configurations == reference.configurations, "cache on and off differ");
    require(withoutCache.finished == reference.finished, "cache on and off end differently");

    // A copy and a copy-assigned enumerator taken midway must continue like the original,
    // even after the original has run on to the end.
    const bool cache = (fuzzCase.flags & kCopyWithoutCache) == 0;
    const std::size_t copyAt = fuzzCase.copyAt % (length + 1);
    Quorin original(probs, cache);
    const Run head = drain(original, copyAt);
    require(head.configurations.size() == copyAt, "enumeration ended before the copy point");
    Quorin copy(original);
    Quorin assigned(ProbabilityMatrix{{0.5, 0.5}}, !cache);
    assigned = original;
    const std::vector<Configuration> expectedTail(reference.configurations.begin() + static_cast<std::ptrdiff_t>(copyAt),
                                                  reference.configurations.end());
    for (Quorin* q : {&original, &copy, &assigned}) {
        const Run tail = drain(*q, kMaxConfigurations + 1 - copyAt);
        require(tail.configurations == expectedTail, "an enumerator copied midway diverged");
        require(tail.finished == reference.finished, "an enumerator copied midway ended differently");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const FuzzCase fuzzCase = decode(data, size);
    if (const std::optional<BadEntry> bad = firstBadEntry(fuzzCase.probs)) {
        checkRefused(fuzzCase.probs, *bad, true);
        checkRefused(fuzzCase.probs, *bad, false);
        return 0;
    }
    try {
        checkEnumeration(fuzzCase);
    } catch (const std::exception& error) {
        fail("valid matrix raised an exception", error.what());
    } catch (...) {
        fail("valid matrix raised a non-standard exception");
    }
    return 0;
}

#ifdef QUORIN_FUZZ_WRITE_SEEDS
// --- seed corpus writer -------------------------------------------------------------------
namespace {

// The inverse of decode(): palette values become their selector, anything else a raw double.
std::vector<std::uint8_t> encode(const ProbabilityMatrix& probs, std::uint8_t copyAt, std::uint8_t extraFlags = 0) {
    auto selectorOf = [](double p) -> std::optional<std::uint8_t> {
        for (int s = 0; s < kFirstFree; ++s) {
            const double candidate = fromSelector(static_cast<std::uint8_t>(s), true);
            if (std::memcmp(&candidate, &p, sizeof p) == 0) return static_cast<std::uint8_t>(s);
        }
        return std::nullopt;
    };
    std::uint8_t flags = extraFlags;
    std::vector<std::uint8_t> body;
    for (const std::vector<double>& row : probs) {
        if (row.size() >= 0xff) {
            body.push_back(0xff);
            body.push_back(static_cast<std::uint8_t>(row.size() - 0xff));
        } else {
            body.push_back(static_cast<std::uint8_t>(row.size()));
        }
        for (double p : row) {
            if (!isValid(p)) flags |= kAllowInvalid;
            if (const std::optional<std::uint8_t> selector = selectorOf(p)) {
                body.push_back(*selector);
            } else {
                flags |= kRawDoubles;
                body.push_back(kRawSelector);
                std::uint8_t bytes[sizeof p];
                std::memcpy(bytes, &p, sizeof p);
                body.insert(body.end(), bytes, bytes + sizeof p);
            }
        }
    }
    std::vector<std::uint8_t> out = {static_cast<std::uint8_t>(probs.size() & 0xff),
                                     static_cast<std::uint8_t>(probs.size() >> 8), flags, copyAt};
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

struct Seed {
    const char* name;
    ProbabilityMatrix probs;
    std::uint8_t copyAt;
    std::uint8_t extraFlags;
};

ProbabilityMatrix repeated(std::size_t rows, const std::vector<double>& row) { return ProbabilityMatrix(rows, row); }

ProbabilityMatrix randomMatrix(std::mt19937& rng, std::size_t rows, std::size_t maxColumns,
                               const std::vector<double>& values) {
    ProbabilityMatrix probs(rows);
    for (std::vector<double>& row : probs) {
        row.resize(1 + rng() % maxColumns);
        for (double& p : row) p = values[rng() % values.size()];
    }
    return probs;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT_DIRECTORY\n", argv[0]);
        return 2;
    }
    const std::vector<double> half = {0.5, 0.5};
    const std::vector<double> quarter = {0.25, 0.25, 0.25, 0.25};
    std::mt19937 rng(20240601);
    const std::vector<double> tieHeavy = {0.5, 0.25, 0.125, 0.5, 0.25, 0.75};
    const std::vector<double> withZeros = {0.5, 0.25, 0.0, -0.0, 0.5, 0.125};
    const std::vector<double> extremes = {5e-324, 1e-300, 1.0, 1e308, 2.0, 0.5, 0.0, 1.7976931348623157e308};

    std::vector<Seed> seeds = {
        {"no_rows", {}, 0, 0},
        {"single_cell", {{1.0}}, 0, 0},
        {"single_configuration", {{0.4}, {0.7}}, 1, 0},
        {"two_by_two", {{0.2, 0.8}, {0.1, 0.9}}, 2, 0},
        {"ragged", {{0.5, 0.3, 0.2}, {0.7, 0.3}}, 3, kCopyWithoutCache},
        {"three_equal_rows", repeated(3, half), 4, 0},
        {"sixteen_ties", repeated(2, quarter), 7, 0},
        {"seventeen_equal_columns", repeated(1, std::vector<double>(17, 0.5)), 5, 0},
        {"seventeen_equal_rows", repeated(17, half), 100, kCopyWithoutCache},
        {"zeros_come_last", {{0.5, 0.5}, {0.5, 0.0}}, 2, 0},
        {"zero_behind_single_column", {{1.0}, {0.5, 0.5, 0.0}}, 1, 0},
        {"only_child_zero", {{1.0}, {0.5, 0.0}}, 1, 0},
        {"two_zeros_in_a_row", {{0.0, 0.5, 0.0}, {0.3, 0.0, 0.7}, {0.0, -0.0}}, 6, 0},
        {"all_zero_rows", {{0.0, 0.0}, {-0.0, 0.0, 0.0}}, 3, 0},
        {"above_one", {{1.5, 0.5, 2.0}, {1.0, 1e308}, {0.25, 1.7976931348623157e308}}, 4, 0},
        {"subnormal_and_tiny", {{5e-324, 1e-300, 2.2250738585072014e-308}, {1e-100, 5e-324}}, 2, 0},
        {"near_one", {{0.99999999999999989, 1.0, 1.0000000000000002}, {1.0, 1.0}}, 1, 0},
        {"raw_values", {{0.3141592653589793, 0.2718281828459045}, {1e-7, 0.123456789, 4e-320}}, 3, 0},
        {"empty_row_first", {{}, {0.5, 0.5}}, 0, 0},
        {"empty_row_later", {{0.5, 0.5}, {0.2}, {}, {0.1}}, 0, 0},
        {"nan", {{0.5, 0.5}, {0.2, kNaN}}, 0, 0},
        {"negative_nan", {{-kNaN}}, 0, 0},
        {"plus_infinity", {{kInf, 0.5}}, 0, 0},
        {"minus_infinity", {{0.5}, {0.5, 0.5, -kInf}}, 0, 0},
        {"negative", {{0.5, -0.5}, {0.5}}, 0, 0},
        {"negative_subnormal", {{0.5, 0.25}, {-5e-324}}, 0, 0},
        {"bad_value_before_empty_row", {{0.5, -1.0}, {}}, 0, 0},
        {"empty_row_before_bad_value", {{}, {kNaN}}, 0, 0},
        {"raw_nan_payload", {{0.5, -std::nan("7")}}, 0, 0},
        {"one_wide_row", repeated(1, std::vector<double>(300, 0.25)), 40, 0},
        {"many_binary_rows", repeated(300, {0.5, 0.25}), 150, 0},
        {"tall_single_columns", repeated(200, {1.0}), 0, 0},
    };
    for (int i = 0; i < 4; ++i) {
        seeds.push_back({"random_ties", randomMatrix(rng, 2 + rng() % 6, 5, tieHeavy), static_cast<std::uint8_t>(rng()), 0});
        seeds.push_back({"random_zeros", randomMatrix(rng, 2 + rng() % 8, 4, withZeros), static_cast<std::uint8_t>(rng()), 0});
        seeds.push_back({"random_extremes", randomMatrix(rng, 2 + rng() % 10, 4, extremes), static_cast<std::uint8_t>(rng()), kCopyWithoutCache});
    }
    seeds.push_back({"random_large", randomMatrix(rng, 120, 40, tieHeavy), 200, 0});

    int written = 0;
    std::set<std::string> used;
    for (const Seed& seed : seeds) {
        std::string name = seed.name;
        for (int n = 2; !used.insert(name).second; ++n) name = std::string(seed.name) + "_" + std::to_string(n);
        const std::vector<std::uint8_t> bytes = encode(seed.probs, seed.copyAt, seed.extraFlags);
        // Every seed must decode to the matrix it was written from.
        const FuzzCase decoded = decode(bytes.data(), bytes.size());
        if (decoded.probs.size() != seed.probs.size() ||
            decoded.flags != bytes[2] ||
            !std::equal(decoded.probs.begin(), decoded.probs.end(), seed.probs.begin(),
                        [](const std::vector<double>& a, const std::vector<double>& b) {
                            return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
                        })) {
            std::fprintf(stderr, "seed %s does not round-trip\n", name.c_str());
            return 1;
        }
        std::ofstream file(std::string(argv[1]) + "/" + name, std::ios::binary);
        file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        if (!file) {
            std::fprintf(stderr, "cannot write seed %s\n", name.c_str());
            return 1;
        }
        ++written;
    }
    std::printf("%d seeds written to %s\n", written, argv[1]);
    return 0;
}
#endif
