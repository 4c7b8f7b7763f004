// Louvain modularity optimisation, local-moving phase only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kv::graph {

struct WeightedEdge {
    uint32_t a, b;
    double weight;
};

// Runs the local-moving passes over `n` nodes and the accepted edges (self-loops
// given as a == b count twice towards their node's degree) and returns, for each
// node, its community number: communities numbered 0, 1, ... in the order of
// their first node. Neighbouring communities are tried in the order in which
// the node's adjacency list first reaches them, so results are reproducible.
std::vector<uint32_t> louvain_communities(std::size_t n, const std::vector<WeightedEdge>& edges,
                                          double resolution);

}  // namespace kv::graph
