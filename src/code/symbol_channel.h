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

// The lowercased query tokens, in order, each with the set of byte values it
// holds (folded to 64 bits): a name that lacks one of them cannot contain
// the token, which spares most substring searches.
class ChannelTokens {
  public:
    explicit ChannelTokens(std::vector<std::string> tokens);
    bool empty() const { return tokens_.empty(); }

    // Scores lowercased names: per token, symbol-name equality, symbol-name
    // containment, qualified-name equality, qualified-name containment; the
    // last test that fired names the field. Score 0.0: no match.
    ChannelCandidate score(uint64_t position, std::string_view symbol_name,
                           std::string_view qualified_name) const;

  private:
    std::vector<std::string> tokens_;
    std::vector<uint64_t> masks_;
};

// Candidates arrive in ascending position order; best first, equal scores
// keep that order, cut to top_k.
void rank_channel_candidates(std::vector<ChannelCandidate>& candidates, uint64_t top_k);

}  // namespace kv::code
