#include "code/symbol_channel.h"

#include <algorithm>

namespace kv::code {

ChannelCandidate score_symbol_names(uint64_t position, std::string_view symbol_name,
                                    std::string_view qualified_name,
                                    const std::vector<std::string>& tokens) {
    double score = 0.0;
    NameField field = NameField::Symbol;
    const bool has_sym = !symbol_name.empty();
    const bool has_qual = !qualified_name.empty();
    for (const std::string& token : tokens) {
        if (has_sym && symbol_name == token) {
            score = 1.0;
            field = NameField::Symbol;
        } else if (has_sym && score < 1.0 && symbol_name.find(token) != std::string_view::npos) {
            score = 0.6;
            field = NameField::Symbol;
        }
        if (has_qual && qualified_name == token) {
            score = 1.0;
            field = NameField::Qualified;
        } else if (has_qual && score < 1.0 &&
                   qualified_name.find(token) != std::string_view::npos) {
            score = 0.6;
            field = NameField::Qualified;
        }
    }
    return {position, score, field};
}

void rank_channel_candidates(std::vector<ChannelCandidate>& candidates, uint64_t top_k) {
    std::stable_sort(
        candidates.begin(), candidates.end(),
        [](const ChannelCandidate& a, const ChannelCandidate& b) { return a.score > b.score; });
    if (candidates.size() > top_k) candidates.resize(static_cast<std::size_t>(top_k));
}

}  // namespace kv::code
