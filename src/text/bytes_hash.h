// A fast 64-bit hash of short byte strings (tokens, ids, names).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace kv::text {

// The first min(n, 8) bytes of p packed little-endian, zero above; n > 0.
// Two overlapping fixed-size loads instead of a variable-length copy.
inline uint64_t load_prefix(const char* p, std::size_t n) {
    if (n >= 8) {
        uint64_t w;
        std::memcpy(&w, p, 8);
        return w;
    }
    if (n >= 4) {
        uint32_t lo, hi;
        std::memcpy(&lo, p, 4);
        std::memcpy(&hi, p + n - 4, 4);
        return static_cast<uint64_t>(lo) | (static_cast<uint64_t>(hi) << (8 * (n - 4)));
    }
    if (n == 0) return 0;
    const auto b = [&](std::size_t i) {
        return static_cast<uint64_t>(static_cast<unsigned char>(p[i]));
    };
    return b(0) | (b(n / 2) << (8 * (n / 2))) | (b(n - 1) << (8 * (n - 1)));
}

inline uint64_t mix64(uint64_t h) {
    h ^= h >> 32;
    h *= 0xD6E8FEB86659FD93ull;
    h ^= h >> 32;
    h *= 0xD6E8FEB86659FD93ull;
    return h ^ (h >> 32);
}

// Hash of a byte string whose first eight bytes are `prefix` (see load_prefix).
inline uint64_t hash_bytes(std::string_view s, uint64_t prefix) {
    const uint64_t m = 0x9E3779B97F4A7C15ull;
    uint64_t h = prefix ^ (s.size() * m);
    if (s.size() > 8) {
        const char* p = s.data() + 8;
        std::size_t n = s.size() - 8;
        for (; n >= 8; p += 8, n -= 8) {
            uint64_t w;
            std::memcpy(&w, p, 8);
            h = (h ^ w) * m;
            h ^= h >> 29;
        }
        if (n) h = (h ^ load_prefix(p, n)) * m;
    }
    return mix64(h);
}

inline uint64_t hash_bytes(std::string_view s) {
    return hash_bytes(s, load_prefix(s.data(), s.size()));
}

}  // namespace kv::text
