// Checks the one-pass name search against a direct search of every name
// (ASCII case-insensitive, whole ASCII words), for both automaton forms, on
// random names and texts over a small alphabet. Exit status 0 when all agree.
#include "graph/name_search.h"

#include <cstdio>
#include <random>
#include <string>
#include <vector>

using kv::graph::is_word_byte;
using kv::graph::NameSearch;

namespace {

bool occurs(const std::string& text, const std::string& name) {
    auto fold = [](unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + 32 : c; };
    const std::size_t n = name.size(), L = text.size();
    for (std::size_t s = 0; n && s + n <= L; ++s) {
        std::size_t k = 0;
        while (k < n && fold(static_cast<unsigned char>(text[s + k])) ==
                            fold(static_cast<unsigned char>(name[k])))
            ++k;
        if (k < n) continue;
        if (s > 0 && is_word_byte(static_cast<unsigned char>(text[s - 1]))) continue;
        if (s + n < L && is_word_byte(static_cast<unsigned char>(text[s + n]))) continue;
        return true;
    }
    return false;
}

std::string random_string(std::mt19937& rng, std::size_t max_len) {
    static const std::string pieces[] = {"a", "A", "b", "B", "_", "1", " ", ".", "\xc3\xa9", "ab"};
    std::string s;
    const std::size_t n = rng() % (max_len + 1);
    for (std::size_t i = 0; i < n; ++i) s += pieces[rng() % 10];
    return s;
}

}  // namespace

int main() {
    std::mt19937 rng(99);
    int failures = 0, cases = 0;
    for (int round = 0; round < 3000; ++round) {
        std::vector<std::string> names(rng() % 12);
        for (auto& n : names) n = random_string(rng, 4);
        std::vector<std::string_view> views(names.begin(), names.end());
        NameSearch dense(views, true), sparse(views, false);
        for (int t = 0; t < 5; ++t) {
            const std::string text = random_string(rng, 24);
            std::vector<uint32_t> want;
            for (uint32_t i = 0; i < names.size(); ++i)
                if (occurs(text, names[i])) want.push_back(i);
            std::vector<uint32_t> got_dense, got_sparse;
            dense.find(text, got_dense);
            sparse.find(text, got_sparse);
            ++cases;
            if (got_dense != want || got_sparse != want) {
                ++failures;
                std::printf("mismatch on text '%s'\n", text.c_str());
            }
        }
    }
    std::printf("%d cases, %d mismatches\n", cases, failures);
    return failures ? 1 : 0;
}
