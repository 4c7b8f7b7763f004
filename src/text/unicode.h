// Shared Unicode helpers over UTF-8 text: the White_Space property, full
// lower-casing, alphanumeric classes, word splitting and trimming.
//
// All input is valid UTF-8 (it comes from Python str objects).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kv::text {

// Byte length of the White_Space character starting at p (0 if none). The
// property is exactly these 25 code points: U+0009..U+000D, U+0020, U+0085,
// U+00A0, U+1680, U+2000..U+200A, U+2028, U+2029, U+202F, U+205F, U+3000.
// Spelled out as bytes because splitting is on every hot path and the set is
// fixed by the Unicode standard.
inline std::size_t white_space_len(const char* p, const char* end) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c < 0x80) return (c == 0x20 || (c >= 0x09 && c <= 0x0D)) ? 1 : 0;
    std::size_t avail = static_cast<std::size_t>(end - p);
    auto b = [&](std::size_t i) { return static_cast<unsigned char>(p[i]); };
    switch (c) {
        case 0xC2:
            return (avail >= 2 && (b(1) == 0x85 || b(1) == 0xA0)) ? 2 : 0;
        case 0xE1:
            return (avail >= 3 && b(1) == 0x9A && b(2) == 0x80) ? 3 : 0;
        case 0xE2:
            if (avail < 3) return 0;
            if (b(1) == 0x80)
                return (b(2) <= 0x8A || b(2) == 0xA8 || b(2) == 0xA9 || b(2) == 0xAF) ? 3 : 0;
            return (b(1) == 0x81 && b(2) == 0x9F) ? 3 : 0;
        case 0xE3:
            return (avail >= 3 && b(1) == 0x80 && b(2) == 0x80) ? 3 : 0;
        default:
            return 0;
    }
}

bool is_white_space(char32_t c);

// Length in bytes of the UTF-8 sequence introduced by lead byte c.
inline std::size_t utf8_len(unsigned char c) {
    return c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
}

// Decodes the code point at s[i] and advances i past it.
char32_t next_code_point(std::string_view s, std::size_t& i);
void append_utf8(std::string& out, char32_t c);

// Unicode Alphabetic, or general category Nd, Nl or No.
bool is_alphanumeric(char32_t c);

inline bool is_ascii(std::string_view s) {
    const char* p = s.data();
    std::size_t n = s.size();
    uint64_t acc = 0;
    for (; n >= 8; p += 8, n -= 8) {
        uint64_t w;
        __builtin_memcpy(&w, p, 8);
        acc |= w;
    }
    for (; n; ++p, --n) acc |= static_cast<unsigned char>(*p);
    return (acc & 0x8080808080808080ull) == 0;
}

// ASCII White_Space bytes: TAB, LF, VT, FF, CR and SPACE.
inline bool is_ascii_white_space(unsigned char c) {
    return c == 0x20 || (c >= 0x09 && c <= 0x0D);
}

// Full Unicode lower-case mapping (SpecialCasing, final-sigma context), into out
// (replacing its content).
void to_lower(std::string_view s, std::string& out);
inline std::string to_lower(std::string_view s) {
    std::string out;
    to_lower(s, out);
    return out;
}

// Calls f(word) for every maximal run of non-White_Space characters, in order.
template <class F>
void for_each_word(std::string_view s, F&& f) {
    const char* p = s.data();
    const char* end = p + s.size();
    const char* start = nullptr;
    while (p < end) {
        std::size_t ws = white_space_len(p, end);
        if (ws) {
            if (start) {
                f(std::string_view(start, static_cast<std::size_t>(p - start)));
                start = nullptr;
            }
            p += ws;
        } else {
            if (!start) start = p;
            p += utf8_len(static_cast<unsigned char>(*p));
        }
    }
    if (start) f(std::string_view(start, static_cast<std::size_t>(end - start)));
}

// Removes leading and trailing White_Space characters.
std::string_view trim_white_space(std::string_view s);

}  // namespace kv::text
