// Result list filters that work on values already read from the result dicts.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

namespace kv::fusion {

// For each distinct non-empty id, in order of first occurrence, the index of
// its best-scoring item. A later item wins only with a strictly greater score,
// so the earlier of equal scores stays and NaN neither wins nor loses.
std::vector<std::size_t> best_by_id(std::span<const std::string_view> ids,
                                    std::span<const double> scores);

}  // namespace kv::fusion
