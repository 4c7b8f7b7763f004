#include "fusion/filters.h"

#include "fusion/id_table.h"

#include <cstdint>
#include <limits>
#include <stdexcept>

namespace kv::fusion {

std::vector<std::size_t> best_by_id(std::span<const std::string_view> ids,
                                    std::span<const double> scores) {
    if (ids.size() != scores.size()) throw std::logic_error("ids and scores differ in length");
    IdTable table(ids.size());
    std::vector<std::size_t> best;  // dense id (first-occurrence order) -> item
    for (std::size_t i = 0; i < ids.size(); ++i) {
        if (ids[i].empty()) continue;
        const uint32_t d = table.intern(ids[i]);
        if (d == best.size())
            best.push_back(i);
        else if (scores[i] > scores[best[d]])
            best[d] = i;
    }
    return best;
}

}  // namespace kv::fusion
