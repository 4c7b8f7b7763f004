// Finds which of many names occur in a text as whole ASCII words: ASCII letters
// match regardless of case, every other byte exactly, and an occurrence counts
// only when neither the byte before it nor the byte after it is an ASCII letter
// or digit. One pass over the text serves all names (an Aho-Corasick automaton
// over the ASCII-folded names).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace kv::graph {

class NameSearch {
  public:
    // `dense` allows the full transition table (faster; used unless it would
    // be very large). Both forms find the same names.
    explicit NameSearch(const std::vector<std::string_view>& names, bool dense = true);

    // Appends to `found` the indices of the names that occur in `text`, each
    // once, in increasing order. `found` is cleared first.
    void find(std::string_view text, std::vector<uint32_t>& found);

  private:
    uint32_t step(uint32_t state, unsigned char c) const;
    // The full transition table over byte classes, when it is small enough.
    void build_dense(const std::vector<uint32_t>& bfs_order);
    static constexpr std::size_t kMaxDenseEntries = std::size_t{1} << 24;
    static constexpr uint32_t kHasOutput = 0x80000000u;
    static constexpr uint32_t kStateMask = 0x7FFFFFFFu;

    // Trie states; state 0 is the root. Children of a state are the edges
    // [child_start[s], child_start[s+1]) sorted by byte.
    std::vector<uint32_t> child_start_;
    std::vector<unsigned char> child_byte_;
    std::vector<uint32_t> child_state_;
    std::vector<uint32_t> root_next_;  // 256 entries: the root's transitions
    std::vector<uint32_t> fail_;
    std::vector<uint32_t> output_;       // pattern ending here + 1, or 0
    std::vector<uint32_t> output_link_;  // nearest failure ancestor with output, or 0
    std::vector<uint32_t> pattern_length_;
    // Names per pattern (names equal after folding share one pattern).
    std::vector<uint32_t> pattern_names_start_;
    std::vector<uint32_t> pattern_names_;
    std::vector<uint32_t> pattern_seen_;  // stamp of the last text it was found in
    uint32_t stamp_ = 0;
    std::vector<uint32_t> found_patterns_;
    // Dense form: delta_[state * dense_classes_ + class - 1] is the next state,
    // with kHasOutput set when some name ends there; byte_class_ maps a text
    // byte (folded) to its class, 0 for bytes no name contains, which always
    // lead back to the root.
    uint32_t dense_classes_ = 0;
    std::vector<uint32_t> byte_class_;
    std::vector<uint32_t> delta_;
};

// An ASCII letter or digit.
inline bool is_word_byte(unsigned char c) {
    return (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z');
}

}  // namespace kv::graph
