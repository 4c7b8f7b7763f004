// An interning hash table from byte strings to dense ids (0, 1, 2, ... in
// order of first insertion). Open addressing with linear probing; the key
// bytes live in one arena.
#pragma once

#include "text/bytes_hash.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace kv::lexical {

class TermTable {
  public:
    static constexpr uint32_t kNone = UINT32_MAX;

    TermTable() { rehash(64); }

    std::size_t size() const { return count_; }

    uint32_t find(std::string_view key) const {
        const uint64_t pre = text::load_prefix(key.data(), key.size());
        const uint64_t h = text::hash_bytes(key, pre);
        const Slot* slots = slots_.data();
        for (std::size_t i = h & mask_;; i = (i + 1) & mask_) {
            const Slot& s = slots[i];
            if (s.id == kNone) return kNone;
            if (matches(s, h, pre, key)) return s.id;
        }
    }

    // A key with its prefix word and hash computed once (see hashed()).
    struct Hashed {
        std::string_view key;
        uint64_t prefix;
        uint64_t hash;
    };
    static Hashed hashed(std::string_view key) {
        const uint64_t pre = text::load_prefix(key.data(), key.size());
        return {key, pre, text::hash_bytes(key, pre)};
    }

    // Hints the cache line where a key with this hash starts probing.
    void prefetch(uint64_t h) const { __builtin_prefetch(slots_.data() + (h & mask_)); }

    // Returns the id of key, adding it if absent.
    uint32_t intern(std::string_view key) { return intern(hashed(key)); }

    uint32_t intern(const Hashed& k) {
        const std::string_view key = k.key;
        const uint64_t pre = k.prefix;
        const uint64_t h = k.hash;
        Slot* slots = slots_.data();
        std::size_t i = h & mask_;
        for (;; i = (i + 1) & mask_) {
            const Slot& s = slots[i];
            if (s.id == kNone) break;
            if (matches(s, h, pre, key)) return s.id;
        }
        const uint32_t id = count_++;
        offsets_.push_back(arena_.size());
        lengths_.push_back(static_cast<uint32_t>(key.size()));
        arena_.append(key);
        slots[i] = {h, pre, id, static_cast<uint32_t>(key.size())};
        // Keep the load factor at or below one half: probes stay short.
        if (std::size_t{count_} * 2 > mask_ + 1) rehash((mask_ + 1) * 2);
        return id;
    }

    std::string_view term(uint32_t id) const {
        return {arena_.data() + offsets_[id], lengths_[id]};
    }

    // Once no more keys will be added: the smallest table with a load factor
    // of at most 3/4 (lookups stay short, memory per key drops).
    void shrink_to_fit() {
        std::size_t n = 64;
        while (n * 3 < std::size_t{count_} * 4 + 4) n *= 2;
        if (n < mask_ + 1) rehash(n);
        slots_.shrink_to_fit();
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

    bool matches(const Slot& s, uint64_t h, uint64_t pre, std::string_view key) const {
        if (s.hash != h || s.prefix != pre || s.len != key.size()) return false;
        // Equal prefixes and lengths: only bytes past the eighth can differ.
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
        mask_ = n - 1;
    }

    std::vector<Slot> slots_;
    std::size_t mask_ = 0;
    uint32_t count_ = 0;
    std::string arena_;
    std::vector<uint64_t> offsets_;
    std::vector<uint32_t> lengths_;
};

}  // namespace kv::lexical
