// Merging a vector result list with a BM25 result list: reciprocal rank fusion
// and weighted fusion of min-max normalised scores. Works on the ids and scores
// already read from the result dicts; the caller builds the output dicts.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

namespace kv::fusion {

// Rescales values to 0..1 by (v - lo) / (hi - lo), NaN values ignored when
// finding lo and hi (and left NaN). A flat list (hi - lo below 1e-12) maps to
// all 1.0 when hi > 0.0 and to all 0.0 otherwise.
std::vector<double> min_max_norm(std::span<const double> values);

// One distinct id of a reciprocal rank fusion, in output order.
struct RrfEntry {
    // The first item holding the id: an index into the vector list, or
    // vector-list length + index into the BM25 list.
    std::size_t representative;
    double score;
    double vector_score;  // 0.0 when the vector list does not hold the id
};

// Sums 1 / (kf + position) over every occurrence of an id in either list; the
// vector score of an id is the "score" of its last vector-list occurrence.
// Sorted by fused score, highest first; ties keep the order in which the ids
// were first met.
std::vector<RrfEntry> rrf_fuse(std::span<const std::string_view> vector_ids,
                               std::span<const double> vector_scores,
                               std::span<const std::string_view> bm25_ids, double kf);

// One output result of the weighted fusion.
struct WeightedSlot {
    // Index into the vector list, or (for a BM25-only slot) vector-list length
    // + index of the first BM25 item holding the id.
    std::size_t item;
    bool bm25_only;
    double score;
};

struct WeightedFusion {
    std::vector<WeightedSlot> slots;  // in slot order (vector items, then BM25-only ids)
    std::vector<std::size_t> order;   // slot indexes by fused score, highest first
};

// Every vector item gets a slot scored weight * normalised vector score; a BM25
// item adds normalised BM25 score * (1 - weight) to the latest slot of its id,
// or opens a BM25-only slot. Equal scores keep slot order; NaN scores go last,
// in slot order.
WeightedFusion weighted_fuse(std::span<const std::string_view> vector_ids,
                             std::span<const double> vector_raw,
                             std::span<const std::string_view> bm25_ids,
                             std::span<const double> bm25_raw, double weight);

}  // namespace kv::fusion
