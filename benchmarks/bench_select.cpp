// The select side of benchmarks/bench_counting.py: reads a matrix (rows and columns as
// little-endian uint64, then the doubles row after row), finds the configuration at each
// position given as a power of two, and prints one JSON object per position: its columns
// and cost, the seconds taken and the process's peak resident memory so far.
//
//     quorin_bench_select MATRIX EXPONENT...
#include <quorin/counting.h>

#include <sys/resource.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s MATRIX EXPONENT...\n", argv[0]);
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    std::uint64_t shape[2] = {0, 0};
    in.read(reinterpret_cast<char*>(shape), sizeof shape);
    quorin::ProbabilityMatrix probs(shape[0], std::vector<double>(shape[1]));
    for (auto& row : probs) in.read(reinterpret_cast<char*>(row.data()), static_cast<std::streamsize>(row.size() * sizeof(double)));
    if (!in) {
        std::fprintf(stderr, "cannot read the matrix %s\n", argv[1]);
        return 2;
    }
    for (int a = 2; a < argc; ++a) {
        const unsigned exponent = static_cast<unsigned>(std::atoi(argv[a]));
        const auto start = std::chrono::steady_clock::now();
        const quorin::Configuration c = quorin::select(probs, quorin::Count::powerOfTwo(exponent));
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        std::printf("{\"exponent\": %u, \"seconds\": %.3f, \"peak_mib\": %.1f, \"cost\": %.17g, \"columns\": [", exponent,
                    seconds, static_cast<double>(usage.ru_maxrss) / 1024.0, c.cost);
        for (std::size_t i = 0; i < c.columns.size(); ++i) std::printf("%s%d", i == 0 ? "" : ", ", c.columns[i]);
        std::printf("]}\n");
        std::fflush(stdout);
    }
    return 0;
}
