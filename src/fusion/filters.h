// Result list filters that work on values already read from the result dicts.
#pragma once

#include "fusion/id_table.h"

#include <cstddef>
#include <string_view>
#include <vector>

namespace kv::fusion {

// Keeps the best-scoring item per id, fed one item at a time. A later item
// wins only with a strictly greater score, so the earlier of equal scores
// stays and NaN neither wins nor loses. Ids are referred to, not copied: the
// bytes of each id's first occurrence must outlive the table.
class BestById {
  public:
    explicit BestById(std::size_t expected) : ids_(expected) {}

    struct Offer {
        std::size_t slot;  // the id's place in first-occurrence order
        bool best;         // the item is now the id's best
    };

    Offer offer(std::string_view id, double score) {
        const uint32_t d = ids_.intern(id);
        if (d == best_.size()) {
            best_.push_back(score);
            return {d, true};
        }
        if (score > best_[d]) {
            best_[d] = score;
            return {d, true};
        }
        return {d, false};
    }

    std::size_t size() const { return best_.size(); }

  private:
    IdTable ids_;
    std::vector<double> best_;
};

}  // namespace kv::fusion
