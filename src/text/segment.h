// Sentence segmentation for the sentence-window index.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kv::text {

// Sentences laid end to end in one buffer: sentence i is
// text.substr(i ? ends[i - 1] : 0, ends[i] - (i ? ends[i - 1] : 0)).
struct Sentences {
    std::string text;
    std::vector<std::size_t> ends;

    std::size_t size() const { return ends.size(); }
    std::string_view operator[](std::size_t i) const {
        std::size_t start = i ? ends[i - 1] : 0;
        return std::string_view(text).substr(start, ends[i] - start);
    }
};

// Cuts `text` after every '.', '!' or '?' that is followed by White_Space,
// trims the pieces and drops empty ones; a piece shorter than `min_chars`
// UTF-8 bytes is appended (after one space) to the sentence before it.
Sentences segment_text(std::string_view text, std::uint64_t min_chars);

}  // namespace kv::text
