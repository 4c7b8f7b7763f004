#include "graph/louvain.h"

#include <cmath>
#include <limits>

namespace kv::graph {

namespace {

constexpr int kMaxPasses = 20;
constexpr double kMinGain = 1e-10;

// Adjacency lists in one array: node i's entries are [start[i], start[i+1]),
// each list in the order in which its edges were given.
struct Adjacency {
    std::vector<std::size_t> start;
    std::vector<uint32_t> neighbour;
    std::vector<double> weight;
};

Adjacency build_adjacency(std::size_t n, const std::vector<WeightedEdge>& edges) {
    Adjacency adj;
    adj.start.assign(n + 1, 0);
    for (const auto& e : edges) {
        ++adj.start[e.a + 1];
        ++adj.start[e.b + 1];
    }
    for (std::size_t i = 0; i < n; ++i) adj.start[i + 1] += adj.start[i];
    adj.neighbour.resize(adj.start[n]);
    adj.weight.resize(adj.start[n]);
    std::vector<std::size_t> fill(adj.start.begin(), adj.start.end() - 1);
    for (const auto& e : edges) {
        std::size_t p = fill[e.a]++;
        adj.neighbour[p] = e.b;
        adj.weight[p] = e.weight;
        p = fill[e.b]++;
        adj.neighbour[p] = e.a;
        adj.weight[p] = e.weight;
    }
    return adj;
}

std::vector<uint32_t> number_in_order(const std::vector<uint32_t>& community) {
    const std::size_t n = community.size();
    constexpr uint32_t kNone = std::numeric_limits<uint32_t>::max();
    std::vector<uint32_t> number(n, kNone);
    std::vector<uint32_t> out(n);
    uint32_t next = 0;
    for (std::size_t i = 0; i < n; ++i) {
        uint32_t& num = number[community[i]];
        if (num == kNone) num = next++;
        out[i] = num;
    }
    return out;
}

}  // namespace

std::vector<uint32_t> louvain_communities(std::size_t n, const std::vector<WeightedEdge>& edges,
                                          double resolution) {
    const double gamma = (std::isfinite(resolution) && resolution > 0.0) ? resolution : 1.0;
    std::vector<uint32_t> community(n);
    for (std::size_t i = 0; i < n; ++i) community[i] = static_cast<uint32_t>(i);
    if (n == 0) return community;

    double m = 0.0;
    for (const auto& e : edges) m += e.weight;
    if (2.0 * m < 1e-15) return community;  // already numbered 0, 1, ...

    const Adjacency adj = build_adjacency(n, edges);
    std::vector<double> k(n, 0.0);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t p = adj.start[i]; p < adj.start[i + 1]; ++p) k[i] += adj.weight[p];
    std::vector<double> total(k);

    const double D = (2.0 * m) * m;
    // The neighbour table of one visit: summed weight per community, with the
    // communities in first-seen order. `stamp` marks which entries are live.
    std::vector<double> link(n, 0.0);
    std::vector<uint32_t> stamp(n, 0);
    std::vector<uint32_t> seen;
    uint32_t visit = 0;

    for (int pass = 0; pass < kMaxPasses; ++pass) {
        bool moved = false;
        for (std::size_t i = 0; i < n; ++i) {
            const uint32_t c = community[i];
            const double ki = k[i];
            double k_in = 0.0;
            if (++visit == 0) {  // wrapped: forget all old marks
                std::fill(stamp.begin(), stamp.end(), 0);
                visit = 1;
            }
            seen.clear();
            for (std::size_t p = adj.start[i]; p < adj.start[i + 1]; ++p) {
                const uint32_t j = adj.neighbour[p];
                const uint32_t d = community[j];
                const double w = adj.weight[p];
                if (d == c) {
                    if (j != i) k_in += w;
                    continue;
                }
                if (stamp[d] != visit) {
                    stamp[d] = visit;
                    link[d] = 0.0;
                    seen.push_back(d);
                }
                link[d] += w;
            }
            total[c] -= ki;
            uint32_t best = c;
            if (!seen.empty()) {
                double best_gain = k_in / m - (total[c] * gamma * ki) / D;
                for (uint32_t d : seen) {
                    const double gain = link[d] / m - (total[d] * gamma * ki) / D;
                    if (gain > best_gain + kMinGain) {
                        best = d;
                        best_gain = gain;
                    }
                }
            }
            community[i] = best;
            total[best] += ki;
            if (best != c) moved = true;
        }
        if (!moved) break;
    }
    return number_in_order(community);
}

}  // namespace kv::graph
