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
    if (kv::text::is_ascii(text)) {
        // One pass: lower-case into scratch and cut at white space.
        scratch.resize(text.size());
        char* out = scratch.data();
        const std::size_t n = text.size();
        std::size_t start = 0;
        bool in_word = false;
        for (std::size_t i = 0; i < n; ++i) {
            unsigned char c = static_cast<unsigned char>(text[i]);
            if (kv::text::is_ascii_white_space(c)) {
                if (in_word) f(std::string_view(out + start, i - start));
                in_word = false;
            } else {
                out[i] = static_cast<char>((c >= 'A' && c <= 'Z') ? c + 32 : c);
                if (!in_word) start = i;
                in_word = true;
            }
        }
        if (in_word) f(std::string_view(out + start, n - start));
        return;
    }
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
