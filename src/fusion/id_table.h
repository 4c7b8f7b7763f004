// A hash table that numbers result ids by first occurrence.
#pragma once

#include "text/bytes_hash.h"

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string_view>
#include <vector>

namespace kv::fusion {

// Dense ids (0, 1, 2, ... in order of first occurrence) for result ids. The
// table refers to the caller's id bytes, which outlive it; open addressing
// with linear probing, sized up front for the number of ids it will see.
class IdTable {
  public:
    explicit IdTable(std::size_t expected) {
        std::size_t n = 16;
        while (n < expected + expected / 2 + 1) n *= 2;
        slots_.assign(n, Slot{0, kEmpty});
    }

    uint32_t intern(std::string_view id) {
        const uint64_t h = text::hash_bytes(id);
        std::size_t mask = slots_.size() - 1;
        std::size_t i = h & mask;
        for (;; i = (i + 1) & mask) {
            const Slot& s = slots_[i];
            if (s.id == kEmpty) break;
            if (s.hash == h && keys_[s.id] == id) return s.id;
        }
        if (keys_.size() >= kEmpty) throw std::length_error("too many result ids");
        const auto id_no = static_cast<uint32_t>(keys_.size());
        keys_.push_back(id);
        slots_[i] = {h, id_no};
        if ((keys_.size() + 1) * 3 > slots_.size() * 2) grow();
        return id_no;
    }

  private:
    static constexpr uint32_t kEmpty = UINT32_MAX;
    struct Slot {
        uint64_t hash;
        uint32_t id;
    };

    void grow() {
        std::vector<Slot> fresh(slots_.size() * 2, Slot{0, kEmpty});
        const std::size_t mask = fresh.size() - 1;
        for (const Slot& s : slots_) {
            if (s.id == kEmpty) continue;
            std::size_t i = s.hash & mask;
            while (fresh[i].id != kEmpty) i = (i + 1) & mask;
            fresh[i] = s;
        }
        slots_.swap(fresh);
    }

    std::vector<Slot> slots_;
    std::vector<std::string_view> keys_;
};

}  // namespace kv::fusion
