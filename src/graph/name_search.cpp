#include "graph/name_search.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace kv::graph {

namespace {

inline unsigned char fold(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + 32) : c;
}

}  // namespace

NameSearch::NameSearch(const std::vector<std::string_view>& names, bool dense) {
    // Folded names in sorted order, so that the trie is built by extending the
    // previous name's path: each new state's edge is then recorded in byte
    // order under its parent.
    std::vector<std::string> folded(names.size());
    std::vector<uint32_t> order;
    order.reserve(names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (names[i].empty()) continue;
        folded[i].resize(names[i].size());
        for (std::size_t k = 0; k < names[i].size(); ++k)
            folded[i][k] = static_cast<char>(fold(static_cast<unsigned char>(names[i][k])));
        order.push_back(static_cast<uint32_t>(i));
    }
    std::stable_sort(order.begin(), order.end(),
                     [&](uint32_t a, uint32_t b) { return folded[a] < folded[b]; });

    struct Edge {
        uint32_t parent;
        unsigned char byte;
        uint32_t child;
    };
    std::vector<Edge> edges;
    std::vector<uint32_t> terminal(1, 0);  // pattern + 1 per state
    std::vector<std::vector<uint32_t>> per_pattern;
    std::vector<uint32_t> path(1, 0);  // states along the previous name
    const std::string* prev = nullptr;
    for (uint32_t i : order) {
        const std::string& name = folded[i];
        std::size_t common = 0;
        if (prev) {
            const std::size_t limit = std::min(prev->size(), name.size());
            while (common < limit && (*prev)[common] == name[common]) ++common;
        }
        path.resize(common + 1);
        for (std::size_t k = common; k < name.size(); ++k) {
            if (terminal.size() == std::numeric_limits<uint32_t>::max())
                throw std::length_error("too many name states");
            const auto child = static_cast<uint32_t>(terminal.size());
            terminal.push_back(0);
            edges.push_back({path.back(), static_cast<unsigned char>(name[k]), child});
            path.push_back(child);
        }
        const uint32_t s = path.back();
        if (!terminal[s]) {
            per_pattern.emplace_back();
            pattern_length_.push_back(static_cast<uint32_t>(name.size()));
            terminal[s] = static_cast<uint32_t>(per_pattern.size());
        }
        per_pattern[terminal[s] - 1].push_back(i);
        prev = &name;
    }
    const auto states = static_cast<uint32_t>(terminal.size());

    // Children in CSR form; within a parent they were created in byte order.
    child_start_.assign(states + 1, 0);
    for (const auto& e : edges) ++child_start_[e.parent + 1];
    for (uint32_t s = 0; s < states; ++s) child_start_[s + 1] += child_start_[s];
    child_byte_.resize(edges.size());
    child_state_.resize(edges.size());
    {
        std::vector<uint32_t> fill(child_start_.begin(), child_start_.end() - 1);
        for (const auto& e : edges) {
            const uint32_t at = fill[e.parent]++;
            child_byte_[at] = e.byte;
            child_state_[at] = e.child;
        }
    }
    edges.clear();
    edges.shrink_to_fit();
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

    if (dense) build_dense(queue);

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

void NameSearch::build_dense(const std::vector<uint32_t>& bfs_order) {
    const std::size_t states = fail_.size();
    // Byte classes: one per folded byte that occurs in some name; 0 for the rest.
    byte_class_.assign(256, 0);
    uint32_t classes = 0;
    std::vector<unsigned char> class_byte;
    for (unsigned char b : child_byte_) {
        if (!byte_class_[b]) {
            byte_class_[b] = ++classes;
            class_byte.push_back(b);
        }
    }
    for (unsigned c = 'A'; c <= 'Z'; ++c) byte_class_[c] = byte_class_[c + 32];
    if (classes == 0 || states > kMaxDenseEntries / classes || states > kStateMask) {
        dense_classes_ = 0;  // too large: the sparse automaton serves
        return;
    }
    dense_classes_ = classes;
    delta_.assign(states * classes, 0);
    // A transition into a state at which some name ends carries kHasOutput.
    auto target = [&](uint32_t t) {
        return (output_[t] || output_link_[t]) ? (t | kHasOutput) : t;
    };
    auto fill = [&](uint32_t s) {
        uint32_t* row = delta_.data() + std::size_t{s} * classes;
        const uint32_t* fail_row = delta_.data() + std::size_t{fail_[s]} * classes;
        for (uint32_t c = 0; c < classes; ++c) row[c] = s ? fail_row[c] : 0;
        for (uint32_t e = child_start_[s]; e < child_start_[s + 1]; ++e)
            row[byte_class_[child_byte_[e]] - 1] = target(child_state_[e]);
    };
    fill(0);
    for (uint32_t s : bfs_order) fill(s);  // a state's failure target comes before it
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
        if (dense_classes_) {
            const uint32_t c = byte_class_[t[i]];
            const uint32_t next = c ? delta_[std::size_t{s} * dense_classes_ + c - 1] : 0;
            s = next & kStateMask;
            if (!(next & kHasOutput)) continue;
        } else {
            s = step(s, fold(t[i]));
            if (!s) continue;
        }
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
