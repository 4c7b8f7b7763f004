// An interning hash table from byte strings to dense ids (0, 1, 2, ... in
// order of first insertion). Open addressing with linear probing; the key
// bytes live in one arena.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace kv::lexical {

inline uint64_t hash_bytes(std::string_view s) {
    // 64-bit multiply-mix over 8-byte words; plenty for short tokens.
    const uint64_t m = 0x9E3779B97F4A7C15ull;
    uint64_t h = 0x243F6A8885A308D3ull ^ (s.size() * m);
    const char* p = s.data();
    std::size_t n = s.size();
    while (n >= 8) {
        uint64_t w;
        std::memcpy(&w, p, 8);
        h = (h ^ w) * m;
        h ^= h >> 29;
        p += 8;
        n -= 8;
    }
    if (n) {
        uint64_t w = 0;
        std::memcpy(&w, p, n);
        h = (h ^ w) * m;
        h ^= h >> 29;
    }
    h *= 0xBF58476D1CE4E5B9ull;
    return h ^ (h >> 31);
}

class TermTable {
  public:
    static constexpr uint32_t kNone = UINT32_MAX;

    TermTable() { rehash(64); }

    std::size_t size() const { return offsets_.size(); }

    uint32_t find(std::string_view key) const {
        const uint64_t h = hash_bytes(key);
        const uint64_t pre = prefix(key);
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t i = h & mask;; i = (i + 1) & mask) {
            const Slot& s = slots_[i];
            if (s.id == kNone) return kNone;
            if (matches(s, h, pre, key)) return s.id;
        }
    }

    // Returns the id of key, adding it if absent.
    uint32_t intern(std::string_view key) {
        const uint64_t h = hash_bytes(key);
        const uint64_t pre = prefix(key);
        const std::size_t mask = slots_.size() - 1;
        std::size_t i = h & mask;
        for (;; i = (i + 1) & mask) {
            const Slot& s = slots_[i];
            if (s.id == kNone) break;
            if (matches(s, h, pre, key)) return s.id;
        }
        const uint32_t id = static_cast<uint32_t>(offsets_.size());
        offsets_.push_back(arena_.size());
        lengths_.push_back(static_cast<uint32_t>(key.size()));
        arena_.append(key);
        slots_[i] = {h, pre, id, static_cast<uint32_t>(key.size())};
        // Keep the load factor at or below one half: probes stay short.
        if (offsets_.size() * 2 > slots_.size()) rehash(slots_.size() * 2);
        return id;
    }

    std::string_view term(uint32_t id) const {
        return {arena_.data() + offsets_[id], lengths_[id]};
    }

    void shrink_to_fit() {
        arena_.shrink_to_fit();
        offsets_.shrink_to_fit();
        lengths_.shrink_to_fit();
    }

  private:
    // The first eight bytes of the key ride in the slot, so keys of up to
    // eight bytes (most tokens) compare without touching the arena.
    struct Slot {
        uint64_t hash;
        uint64_t prefix;
        uint32_t id;
        uint32_t len;
    };

    static uint64_t prefix(std::string_view key) {
        uint64_t w = 0;
        std::memcpy(&w, key.data(), key.size() < 8 ? key.size() : 8);
        return w;
    }

    bool matches(const Slot& s, uint64_t h, uint64_t pre, std::string_view key) const {
        if (s.hash != h || s.prefix != pre || s.len != key.size()) return false;
        return key.size() <= 8 ||
               std::memcmp(arena_.data() + offsets_[s.id] + 8, key.data() + 8, key.size() - 8) == 0;
    }

    void rehash(std::size_t n) {
        std::vector<Slot> fresh(n, Slot{0, 0, kNone, 0});
        const std::size_t mask = n - 1;
        for (const Slot& s : slots_) {
            if (s.id == kNone) continue;
            std::size_t i = s.hash & mask;
            while (fresh[i].id != kNone) i = (i + 1) & mask;
            fresh[i] = s;
        }
        slots_.swap(fresh);
    }

    std::vector<Slot> slots_;
    std::string arena_;
    std::vector<uint64_t> offsets_;
    std::vector<uint32_t> lengths_;
};

}  // namespace kv::lexical
