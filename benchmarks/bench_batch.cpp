// Times the C++ calls that hand out configurations, for bench_quorin.py's batch line: the
// batch call Quorin::next(count, columns, costs) and the single-step loop over
// Quorin::next(std::vector<int>&), each on a fresh enumerator taking K configurations.
//
//     quorin_bench_batch MATRIX K BATCH REPEAT [CACHE]
//
// MATRIX is a file of little-endian values: rows and columns as 64-bit integers, then the
// probabilities row after row as doubles (bench_quorin.py writes it from the matrix the
// Python timings use). CACHE is 1 (default) or 0. One untimed run of each kind comes first,
// so that the timed ones, like those of a Python process that has run before, reuse memory
// the process already has. Prints one JSON line: the nanoseconds per configuration of every
// timed run of each kind, the kinds taking turns going first.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <quorin/quorin.h>

namespace {

quorin::ProbabilityMatrix readMatrix(const char* path) {
    std::ifstream in(path, std::ios::binary);
    std::uint64_t shape[2] = {0, 0};
    in.read(reinterpret_cast<char*>(shape), sizeof shape);
    quorin::ProbabilityMatrix probs(shape[0], std::vector<double>(shape[1]));
    for (std::vector<double>& row : probs) {
        in.read(reinterpret_cast<char*>(row.data()), static_cast<std::streamsize>(row.size() * sizeof(double)));
    }
    if (!in) {
        std::fprintf(stderr, "cannot read the matrix from %s\n", path);
        std::exit(2);
    }
    return probs;
}

double nanoseconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - since).count();
}

// The batch call into a buffer of `batch` configurations reused from call to call, as a C
// tester would use it; returns ns per configuration.
double timeBatches(const quorin::ProbabilityMatrix& probs, bool cache, std::size_t k, std::size_t batch,
                   std::uint64_t& check) {
    quorin::Quorin q(probs, cache);
    std::vector<int> columns(batch * q.rows());
    std::vector<double> costs(batch);
    const auto start = std::chrono::steady_clock::now();
    std::size_t taken = 0;
    while (taken < k) {
        const std::size_t got = q.next(std::min(batch, k - taken), columns.data(), costs.data());
        if (got == 0) break;
        check += static_cast<std::uint64_t>(columns[0]);
        taken += got;
    }
    return nanoseconds(start) / static_cast<double>(taken);
}

double timeSteps(const quorin::ProbabilityMatrix& probs, bool cache, std::size_t k, std::uint64_t& check) {
    quorin::Quorin q(probs, cache);
    std::vector<int> columns;
    const auto start = std::chrono::steady_clock::now();
    std::size_t taken = 0;
    while (taken < k && q.next(columns)) {
        check += static_cast<std::uint64_t>(columns[0]);
        ++taken;
    }
    return nanoseconds(start) / static_cast<double>(taken);
}

std::string list(const std::vector<double>& values) {
    std::string text = "[";
    for (std::size_t i = 0; i < values.size(); ++i) text += (i ? ", " : "") + std::to_string(values[i]);
    return text + "]";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: %s MATRIX K BATCH REPEAT [CACHE]\n", argv[0]);
        return 2;
    }
    const quorin::ProbabilityMatrix probs = readMatrix(argv[1]);
    const std::size_t k = std::strtoull(argv[2], nullptr, 10);
    const std::size_t batch = std::strtoull(argv[3], nullptr, 10);
    const int repeat = std::atoi(argv[4]);
    const bool cache = argc < 6 || std::atoi(argv[5]) != 0;
    std::vector<double> batches, steps;
    std::uint64_t check = 0;  // keeps the outputs alive
    timeBatches(probs, cache, k, batch, check);
    timeSteps(probs, cache, k, check);
    for (int run = 0; run < repeat; ++run) {
        if (run % 2 == 0) {
            batches.push_back(timeBatches(probs, cache, k, batch, check));
            steps.push_back(timeSteps(probs, cache, k, check));
        } else {
            steps.push_back(timeSteps(probs, cache, k, check));
            batches.push_back(timeBatches(probs, cache, k, batch, check));
        }
    }
    std::printf("{\"batch_ns_per_config_runs\": %s, \"step_ns_per_config_runs\": %s, \"check\": %llu}\n",
                list(batches).c_str(), list(steps).c_str(), static_cast<unsigned long long>(check));
    return 0;
}
