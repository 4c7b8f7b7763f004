#include "graph/alias_groups.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define KV_X86 1
#endif

namespace kv::graph {

namespace {

class UnionFind {
  public:
    explicit UnionFind(std::size_t n) : parent_(n) {
        for (std::size_t i = 0; i < n; ++i) parent_[i] = static_cast<uint32_t>(i);
    }
    uint32_t find(uint32_t x) {
        while (parent_[x] != x) {
            parent_[x] = parent_[parent_[x]];
            x = parent_[x];
        }
        return x;
    }
    // Links l and m (l < m): the root of m goes under the root of l.
    void link(uint32_t l, uint32_t m) {
        const uint32_t rl = find(l);
        const uint32_t rm = find(m);
        if (rl != rm) parent_[rm] = rl;
    }

  private:
    std::vector<uint32_t> parent_;
};

void normalise(Rows& rows) {
    for (std::size_t r = 0; r < rows.size(); ++r) {
        float* p = rows.values.data() + rows.start[r];
        const std::size_t d = rows.start[r + 1] - rows.start[r];
        float s = 0.0f;
        for (std::size_t k = 0; k < d; ++k) s = s + p[k] * p[k];
        if (s > 0.0f) {
            const float inv = 1.0f / std::sqrt(s);
            for (std::size_t k = 0; k < d; ++k) p[k] = p[k] * inv;
        }
    }
}

// Every pair in (l, m) order, one dot product at a time.
void link_pairwise(const Rows& rows, float threshold, UnionFind& uf) {
    const std::size_t n = rows.size();
    for (std::size_t l = 0; l < n; ++l) {
        const float* a = rows.values.data() + rows.start[l];
        const std::size_t da = rows.start[l + 1] - rows.start[l];
        for (std::size_t m = l + 1; m < n; ++m) {
            const std::size_t dm = rows.start[m + 1] - rows.start[m];
            const std::size_t d = std::min(da, dm);
            if (d == 0) continue;
            if (dot_in_order(a, rows.values.data() + rows.start[m], d) >= threshold)
                uf.link(static_cast<uint32_t>(l), static_cast<uint32_t>(m));
        }
    }
}

#ifdef KV_X86

// The tiled kernels compute the same per-pair sums as dot_in_order, one pair
// per vector lane: lane j of an accumulator only ever adds the products of
// one pair, item by item, with separate multiply and add instructions, so
// each lane's result is bit-identical to the scalar loop.
constexpr std::size_t kRowsPerKernel = 8;

// masks[r] bit j: dot(row r, panel lane j) >= threshold.
__attribute__((target("avx512f"))) void kernel_avx512(const float* const* lrows, const float* panel,
                                                      std::size_t d, float threshold,
                                                      uint32_t* masks) {
    __m512 acc[kRowsPerKernel];
    for (auto& a : acc) a = _mm512_setzero_ps();
    for (std::size_t k = 0; k < d; ++k) {
        const __m512 b = _mm512_loadu_ps(panel + k * 16);
        for (std::size_t r = 0; r < kRowsPerKernel; ++r)
            acc[r] = _mm512_add_ps(acc[r], _mm512_mul_ps(_mm512_set1_ps(lrows[r][k]), b));
    }
    const __m512 t = _mm512_set1_ps(threshold);
    for (std::size_t r = 0; r < kRowsPerKernel; ++r)
        masks[r] = _mm512_cmp_ps_mask(acc[r], t, _CMP_GE_OQ);
}

__attribute__((target("avx2"))) void kernel_avx2(const float* const* lrows, const float* panel,
                                                 std::size_t d, float threshold, uint32_t* masks) {
    __m256 acc[kRowsPerKernel];
    for (auto& a : acc) a = _mm256_setzero_ps();
    for (std::size_t k = 0; k < d; ++k) {
        const __m256 b = _mm256_loadu_ps(panel + k * 8);
        for (std::size_t r = 0; r < kRowsPerKernel; ++r)
            acc[r] = _mm256_add_ps(acc[r], _mm256_mul_ps(_mm256_set1_ps(lrows[r][k]), b));
    }
    const __m256 t = _mm256_set1_ps(threshold);
    for (std::size_t r = 0; r < kRowsPerKernel; ++r)
        masks[r] = static_cast<uint32_t>(_mm256_movemask_ps(_mm256_cmp_ps(acc[r], t, _CMP_GE_OQ)));
}

using Kernel = void (*)(const float* const*, const float*, std::size_t, float, uint32_t*);

// All rows have length d > 0. Rows l are taken in tiles; each tile is compared
// with lane panels of the rows m > l, and its links are then applied in (l, m)
// order, the order of the pairwise loop.
void link_tiled(const Rows& rows, std::size_t d, float threshold, UnionFind& uf, Kernel kernel,
                std::size_t lanes) {
    const std::size_t n = rows.size();
    const std::size_t panels = (n + lanes - 1) / lanes;
    // panel p holds rows p*lanes .. p*lanes+lanes-1 item-major: [k][lane].
    std::vector<float> panel_data(panels * d * lanes, 0.0f);
    for (std::size_t r = 0; r < n; ++r) {
        const float* src = rows.values.data() + rows.start[r];
        float* dst = panel_data.data() + (r / lanes) * d * lanes + (r % lanes);
        for (std::size_t k = 0; k < d; ++k) dst[k * lanes] = src[k];
    }
    const std::vector<float> zero_row(d, 0.0f);

    constexpr std::size_t kTile = 64;
    std::vector<std::vector<uint32_t>> links(kTile);
    const float* lrows[kRowsPerKernel];
    uint32_t masks[kRowsPerKernel];
    for (std::size_t l0 = 0; l0 < n; l0 += kTile) {
        const std::size_t lend = std::min(l0 + kTile, n);
        for (auto& v : links) v.clear();
        for (std::size_t p = (l0 + 1) / lanes; p < panels; ++p) {
            const std::size_t m0 = p * lanes;
            const float* panel = panel_data.data() + p * d * lanes;
            for (std::size_t lg = l0; lg < lend; lg += kRowsPerKernel) {
                if (m0 + lanes - 1 <= lg) continue;  // no m > l in this panel
                for (std::size_t r = 0; r < kRowsPerKernel; ++r)
                    lrows[r] =
                        lg + r < lend ? rows.values.data() + rows.start[lg + r] : zero_row.data();
                kernel(lrows, panel, d, threshold, masks);
                for (std::size_t r = 0; r < kRowsPerKernel && lg + r < lend; ++r) {
                    const std::size_t l = lg + r;
                    uint32_t mask = masks[r];
                    if (l >= m0) mask &= ~((2u << (l - m0)) - 1u);      // lanes m <= l
                    if (m0 + lanes > n) mask &= (1u << (n - m0)) - 1u;  // padding lanes
                    while (mask) {
                        const unsigned j = static_cast<unsigned>(__builtin_ctz(mask));
                        mask &= mask - 1;
                        links[l - l0].push_back(static_cast<uint32_t>(m0 + j));
                    }
                }
            }
        }
        for (std::size_t l = l0; l < lend; ++l)
            for (uint32_t m : links[l - l0]) uf.link(static_cast<uint32_t>(l), m);
    }
}

#endif

}  // namespace

float dot_in_order(const float* a, const float* b, std::size_t d) {
    float acc = 0.0f;
    for (std::size_t k = 0; k < d; ++k) acc = acc + a[k] * b[k];
    return acc;
}

std::vector<std::vector<uint32_t>> alias_groups(Rows& rows, float threshold, SimdLevel level) {
    const std::size_t n = rows.size();
    if (n > std::numeric_limits<uint32_t>::max()) throw std::length_error("too many rows");
    normalise(rows);
    UnionFind uf(n);

    bool same_length = n >= 2;
    const std::size_t d = n ? rows.start[1] - rows.start[0] : 0;
    for (std::size_t r = 1; r < n && same_length; ++r)
        same_length = rows.start[r + 1] - rows.start[r] == d;

    bool done = false;
#ifdef KV_X86
    if (same_length && d > 0) {
        const bool any = level == SimdLevel::Best;
        if ((any || level == SimdLevel::Avx512) && __builtin_cpu_supports("avx512f")) {
            link_tiled(rows, d, threshold, uf, kernel_avx512, 16);
            done = true;
        } else if ((any || level == SimdLevel::Avx2) && __builtin_cpu_supports("avx2")) {
            link_tiled(rows, d, threshold, uf, kernel_avx2, 8);
            done = true;
        }
    }
#else
    (void)level;
#endif
    if (!done && !(same_length && d == 0)) link_pairwise(rows, threshold, uf);

    std::vector<std::vector<uint32_t>> by_root(n);
    for (std::size_t i = 0; i < n; ++i)
        by_root[uf.find(static_cast<uint32_t>(i))].push_back(static_cast<uint32_t>(i));
    std::vector<std::vector<uint32_t>> groups;
    for (auto& g : by_root)
        if (g.size() >= 2) groups.push_back(std::move(g));
    return groups;
}

}  // namespace kv::graph
