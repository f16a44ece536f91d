// An outside program using quorin: the documented order of a small matrix.
#include <cstdio>
#include <vector>

#include <quorin/quorin.h>

int main() {
    quorin::Quorin q(quorin::ProbabilityMatrix{{0.2, 0.8}, {0.1, 0.9}});
    const std::vector<std::vector<int>> expected = {{1, 1}, {0, 1}, {1, 0}, {0, 0}};
    std::vector<std::vector<int>> got;
    std::vector<int> columns;
    while (q.next(columns)) got.push_back(columns);
    if (got != expected) {
        std::fprintf(stderr, "unexpected order\n");
        return 1;
    }
    std::printf("ok\n");
    return 0;
}
