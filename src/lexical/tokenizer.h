// The BM25 tokenizer: full Unicode lower-casing, then split on White_Space runs.
#pragma once

#include "text/unicode.h"

#include <string>
#include <string_view>
#include <vector>

namespace kv::lexical {

// Calls f(token) for each token of text, in order. `scratch` holds the
// lower-cased text while f runs (the views point into it or into text).
template <class F>
void for_each_token(std::string_view text, std::string& scratch, F&& f) {
    kv::text::to_lower(text, scratch);
    kv::text::for_each_word(scratch, f);
}

inline std::vector<std::string> tokenize(std::string_view text) {
    std::vector<std::string> out;
    std::string scratch;
    for_each_token(text, scratch, [&](std::string_view t) { out.emplace_back(t); });
    return out;
}

}  // namespace kv::lexical
