// Sentence segmentation for the sentence-window index.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

namespace kv::text {

// The sentences of a text. Most are slices of the text itself; a sentence
// that absorbed short pieces is a string of its own in `merged`.
struct Sentences {
    std::vector<std::string_view> items;
    std::deque<std::string> merged;  // a deque keeps its strings in place

    std::size_t size() const { return items.size(); }
    std::string_view operator[](std::size_t i) const { return items[i]; }
};

// Cuts `text` after every '.', '!' or '?' that is followed by White_Space,
// trims the pieces and drops empty ones; a piece shorter than `min_chars`
// UTF-8 bytes is appended (after one space) to the sentence before it.
// The result refers into `text`, which must outlive it.
Sentences segment_text(std::string_view text, std::uint64_t min_chars);

}  // namespace kv::text
