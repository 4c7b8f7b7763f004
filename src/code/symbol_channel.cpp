#include "code/symbol_channel.h"

#include <algorithm>

namespace kv::code {

ChannelTokens::ChannelTokens(std::vector<std::string> tokens) : tokens_(std::move(tokens)) {
    needles_.reserve(tokens_.size());
    for (const std::string& t : tokens_) needles_.emplace_back(t);
}

ChannelCandidate ChannelTokens::score(uint64_t position, const PaddedName& symbol_name,
                                      const PaddedName& qualified_name) const {
    double score = 0.0;
    NameField field = NameField::Symbol;
    const std::string_view sym = symbol_name.view();
    const std::string_view qual = qualified_name.view();
    const bool has_sym = !sym.empty();
    const bool has_qual = !qual.empty();
    for (const PaddedNeedle& needle : needles_) {
        const std::string_view token = needle.text;
        if (has_sym && sym == token) {
            score = 1.0;
            field = NameField::Symbol;
        } else if (has_sym && score < 1.0 && symbol_name.contains(needle)) {
            score = 0.6;
            field = NameField::Symbol;
        }
        if (has_qual && qual == token) {
            score = 1.0;
            field = NameField::Qualified;
        } else if (has_qual && score < 1.0 && qualified_name.contains(needle)) {
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
