// Index-free scoring of one chunk's symbol names against query tokens, and
// the ranking of the scored chunks.
#pragma once

#include "code/padded_name.h"
#include "code/symbol_index.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kv::code {

struct ChannelCandidate {
    uint64_t position;
    double score;  // 1.0 or 0.6
    NameField field;
};

// The lowercased query tokens, in order, each prepared for block-wise
// substring tests.
class ChannelTokens {
  public:
    explicit ChannelTokens(std::vector<std::string> tokens);
    ChannelTokens(const ChannelTokens&) = delete;  // needles point into tokens_
    ChannelTokens& operator=(const ChannelTokens&) = delete;
    bool empty() const { return tokens_.empty(); }

    // Scores lowercased names: per token, symbol-name equality, symbol-name
    // containment, qualified-name equality, qualified-name containment; the
    // last test that fired names the field. Score 0.0: no match.
    ChannelCandidate score(uint64_t position, const PaddedName& symbol_name,
                           const PaddedName& qualified_name) const;

  private:
    std::vector<std::string> tokens_;
    std::vector<PaddedNeedle> needles_;
};

// Candidates arrive in ascending position order; best first, equal scores
// keep that order, cut to top_k.
void rank_channel_candidates(std::vector<ChannelCandidate>& candidates, uint64_t top_k);

}  // namespace kv::code
