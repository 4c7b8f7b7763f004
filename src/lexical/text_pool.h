// The pool of distinct chunk texts behind a de-duplicated corpus payload.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

namespace kv::lexical {

// Maps each distinct text to its position, in order of first appearance.
// Texts are given with a hash that the caller computes the same way for equal
// texts; the pool keeps only views, which must outlive it.
class TextPool {
  public:
    // Sizes the table for about `n` distinct texts.
    void reserve(std::size_t n);
    // The position of `text`, and whether it was added by this call.
    std::pair<std::size_t, bool> intern(std::string_view text, uint64_t hash);
    std::size_t size() const noexcept { return size_; }

  private:
    struct Slot {
        uint64_t hash = 0;
        const char* data = nullptr;
        std::size_t length = 0;
        std::size_t position = SIZE_MAX;  // SIZE_MAX: empty
    };
    void grow(std::size_t capacity);

    std::vector<Slot> slots_;  // open addressing, linear probing; power-of-two size
    std::size_t size_ = 0;
};

}  // namespace kv::lexical
