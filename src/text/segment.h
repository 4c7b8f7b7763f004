// Sentence segmentation for the sentence-window index.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kv::text {

// The sentences of a text. Most are slices of the text itself; a sentence
// that absorbed short pieces is built in `merged`, where the sentences that
// grew are laid end to end (only the last sentence ever grows, so it is
// always at the tail).
struct Sentences {
    struct Item {
        std::size_t start;
        std::size_t len;
        bool in_merged;
    };
    std::string_view text;
    std::string merged;
    std::vector<Item> items;

    std::size_t size() const { return items.size(); }
    std::string_view operator[](std::size_t i) const {
        const Item& it = items[i];
        return it.in_merged ? std::string_view(merged).substr(it.start, it.len)
                            : text.substr(it.start, it.len);
    }
};

// Cuts `text` after every '.', '!' or '?' that is followed by White_Space,
// trims the pieces and drops empty ones; a piece shorter than `min_chars`
// UTF-8 bytes is appended (after one space) to the sentence before it.
// The result refers into `text`, which must outlive it.
Sentences segment_text(std::string_view text, std::uint64_t min_chars);

}  // namespace kv::text
