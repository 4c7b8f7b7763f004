// Index-free scoring of one chunk's symbol names against query tokens, and
// the ranking of the scored chunks.
#pragma once

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

// Scores lowercased names against lowercased tokens: per token, symbol-name
// equality, symbol-name containment, qualified-name equality, qualified-name
// containment; the last test that fired names the field. Score 0.0: no match.
ChannelCandidate score_symbol_names(uint64_t position, std::string_view symbol_name,
                                    std::string_view qualified_name,
                                    const std::vector<std::string>& tokens);

// Candidates arrive in ascending position order; best first, equal scores
// keep that order, cut to top_k.
void rank_channel_candidates(std::vector<ChannelCandidate>& candidates, uint64_t top_k);

}  // namespace kv::code
