// The pool of distinct chunk texts behind a de-duplicated corpus payload.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <unordered_map>
#include <utility>

namespace kv::lexical {

// Maps each distinct text to its position, in order of first appearance.
// Texts are given with a hash that the caller computes the same way for equal
// texts; the pool keeps only views, which must outlive it.
class TextPool {
  public:
    // The position of `text`, and whether it was added by this call.
    std::pair<std::size_t, bool> intern(std::string_view text, uint64_t hash);
    std::size_t size() const noexcept { return index_.size(); }

  private:
    struct Key {
        std::string_view text;
        uint64_t hash;
        bool operator==(const Key& other) const noexcept { return text == other.text; }
    };
    struct KeyHash {
        std::size_t operator()(const Key& k) const noexcept { return k.hash; }
    };
    std::unordered_map<Key, std::size_t, KeyHash> index_;
};

}  // namespace kv::lexical
