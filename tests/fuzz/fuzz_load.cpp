// libFuzzer target for loading saved states (Quorin::load).
//
// Each input is loaded as it is and, when long enough, resealed (its size field and
// checksum rewritten to fit), so that mutations also reach the checks behind the checksum.
// A refused input must throw std::invalid_argument, nothing else. An accepted one must save
// back to exactly its bytes, hand out a few configurations, and save again to bytes that
// load to an equal state continuing the same way. A violated check prints why and traps.
//
// Build and run: scripts/run-fuzz. Compiled without libFuzzer and with
// -DQUORIN_FUZZ_WRITE_SEEDS, the same file writes the seed corpus tests/fuzz/corpus_load,
// real saved states of small matrices with ties and zeros, mid-way and exhausted, some with
// configurations put back:
//
//   g++ -std=c++17 -DQUORIN_FUZZ_WRITE_SEEDS -Iinclude tests/fuzz/fuzz_load.cpp src/quorin.cpp src/saved_state.cpp -o /tmp/write-load-seeds
//   /tmp/write-load-seeds tests/fuzz/corpus_load
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <quorin/quorin.h>
#include <quorin/saved_state.h>

namespace {

using quorin::Quorin;
using Bytes = std::vector<unsigned char>;

// Steps taken after a successful load.
constexpr int kSteps = 6;

[[noreturn]] void fail(const char* what, const std::string& detail = "") {
    std::fprintf(stderr, "fuzz_load: %s%s%s\n", what, detail.empty() ? "" : ": ", detail.c_str());
    std::fflush(stderr);
    __builtin_trap();
}

void require(bool condition, const char* what) {
    if (!condition) fail(what);
}

std::vector<std::vector<int>> take(Quorin& q, int count) {
    std::vector<std::vector<int>> out;
    std::vector<int> columns;
    for (int i = 0; i < count && q.next(columns); ++i) out.push_back(columns);
    return out;
}

void checkAccepted(Quorin& q, const Bytes& bytes) {
    require(q.save() == bytes, "an accepted state saves to different bytes");
    take(q, kSteps);
    const Bytes after = q.save();
    Quorin again = Quorin::load(after.data(), after.size());
    require(again.state == q.state && again.exhausted == q.exhausted, "a stepped state loads differently");
    require(take(again, kSteps) == take(q, kSteps), "a reloaded state continues differently");
}

void loadOne(const Bytes& bytes) {
    std::optional<Quorin> q;
    try {
        q.emplace(Quorin::load(bytes.data(), bytes.size()));
    } catch (const std::invalid_argument& error) {
        require(std::string(error.what()).find("saved quorin state") != std::string::npos, "refusal without its subject");
        return;
    } catch (const std::exception& error) {
        fail("refused with the wrong exception type", error.what());
    }
    try {
        checkAccepted(*q, bytes);
    } catch (const std::exception& error) {
        fail("an accepted state failed later", error.what());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Bytes bytes(data, data + size);
    loadOne(bytes);
    if (size >= quorin::saved_state::kHeaderBytes + quorin::saved_state::kChecksumBytes) {
        quorin::saved_state::reseal(bytes);
        loadOne(bytes);
    }
    return 0;
}

#ifdef QUORIN_FUZZ_WRITE_SEEDS
// --- seed corpus writer -------------------------------------------------------------------
namespace {

struct Seed {
    const char* name;
    quorin::ProbabilityMatrix probs;
    bool cache;
    std::size_t steps;  // configurations asked for before saving; more than there are: exhausted
    std::size_t putBack = 0;  // then the last ones put back (a version 2 state)
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT_DIRECTORY\n", argv[0]);
        return 2;
    }
    const std::vector<double> half = {0.5, 0.5};
    const std::vector<Seed> seeds = {
        {"fresh", {{0.2, 0.8}, {0.1, 0.9}}, true, 0},
        {"fresh_no_cache", {{0.2, 0.8}, {0.1, 0.9}}, false, 0},
        {"no_rows", {}, true, 0},
        {"no_rows_exhausted", {}, false, 5},
        {"single_configuration_exhausted", {{0.4}, {0.7}}, true, 5},
        {"ties_midway", {half, half, half, {0.25, 0.25, 0.25, 0.25}}, true, 9},
        {"ties_midway_no_cache", {half, half, half, {0.25, 0.25, 0.25, 0.25}}, false, 9},
        {"zeros_midway", {{0.5, 0.0, 0.5}, {1.0}, {0.0, 0.25, 0.25, 0.5}, {0.0, 0.0}}, true, 7},
        {"zeros_exhausted", {{0.5, 0.0}, {0.0, 0.25, 0.75}}, true, 10},
        {"seventeen_ties", {std::vector<double>(17, 0.5), half}, true, 20},
        {"wide_row", {std::vector<double>(300, 0.25), {0.6, 0.4}}, true, 30},
        {"long_nodes", std::vector<std::vector<double>>(33, {0.5, 0.25, 0.25}), true, 40},
        {"ties_put_back", {half, half, half, {0.25, 0.25, 0.25, 0.25}}, true, 9, 4},
        {"zeros_exhausted_put_back_no_cache", {{0.5, 0.0}, {0.0, 0.25, 0.75}}, false, 10, 2},
    };
    for (const Seed& seed : seeds) {
        Quorin q(seed.probs, seed.cache);
        std::vector<int> columns;
        std::size_t taken = 0;
        while (taken < seed.steps && q.next(columns)) ++taken;
        q.putBack(seed.putBack);
        const Bytes bytes = q.save();
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());  // every seed loads and passes the checks
        std::ofstream file(std::string(argv[1]) + "/" + seed.name, std::ios::binary);
        file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        if (!file) {
            std::fprintf(stderr, "cannot write seed %s\n", seed.name);
            return 1;
        }
    }
    std::printf("%zu seeds written to %s\n", seeds.size(), argv[1]);
    return 0;
}
#endif
