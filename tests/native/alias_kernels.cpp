// Checks that every pairwise kernel of the alias grouping (scalar, AVX2,
// AVX-512 where the CPU has them) gives the same groups, on random clustered
// rows, thresholds equal to exact pair similarities, and rows holding zeros,
// infinities and NaNs. Exit status 0 when all agree.
#include "graph/alias_groups.h"

#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

using kv::graph::alias_groups;
using kv::graph::Rows;
using kv::graph::SimdLevel;

namespace {

Rows make_rows(std::mt19937& rng, std::size_t n, std::size_t d, bool specials) {
    std::normal_distribution<float> g(0.0f, 1.0f);
    std::vector<std::vector<float>> centres(1 + n / 5, std::vector<float>(d));
    for (auto& c : centres)
        for (auto& x : c) x = g(rng);
    Rows rows;
    for (std::size_t r = 0; r < n; ++r) {
        const auto& c = centres[rng() % centres.size()];
        for (std::size_t k = 0; k < d; ++k) rows.values.push_back(c[k] + 0.2f * g(rng));
        if (specials && rng() % 17 == 0) {
            const float pick[] = {0.0f, INFINITY, NAN, -0.0f, 1e-42f};
            const float v = pick[rng() % 5];
            const std::size_t start = rows.start.back();
            if (v == 0.0f && rng() % 2)
                for (std::size_t k = 0; k < d; ++k) rows.values[start + k] = 0.0f;
            else
                rows.values[start + rng() % d] = v;
        }
        rows.end_row();
    }
    return rows;
}

}  // namespace

int main() {
    std::mt19937 rng(12345);
    const SimdLevel levels[] = {SimdLevel::Scalar, SimdLevel::Avx2, SimdLevel::Avx512};
    int failures = 0, cases = 0;
    for (int round = 0; round < 120; ++round) {
        const std::size_t n = 1 + rng() % 200;
        const std::size_t dims[] = {1, 2, 3, 7, 16, 33, 100, 384};
        const std::size_t d = dims[rng() % 8];
        const bool specials = round % 3 == 0;
        const Rows base = make_rows(rng, n, d, specials);
        std::vector<float> thresholds = {0.9f, 0.5f, 0.0f, -1.0f, 0.99f};
        // Exact similarities of some pairs: one ulp off would change the result.
        Rows unit = base;
        alias_groups(unit, 2.0f, SimdLevel::Scalar);  // normalises `unit`
        for (int p = 0; p < 3 && n >= 2; ++p) {
            const std::size_t l = rng() % n, m = rng() % n;
            thresholds.push_back(kv::graph::dot_in_order(unit.values.data() + unit.start[l],
                                                         unit.values.data() + unit.start[m], d));
        }
        for (float t : thresholds) {
            Rows r0 = base;
            const auto want = alias_groups(r0, t, SimdLevel::Scalar);
            for (SimdLevel level : levels) {
                Rows r = base;
                ++cases;
                if (alias_groups(r, t, level) != want) {
                    ++failures;
                    std::printf("mismatch: n=%zu d=%zu t=%.9g level=%d\n", n, d,
                                static_cast<double>(t), static_cast<int>(level));
                }
            }
        }
    }
    std::printf("%d cases, %d mismatches\n", cases, failures);
    return failures ? 1 : 0;
}
