// Grouping of embedding rows whose cosine similarity reaches a threshold, in
// single precision: pairwise dot products of unit rows, union-find, groups.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kv::graph {

// Rows of single-precision items, stored one after another: row r is
// values[start[r] .. start[r+1]).
struct Rows {
    std::vector<float> values;
    std::vector<std::size_t> start{0};

    std::size_t size() const { return start.size() - 1; }
    void end_row() { start.push_back(values.size()); }
};

// Which pairwise kernel may be used: the widest the CPU supports, or a
// narrower one (all give identical results; the choice exists for testing).
enum class SimdLevel { Scalar, Avx2, Avx512, Best };

// Normalises the rows in place and returns the groups of two or more rows,
// ordered by their union-find root, each in increasing row order.
std::vector<std::vector<uint32_t>> alias_groups(Rows& rows, float threshold,
                                                SimdLevel level = SimdLevel::Best);

// The dot product of the first `d` items of a and b, accumulated in item order
// in single precision.
float dot_in_order(const float* a, const float* b, std::size_t d);

}  // namespace kv::graph
