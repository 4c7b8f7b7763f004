#include "fusion/score_fusion.h"

#include "fusion/id_table.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <stdexcept>

namespace kv::fusion {

std::vector<double> min_max_norm(std::span<const double> values) {
    std::vector<double> out;
    if (values.empty()) return out;
    double lo = std::numeric_limits<double>::infinity();
    double hi = -std::numeric_limits<double>::infinity();
    for (double v : values) {
        if (std::isnan(v)) continue;
        if (v < lo) lo = v;
        if (v > hi) hi = v;
    }
    out.resize(values.size());
    const double range = hi - lo;
    // All-NaN input leaves lo = +inf and hi = -inf: the range is -inf, whose
    // magnitude is not below the limit, so each entry becomes NaN below.
    if (std::fabs(range) < 1e-12) {
        std::fill(out.begin(), out.end(), hi > 0.0 ? 1.0 : 0.0);
        return out;
    }
    for (std::size_t i = 0; i < values.size(); ++i) out[i] = (values[i] - lo) / range;
    return out;
}

std::vector<RrfEntry> rrf_fuse(std::span<const std::string_view> vector_ids,
                               std::span<const double> vector_scores,
                               std::span<const std::string_view> bm25_ids, double kf) {
    if (vector_scores.size() != vector_ids.size())
        throw std::logic_error("vector ids and scores differ in length");
    IdTable ids(vector_ids.size() + bm25_ids.size());
    std::vector<RrfEntry> entries;  // by dense id until sorted
    entries.reserve(vector_ids.size() + bm25_ids.size());
    auto contribute = [&](std::string_view id, std::size_t position, std::size_t item) {
        uint32_t d = ids.intern(id);
        if (d == entries.size()) entries.push_back({item, 0.0, 0.0});
        entries[d].score += 1.0 / (kf + static_cast<double>(position));
        return d;
    };
    for (std::size_t i = 0; i < vector_ids.size(); ++i) {
        uint32_t d = contribute(vector_ids[i], i, i);
        entries[d].vector_score = vector_scores[i];  // the last occurrence wins
    }
    for (std::size_t j = 0; j < bm25_ids.size(); ++j)
        contribute(bm25_ids[j], j, vector_ids.size() + j);
    // Scores are sums of reciprocals of finite numbers or +inf, never NaN, so
    // the comparison is a strict weak order.
    std::stable_sort(entries.begin(), entries.end(),
                     [](const RrfEntry& a, const RrfEntry& b) { return a.score > b.score; });
    return entries;
}

WeightedFusion weighted_fuse(std::span<const std::string_view> vector_ids,
                             std::span<const double> vector_raw,
                             std::span<const std::string_view> bm25_ids,
                             std::span<const double> bm25_raw, double weight) {
    if (vector_raw.size() != vector_ids.size() || bm25_raw.size() != bm25_ids.size())
        throw std::logic_error("result ids and scores differ in length");
    const std::vector<double> vn = min_max_norm(vector_raw);
    const std::vector<double> bn = min_max_norm(bm25_raw);
    const double bm25_weight = 1.0 - weight;

    WeightedFusion out;
    out.slots.reserve(vector_ids.size() + bm25_ids.size());
    IdTable ids(vector_ids.size() + bm25_ids.size());
    std::vector<std::size_t> slot_of;  // dense id -> latest slot
    for (std::size_t i = 0; i < vector_ids.size(); ++i) {
        uint32_t d = ids.intern(vector_ids[i]);
        if (d == slot_of.size()) slot_of.push_back(0);
        slot_of[d] = out.slots.size();
        out.slots.push_back({i, false, weight * vn[i]});
    }
    for (std::size_t j = 0; j < bm25_ids.size(); ++j) {
        const double c = bn[j] * bm25_weight;
        uint32_t d = ids.intern(bm25_ids[j]);
        if (d == slot_of.size()) {
            slot_of.push_back(out.slots.size());
            out.slots.push_back({vector_ids.size() + j, true, c});
        } else {
            out.slots[slot_of[d]].score += c;
        }
    }

    out.order.resize(out.slots.size());
    std::iota(out.order.begin(), out.order.end(), std::size_t{0});
    // NaN scores are not ordered against anything: put them after the rest
    // first, so that the sort below only ever compares numbers.
    auto numbered = std::stable_partition(out.order.begin(), out.order.end(), [&](std::size_t s) {
        return !std::isnan(out.slots[s].score);
    });
    std::stable_sort(out.order.begin(), numbered, [&](std::size_t a, std::size_t b) {
        return out.slots[a].score > out.slots[b].score;
    });
    return out;
}

}  // namespace kv::fusion
