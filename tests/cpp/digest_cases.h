// The long enumerations of tests/data/digests.txt: the matrix generator and the sha256 of
// an output, identical to tests/python/digest_cases.py so that both languages (and every
// compiler and standard library) must reproduce the recorded digests.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <quorin/quorin.h>

namespace quorin_test {

class SplitMix64 {
public:
    explicit SplitMix64(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }
    // A double in (0, 1), exact on every platform.
    double uniform() { return (static_cast<double>(next() >> 11) + 0.5) * 0x1p-53; }
    std::uint64_t below(std::uint64_t n) { return next() % n; }

private:
    std::uint64_t state_;
};

inline quorin::ProbabilityMatrix digestMatrix(const std::string& kind, int rows, int minCols, int maxCols,
                                              std::uint64_t seed) {
    static const std::vector<double> levels = {0.5, 0.25, 0.125, 0.0625, 0.25, 0.5};
    static const std::vector<double> zeros = {0.0, 0.5, 0.25, 0.125, 0.5};
    static const std::vector<double> equal = {0.5};
    SplitMix64 rng(seed);
    quorin::ProbabilityMatrix probs;
    for (int i = 0; i < rows; ++i) {
        const auto length = static_cast<std::size_t>(minCols) + rng.below(static_cast<std::uint64_t>(maxCols - minCols + 1));
        std::vector<double> row;
        for (std::size_t j = 0; j < length; ++j) {
            if (kind == "uniform") {
                row.push_back(rng.uniform());
                continue;
            }
            const std::vector<double>& pool = kind == "levels" ? levels : kind == "zeros" ? zeros : equal;
            if (kind != "levels" && kind != "zeros" && kind != "equal") throw std::invalid_argument("kind " + kind);
            row.push_back(pool[rng.below(pool.size())]);
        }
        probs.push_back(std::move(row));
    }
    return probs;
}

// Incremental SHA-256 (FIPS 180-4).
class Sha256 {
public:
    void update(const unsigned char* data, std::size_t size) {
        for (std::size_t i = 0; i < size; ++i) {
            block_[used_++] = data[i];
            if (used_ == 64) compress();
        }
        bits_ += 8ull * size;
    }
    std::string hex() {
        const std::uint64_t bits = bits_;
        const unsigned char one = 0x80, zero = 0;
        update(&one, 1);
        while (used_ != 56) update(&zero, 1);
        for (int i = 7; i >= 0; --i) {
            const auto byte = static_cast<unsigned char>(bits >> (8 * i));
            update(&byte, 1);
        }
        std::string out;
        char buffer[9];
        for (std::uint32_t word : h_) {
            std::snprintf(buffer, sizeof buffer, "%08x", static_cast<unsigned>(word));
            out += buffer;
        }
        return out;
    }

private:
    static std::uint32_t rotr(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }
    void compress() {
        static const std::uint32_t k[64] = {
            0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
            0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
            0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
            0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
            0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
            0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
            0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
            0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};
        std::uint32_t w[64];
        for (int i = 0; i < 16; ++i) {
            w[i] = std::uint32_t{block_[4 * i]} << 24 | std::uint32_t{block_[4 * i + 1]} << 16 |
                   std::uint32_t{block_[4 * i + 2]} << 8 | std::uint32_t{block_[4 * i + 3]};
        }
        for (int i = 16; i < 64; ++i) {
            const std::uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
            const std::uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        std::array<std::uint32_t, 8> v = h_;
        for (int i = 0; i < 64; ++i) {
            const std::uint32_t s1 = rotr(v[4], 6) ^ rotr(v[4], 11) ^ rotr(v[4], 25);
            const std::uint32_t ch = (v[4] & v[5]) ^ (~v[4] & v[6]);
            const std::uint32_t t1 = v[7] + s1 + ch + k[i] + w[i];
            const std::uint32_t s0 = rotr(v[0], 2) ^ rotr(v[0], 13) ^ rotr(v[0], 22);
            const std::uint32_t maj = (v[0] & v[1]) ^ (v[0] & v[2]) ^ (v[1] & v[2]);
            v = {t1 + s0 + maj, v[0], v[1], v[2], v[3] + t1, v[4], v[5], v[6]};
        }
        for (int i = 0; i < 8; ++i) h_[i] += v[i];
        used_ = 0;
    }

    std::array<std::uint32_t, 8> h_ = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                       0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    unsigned char block_[64] = {};
    std::size_t used_ = 0;
    std::uint64_t bits_ = 0;
};

struct DigestCase {
    std::string name, kind;
    int rows = 0, minCols = 0, maxCols = 0;
    std::uint64_t seed = 0;
    std::size_t limit = 0, count = 0;
    std::string sha256;
};

inline void PrintTo(const DigestCase& c, std::ostream* out) { *out << c.name; }

inline std::vector<DigestCase> digestCases(const std::string& path) {
    std::ifstream file(path);
    if (!file) throw std::runtime_error("cannot read " + path);
    std::vector<DigestCase> cases;
    std::string line;
    while (std::getline(file, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        DigestCase c;
        fields >> c.name >> c.kind >> c.rows >> c.minCols >> c.maxCols >> c.seed >> c.limit >> c.count >> c.sha256;
        if (!fields) throw std::runtime_error("bad line in " + path + ": " + line);
        cases.push_back(c);
    }
    return cases;
}

// (configurations taken, sha256) of the first `limit` configurations of `q`.
inline std::pair<std::size_t, std::string> digestOf(quorin::Quorin& q, std::size_t limit) {
    Sha256 sha;
    std::vector<int> columns;
    std::size_t count = 0;
    while (count < limit && q.next(columns)) {
        for (int column : columns) {
            const auto value = static_cast<std::uint32_t>(column);
            const unsigned char bytes[4] = {static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
                                            static_cast<unsigned char>(value >> 16),
                                            static_cast<unsigned char>(value >> 24)};
            sha.update(bytes, 4);
        }
        ++count;
    }
    return {count, sha.hex()};
}

}  // namespace quorin_test
