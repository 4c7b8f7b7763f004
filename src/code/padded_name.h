// Short lowercased names held in a padded buffer, and a substring test over
// such a buffer that checks sixteen start positions at a time.
//
// The 16 bytes after a held name are 0xFF, a byte that UTF-8 text never
// holds: a block compare that reaches past the name's end fails there by
// itself, so the scan needs no bounds mask.
#pragma once

#include "code/names.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kv::code {

// The set of byte values of a text, folded to 64 bits: a text whose set
// lacks one of a needle's values cannot contain the needle. 0xFF, which UTF-8
// never holds, adds nothing, so the padding after a held name can be read
// with it.
struct ByteSetTable {
    uint64_t bit[256];
    constexpr ByteSetTable() : bit() {
        for (int c = 0; c < 255; ++c) bit[c] = uint64_t{1} << (c & 63);
        bit[255] = 0;
    }
};
inline constexpr ByteSetTable kByteSet{};

inline uint64_t byte_set(std::string_view s) {
    uint64_t m = 0;
    for (unsigned char c : s) m |= kByteSet.bit[c];
    return m;
}

// A needle prepared once per call for PaddedName::contains.
struct PaddedNeedle {
    explicit PaddedNeedle(std::string_view s) : text(s), bytes(byte_set(s)) {
#if defined(__SSE2__)
        if (!s.empty()) {
            first = _mm_set1_epi8(static_cast<char>(s.front()));
            last = _mm_set1_epi8(static_cast<char>(s.back()));
        }
#endif
    }
    std::string_view text;
    uint64_t bytes;
#if defined(__SSE2__)
    __m128i first{}, last{};
#endif
};

class PaddedName {
  public:
    // Names up to this many bytes live in the padded buffer.
    static constexpr std::size_t kMax = 64;

    PaddedName() { std::memset(buf_, 0xFF, sizeof buf_); }
    PaddedName(const PaddedName&) = delete;
    PaddedName& operator=(const PaddedName&) = delete;

    // Holds `s` lower-cased (as `lowered` gives it); returns the view.
    std::string_view load(std::string_view s) {
        const std::size_t n = s.size();
        if (n == 0 || n > kMax) return set_long(lowered(s, scratch_));
        if (!load_ascii_lowered(s.data(), n)) {
            text::to_lower(s, scratch_);
            if (scratch_.size() > kMax) return set_long(scratch_);
            std::memcpy(buf_, scratch_.data(), scratch_.size());
            std::memset(buf_ + scratch_.size(), 0xFF, 16);
            return set_padded(scratch_.size());
        }
        return set_padded(n);
    }

    std::string_view view() const { return view_; }
    bool empty() const { return view_.empty(); }

    // Whether the held name contains the needle.
    bool contains(const PaddedNeedle& needle) const {
        const std::size_t k = needle.text.size(), n = view_.size();
        if (k > n || (needle.bytes & ~bytes_)) return false;
#if defined(__SSE2__)
        if (padded_ && k != 0) {
            const char* const t = needle.text.data();
            const char* const end = buf_ + (n - k) + 1;  // starts lie before end
            for (const char* p = buf_; p < end; p += 16) {
                const __m128i head = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
                const __m128i tail = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + k - 1));
                // A start at or past end puts the tail compare on the padding.
                unsigned m = static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(
                    _mm_cmpeq_epi8(head, needle.first), _mm_cmpeq_epi8(tail, needle.last))));
                while (m) {
                    if (std::memcmp(p + __builtin_ctz(m), t, k) == 0) return true;
                    m &= m - 1;
                }
            }
            return false;
        }
#endif
        return contains_slow(needle.text);
    }

  private:
    [[gnu::noinline]] bool contains_slow(std::string_view t) const {
        return view_.find(t) != std::string_view::npos;
    }
    std::string_view set_padded(std::size_t n) {
        padded_ = true;
        view_ = std::string_view(buf_, n);
        // Whole groups of eight bytes: the padding after the name adds nothing.
        const unsigned char* p = reinterpret_cast<const unsigned char*>(buf_);
        const std::size_t end = (n + 7) & ~std::size_t{7};
        uint64_t m = 0;
        for (std::size_t i = 0; i < end; ++i) m |= kByteSet.bit[p[i]];
        bytes_ = m;
        return view_;
    }
    std::string_view set_long(std::string_view v) {
        padded_ = false;
        view_ = v;
        bytes_ = byte_set(view_);
        return view_;
    }

#if defined(__SSE2__)
    static uint64_t load64(const char* p) {
        uint64_t v;
        std::memcpy(&v, p, 8);
        return v;
    }
    static uint64_t load32(const char* p) {
        uint32_t v;
        std::memcpy(&v, p, 4);
        return v;
    }
    // The r (1 to 15) bytes at p in the low lanes, 0xFF in the others; reads
    // no byte outside p[0, r).
    static __m128i load_partial(const char* p, std::size_t r) {
        uint64_t lo, hi = 0;
        const auto byte = [p](std::size_t i) { return uint64_t{static_cast<unsigned char>(p[i])}; };
        if (r >= 8) {
            lo = load64(p);
            if (r > 8) hi = load64(p + r - 8) >> (8 * (16 - r));
        } else if (r >= 4) {
            lo = load32(p) | load32(p + r - 4) << (8 * (r - 4));
        } else {
            lo = byte(0) | byte(r / 2) << (8 * (r / 2)) | byte(r - 1) << (8 * (r - 1));
        }
        const __m128i lanes = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
        const __m128i pad = _mm_cmpgt_epi8(lanes, _mm_set1_epi8(static_cast<char>(r - 1)));
        return _mm_or_si128(_mm_set_epi64x(static_cast<long long>(hi), static_cast<long long>(lo)),
                            pad);
    }
#endif

    // Copies the n (1 to kMax) bytes at src into the buffer lower-cased and
    // pads them; false (the buffer then unspecified) when one is not ASCII.
    // The blocks are built in registers and stored whole, never read back
    // from narrower stores.
    bool load_ascii_lowered(const char* src, std::size_t n) {
#if defined(__SSE2__)
        unsigned high = 0;
        std::size_t b = 0;
        for (; b < n; b += 16) {
            const std::size_t r = n - b;
            __m128i x = r >= 16 ? _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + b))
                                : load_partial(src + b, r);
            unsigned m = static_cast<unsigned>(_mm_movemask_epi8(x));
            if (r < 16) m &= (1u << r) - 1;
            high |= m;
            // 'A'..'Z' shifted to the bottom of the signed byte range.
            const __m128i shifted = _mm_add_epi8(x, _mm_set1_epi8(static_cast<char>(128 - 'A')));
            const __m128i upper = _mm_cmplt_epi8(shifted, _mm_set1_epi8(-128 + 26));
            x = _mm_add_epi8(x, _mm_and_si128(upper, _mm_set1_epi8(0x20)));
            _mm_store_si128(reinterpret_cast<__m128i*>(buf_ + b), x);
        }
        _mm_store_si128(reinterpret_cast<__m128i*>(buf_ + b), _mm_set1_epi8(-1));
        return high == 0;
#else
        unsigned char high = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const unsigned char c = static_cast<unsigned char>(src[i]);
            high |= c;
            buf_[i] = static_cast<char>(c + (static_cast<unsigned char>(c - 'A') < 26 ? 32 : 0));
        }
        std::memset(buf_ + n, 0xFF, 16);
        return (high & 0x80) == 0;
#endif
    }

    // kMax bytes of name and 16 of padding, rounded up to whole blocks.
    alignas(16) char buf_[kMax + 32];
    std::string_view view_;
    uint64_t bytes_ = 0;  // byte_set(view_)
    bool padded_ = false;
    std::string scratch_;
};

}  // namespace kv::code
