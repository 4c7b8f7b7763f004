#include "code/symbol_channel.h"

#include <algorithm>

namespace kv::code {

namespace {

uint64_t byte_mask(std::string_view s) {
    uint64_t m = 0;
    for (unsigned char c : s) m |= uint64_t{1} << (c & 63);
    return m;
}

// Whether `name` (with byte mask `name_mask`) contains `token`.
bool contains(std::string_view name, uint64_t name_mask, std::string_view token,
              uint64_t token_mask) {
    if (token_mask & ~name_mask) return false;
    return name.find(token) != std::string_view::npos;
}

}  // namespace

ChannelTokens::ChannelTokens(std::vector<std::string> tokens) : tokens_(std::move(tokens)) {
    masks_.reserve(tokens_.size());
    for (const std::string& t : tokens_) masks_.push_back(byte_mask(t));
}

ChannelCandidate ChannelTokens::score(uint64_t position, std::string_view symbol_name,
                                      std::string_view qualified_name) const {
    double score = 0.0;
    NameField field = NameField::Symbol;
    const bool has_sym = !symbol_name.empty();
    const bool has_qual = !qualified_name.empty();
    const uint64_t sym_mask = byte_mask(symbol_name);
    const uint64_t qual_mask = byte_mask(qualified_name);
    for (std::size_t i = 0; i < tokens_.size(); ++i) {
        std::string_view token = tokens_[i];
        const uint64_t mask = masks_[i];
        if (has_sym && symbol_name == token) {
            score = 1.0;
            field = NameField::Symbol;
        } else if (has_sym && score < 1.0 && contains(symbol_name, sym_mask, token, mask)) {
            score = 0.6;
            field = NameField::Symbol;
        }
        if (has_qual && qualified_name == token) {
            score = 1.0;
            field = NameField::Qualified;
        } else if (has_qual && score < 1.0 && contains(qualified_name, qual_mask, token, mask)) {
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
