#include "code/symbol_channel.h"

#include <algorithm>

namespace kv::code {

ChannelTokens::ChannelTokens(std::vector<std::string> tokens) : tokens_(std::move(tokens)) {
    needles_.reserve(tokens_.size());
    for (const std::string& t : tokens_) needles_.emplace_back(t);
}

ChannelCandidate ChannelTokens::score(uint64_t position, const PaddedName& symbol_name,
                                      const PaddedName& qualified_name) const {
    // 0: no match, 1: contained (0.6), 2: whole name (1.0).
    int level = 0;
    NameField field = NameField::Symbol;
    const std::string_view sym = symbol_name.view();
    const std::string_view qual = qualified_name.view();
    for (const PaddedNeedle& needle : needles_) {
        const std::string_view token = needle.text;
        if (!sym.empty()) {
            if (sym.size() == token.size() && sym == token) {
                level = 2;
                field = NameField::Symbol;
            } else if (level < 2 && symbol_name.contains(needle)) {
                level = 1;
                field = NameField::Symbol;
            }
        }
        if (!qual.empty()) {
            if (qual.size() == token.size() && qual == token) {
                level = 2;
                field = NameField::Qualified;
            } else if (level < 2 && qualified_name.contains(needle)) {
                level = 1;
                field = NameField::Qualified;
            }
        }
    }
    return {position, level == 2 ? 1.0 : level == 1 ? 0.6 : 0.0, field};
}

void rank_channel_candidates(std::vector<ChannelCandidate>& candidates, uint64_t top_k) {
    std::stable_sort(
        candidates.begin(), candidates.end(),
        [](const ChannelCandidate& a, const ChannelCandidate& b) { return a.score > b.score; });
    if (candidates.size() > top_k) candidates.resize(static_cast<std::size_t>(top_k));
}

}  // namespace kv::code
