// Maximal Marginal Relevance reranking with word-set Jaccard similarity.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kv::fusion {

// The words of text (split at White_Space runs), each reduced to its
// alphanumeric characters and then lower-cased; words left empty are dropped.
std::vector<std::string> tokenize_for_mmr(std::string_view text);

// A word set: distinct tokens in byte-wise order.
using TokenSet = std::vector<std::string>;
TokenSet token_set(std::string_view text);

// Positions of the kept results in selection order. The first pick is the most
// relevant result; each later pick maximises
//   lambda * relevance - (1 - lambda) * max Jaccard to the kept results
// (ties and NaN go to the later position), and is dropped when that maximum
// similarity reaches dup_threshold.
std::vector<std::size_t> mmr_select(std::span<const double> relevance,
                                    std::span<const TokenSet> sets, double lambda_mult,
                                    double dup_threshold);

}  // namespace kv::fusion
