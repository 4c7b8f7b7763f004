// An open-addressing map from label text to node index, for the label lookups
// of the edge list (one per endpoint, so they are the hot path).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

namespace kv::graph {

inline uint64_t hash_bytes(std::string_view s) {
    // FNV-1a over 8-byte words, then a final mix.
    uint64_t h = 1469598103934665603ull ^ s.size();
    const char* p = s.data();
    std::size_t n = s.size();
    while (n >= 8) {
        uint64_t w;
        std::memcpy(&w, p, 8);
        h = (h ^ w) * 1099511628211ull;
        h ^= h >> 29;
        p += 8;
        n -= 8;
    }
    uint64_t tail = 0;
    std::memcpy(&tail, p, n);
    h = (h ^ tail) * 1099511628211ull;
    h ^= h >> 32;
    h *= 0x9E3779B97F4A7C15ull;
    h ^= h >> 29;
    return h;
}

class LabelIndex {
  public:
    static constexpr uint32_t kMissing = UINT32_MAX;

    explicit LabelIndex(std::size_t expected) {
        std::size_t cap = 16;
        while (cap < expected * 2) cap *= 2;
        slots_.assign(cap, Slot{});
        mask_ = cap - 1;
    }

    // Maps `label` to `index`, replacing an earlier mapping. `label` must stay
    // alive as long as the index is used.
    void assign(std::string_view label, uint32_t index) {
        const uint64_t h = hash_bytes(label);
        for (std::size_t i = h & mask_;; i = (i + 1) & mask_) {
            Slot& s = slots_[i];
            if (s.index == kMissing) {
                s = {label.data(), label.size(), h, index};
                return;
            }
            if (s.hash == h && s.size == label.size() &&
                std::memcmp(s.data, label.data(), label.size()) == 0) {
                s.index = index;
                return;
            }
        }
    }

    uint32_t find(std::string_view label) const {
        const uint64_t h = hash_bytes(label);
        for (std::size_t i = h & mask_;; i = (i + 1) & mask_) {
            const Slot& s = slots_[i];
            if (s.index == kMissing) return kMissing;
            if (s.hash == h && s.size == label.size() &&
                std::memcmp(s.data, label.data(), label.size()) == 0)
                return s.index;
        }
    }

  private:
    struct Slot {
        const char* data = nullptr;
        std::size_t size = 0;
        uint64_t hash = 0;
        uint32_t index = kMissing;
    };
    std::vector<Slot> slots_;
    std::size_t mask_ = 0;
};

}  // namespace kv::graph
