// Prints the ten most probable joint guesses of a three-byte key, best first.
#include <cmath>
#include <cstdio>
#include <vector>

#include <quorin/quorin.h>

int main() {
    // For each key byte, the attack's probability of each candidate value (here 4 values).
    const quorin::ProbabilityMatrix probs = {
        {0.10, 0.60, 0.20, 0.10},
        {0.25, 0.25, 0.40, 0.10},
        {0.70, 0.05, 0.05, 0.20},
    };
    quorin::Quorin guesses(probs);
    std::vector<int> columns;
    for (int rank = 1; rank <= 10 && guesses.next(columns); ++rank) {
        double p = 1.0;
        std::printf("%2d:", rank);
        for (std::size_t row = 0; row < columns.size(); ++row) {
            std::printf(" %d", columns[row]);
            p *= probs[row][columns[row]];
        }
        std::printf("   p = %.4f\n", p);
    }
    return 0;
}
