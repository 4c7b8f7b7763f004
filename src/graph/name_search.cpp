#include "graph/name_search.h"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <unordered_map>

namespace kv::graph {

namespace {

inline unsigned char fold(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + 32) : c;
}

}  // namespace

NameSearch::NameSearch(const std::vector<std::string_view>& names) {
    // Build the trie with a hash map of (state, byte) -> child.
    std::unordered_map<uint64_t, uint32_t> edges;
    std::vector<uint32_t> terminal(1, 0);  // pattern + 1 per state
    std::vector<std::vector<uint32_t>> per_pattern;
    std::vector<uint32_t> depth(1, 0);
    uint32_t states = 1;
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::string_view name = names[i];
        if (name.empty()) continue;
        uint32_t s = 0;
        for (unsigned char c : name) {
            const uint64_t key = (static_cast<uint64_t>(s) << 8) | fold(c);
            auto [it, added] = edges.try_emplace(key, states);
            if (added) {
                if (states == std::numeric_limits<uint32_t>::max())
                    throw std::length_error("too many name states");
                ++states;
                terminal.push_back(0);
                depth.push_back(depth[s] + 1);
            }
            s = it->second;
        }
        if (!terminal[s]) {
            per_pattern.emplace_back();
            pattern_length_.push_back(static_cast<uint32_t>(name.size()));
            terminal[s] = static_cast<uint32_t>(per_pattern.size());
        }
        per_pattern[terminal[s] - 1].push_back(static_cast<uint32_t>(i));
    }

    // Children in CSR form, sorted by byte.
    std::vector<std::pair<uint64_t, uint32_t>> sorted(edges.begin(), edges.end());
    edges.clear();
    std::sort(sorted.begin(), sorted.end());
    child_start_.assign(states + 1, 0);
    for (const auto& e : sorted) ++child_start_[(e.first >> 8) + 1];
    for (uint32_t s = 0; s < states; ++s) child_start_[s + 1] += child_start_[s];
    child_byte_.resize(sorted.size());
    child_state_.resize(sorted.size());
    for (std::size_t i = 0; i < sorted.size(); ++i) {
        child_byte_[i] = static_cast<unsigned char>(sorted[i].first & 0xFF);
        child_state_[i] = sorted[i].second;
    }
    sorted.clear();
    sorted.shrink_to_fit();
    root_next_.assign(256, 0);
    for (uint32_t e = child_start_[0]; e < child_start_[1]; ++e)
        root_next_[child_byte_[e]] = child_state_[e];

    // Failure and output links, breadth first.
    fail_.assign(states, 0);
    output_ = std::move(terminal);
    output_link_.assign(states, 0);
    std::vector<uint32_t> queue;
    queue.reserve(states);
    for (uint32_t e = child_start_[0]; e < child_start_[1]; ++e) queue.push_back(child_state_[e]);
    for (std::size_t qi = 0; qi < queue.size(); ++qi) {
        const uint32_t s = queue[qi];
        for (uint32_t e = child_start_[s]; e < child_start_[s + 1]; ++e) {
            const uint32_t child = child_state_[e];
            const uint32_t f = step(fail_[s], child_byte_[e]);
            fail_[child] = f;
            output_link_[child] = output_[f] ? f : output_link_[f];
            queue.push_back(child);
        }
    }

    pattern_names_start_.assign(per_pattern.size() + 1, 0);
    for (std::size_t p = 0; p < per_pattern.size(); ++p) {
        pattern_names_start_[p + 1] =
            pattern_names_start_[p] + static_cast<uint32_t>(per_pattern[p].size());
        pattern_names_.insert(pattern_names_.end(), per_pattern[p].begin(), per_pattern[p].end());
    }
    pattern_seen_.assign(per_pattern.size(), 0);
}

uint32_t NameSearch::step(uint32_t s, unsigned char c) const {
    while (true) {
        if (s == 0) return root_next_[c];
        const uint32_t lo = child_start_[s], hi = child_start_[s + 1];
        if (hi - lo <= 8) {
            for (uint32_t e = lo; e < hi; ++e)
                if (child_byte_[e] == c) return child_state_[e];
        } else {
            const unsigned char* first = child_byte_.data() + lo;
            const unsigned char* last = child_byte_.data() + hi;
            const unsigned char* it = std::lower_bound(first, last, c);
            if (it != last && *it == c) return child_state_[lo + static_cast<uint32_t>(it - first)];
        }
        s = fail_[s];
    }
}

void NameSearch::find(std::string_view text, std::vector<uint32_t>& found) {
    found.clear();
    found_patterns_.clear();
    if (pattern_length_.empty()) return;
    if (++stamp_ == 0) {
        std::fill(pattern_seen_.begin(), pattern_seen_.end(), 0);
        stamp_ = 1;
    }
    const auto* t = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    uint32_t s = 0;
    for (std::size_t i = 0; i < n; ++i) {
        s = step(s, fold(t[i]));
        if (!s) continue;
        for (uint32_t o = output_[s] ? s : output_link_[s]; o; o = output_link_[o]) {
            const uint32_t p = output_[o] - 1;
            if (pattern_seen_[p] == stamp_) continue;
            const std::size_t end = i + 1;
            const std::size_t start = end - pattern_length_[p];
            if (start > 0 && is_word_byte(t[start - 1])) continue;
            if (end < n && is_word_byte(t[end])) continue;
            pattern_seen_[p] = stamp_;
            found_patterns_.push_back(p);
        }
    }
    for (uint32_t p : found_patterns_)
        found.insert(found.end(), pattern_names_.begin() + pattern_names_start_[p],
                     pattern_names_.begin() + pattern_names_start_[p + 1]);
    std::sort(found.begin(), found.end());
}

}  // namespace kv::graph
