#include "fusion/mmr.h"

#include "text/unicode.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <utility>

namespace kv::fusion {

namespace {

inline bool ascii_alnum(unsigned char c) {
    return (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z');
}

}  // namespace

std::vector<std::string> tokenize_for_mmr(std::string_view text) {
    std::vector<std::string> tokens;
    std::string kept;
    text::for_each_word(text, [&](std::string_view word) {
        kept.clear();
        bool ascii = true;
        for (std::size_t i = 0; i < word.size();) {
            const unsigned char c = static_cast<unsigned char>(word[i]);
            if (c < 0x80) {
                if (ascii_alnum(c)) kept.push_back(static_cast<char>(c));
                ++i;
                continue;
            }
            const std::size_t start = i;
            const char32_t cp = text::next_code_point(word, i);
            if (text::is_alphanumeric(cp)) {
                kept.append(word.substr(start, i - start));
                ascii = false;
            }
        }
        if (kept.empty()) return;
        if (ascii) {
            for (char& ch : kept)
                if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch + 32);
            tokens.push_back(kept);
        } else {
            tokens.push_back(text::to_lower(kept));
        }
    });
    return tokens;
}

TokenSet token_set(std::string_view text) {
    TokenSet set = tokenize_for_mmr(text);
    std::sort(set.begin(), set.end());
    set.erase(std::unique(set.begin(), set.end()), set.end());
    return set;
}

namespace {

// The token sets as sorted lists of token ranks: a token's rank is its place
// in the byte-wise order of all distinct tokens, so rank order is token order
// and the merge walk compares integers instead of strings.
std::vector<std::vector<uint32_t>> rank_sets(std::span<const TokenSet> sets) {
    std::vector<std::pair<std::string_view, uint32_t>> all;  // (token, set)
    std::size_t total = 0;
    for (const TokenSet& s : sets) total += s.size();
    all.reserve(total);
    for (std::size_t i = 0; i < sets.size(); ++i)
        for (const std::string& t : sets[i]) all.emplace_back(t, static_cast<uint32_t>(i));
    std::sort(all.begin(), all.end());
    std::vector<std::vector<uint32_t>> ranked(sets.size());
    for (std::size_t i = 0; i < sets.size(); ++i) ranked[i].reserve(sets[i].size());
    uint32_t rank = 0;
    for (std::size_t k = 0; k < all.size(); ++k) {
        if (k > 0 && all[k].first != all[k - 1].first) ++rank;
        ranked[all[k].second].push_back(rank);
    }
    return ranked;
}

// |A n B| / |A u B| by one merge walk; 0.0 when either set is empty.
double ranked_jaccard(const std::vector<uint32_t>& a, const std::vector<uint32_t>& b) {
    if (a.empty() || b.empty()) return 0.0;
    std::size_t common = 0;
    const uint32_t* i = a.data();
    const uint32_t* const ie = i + a.size();
    const uint32_t* j = b.data();
    const uint32_t* const je = j + b.size();
    while (i != ie && j != je) {
        const uint32_t x = *i, y = *j;
        common += x == y;
        i += x <= y;
        j += y <= x;
    }
    return static_cast<double>(common) / static_cast<double>(a.size() + b.size() - common);
}

}  // namespace

std::vector<std::size_t> mmr_select(std::span<const double> relevance,
                                    std::span<const TokenSet> sets, double lambda_mult,
                                    double dup_threshold) {
    const std::size_t n = relevance.size();
    if (sets.size() != n) throw std::logic_error("relevance and token sets differ in length");
    std::vector<std::size_t> selected;
    if (n == 0) return selected;
    if (n > std::numeric_limits<uint32_t>::max()) throw std::length_error("too many results");
    const std::vector<std::vector<uint32_t>> ranked = rank_sets(sets);

    std::vector<std::size_t> remaining(n);
    for (std::size_t p = 0; p < n; ++p) remaining[p] = p;
    // The redundancy of every position (its largest similarity to a kept
    // result), brought up to date whenever a result is kept. The maximum does
    // not depend on the order of the kept results, so this equals rescanning
    // the kept list for every candidate.
    std::vector<double> redundancy(n, 0.0);
    auto keep = [&](std::size_t chosen) {
        selected.push_back(chosen);
        for (std::size_t p : remaining) {
            const double sim = ranked_jaccard(ranked[p], ranked[chosen]);
            if (sim > redundancy[p]) redundancy[p] = sim;
        }
    };
    // First pick: the highest relevance. The current best survives only while
    // it is strictly greater, so ties and NaN go to the later position.
    std::size_t best = 0;
    for (std::size_t k = 1; k < remaining.size(); ++k)
        if (!(relevance[remaining[best]] > relevance[remaining[k]])) best = k;
    std::size_t chosen = remaining[best];
    remaining.erase(remaining.begin() + static_cast<std::ptrdiff_t>(best));
    keep(chosen);

    const double redundancy_weight = 1.0 - lambda_mult;
    while (!remaining.empty()) {
        best = 0;
        if (remaining.size() > 1) {
            double best_mmr = 0.0;
            for (std::size_t k = 0; k < remaining.size(); ++k) {
                const std::size_t p = remaining[k];
                const double mmr = lambda_mult * relevance[p] - redundancy_weight * redundancy[p];
                if (k == 0 || !(best_mmr > mmr)) {
                    best = k;
                    best_mmr = mmr;
                }
            }
        }
        chosen = remaining[best];
        remaining.erase(remaining.begin() + static_cast<std::ptrdiff_t>(best));
        if (!(redundancy[chosen] >= dup_threshold)) keep(chosen);
    }
    return selected;
}

}  // namespace kv::fusion
