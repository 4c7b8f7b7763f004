// Lowercased names and texts held in a padded buffer, and a substring test
// over such a buffer that checks sixteen start positions at a time.
//
// The 16 bytes after a held text are 0xFF, a byte that UTF-8 text never
// holds: a block compare that reaches past the text's end fails there by
// itself, so the scan needs no bounds mask.
#pragma once

#include "text/unicode.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kv::code {

// The byte classes of a text: bit (c & 31) for every byte c, class 0 left
// out. A text whose set lacks one of a needle's classes cannot contain the
// needle. Zero bytes (the cleared padding lanes below) add nothing.
inline uint32_t byte_class(unsigned char c) {
    return (c & 31) ? uint32_t{1} << (c & 31) : 0;
}
inline uint32_t byte_set(std::string_view s) {
    uint32_t m = 0;
    for (unsigned char c : s) m |= byte_class(c);
    return m;
}

// The classes of two bytes at once, indexed by (c0 & 31) | (c1 & 31) << 5.
struct PairClassTable {
    uint32_t bits[1024];
    constexpr PairClassTable() : bits() {
        for (unsigned i = 0; i < 1024; ++i) {
            const unsigned lo = i & 31, hi = i >> 5;
            bits[i] = (lo ? uint32_t{1} << lo : 0) | (hi ? uint32_t{1} << hi : 0);
        }
    }
};
inline constexpr PairClassTable kPairClasses{};

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
    uint32_t bytes;
#if defined(__SSE2__)
    __m128i first{}, last{};
#endif
};

// A text held lower-cased in a reused buffer, followed by its padding.
class PaddedName {
  public:
    // with_byte_set: also record the byte set, which rejects most needles
    // of a short name at once; for long texts it would cost more than the
    // scans it spares.
    explicit PaddedName(bool with_byte_set = true) : with_byte_set_(with_byte_set) {}
    PaddedName(const PaddedName&) = delete;
    PaddedName& operator=(const PaddedName&) = delete;

    // Holds `s` (UTF-8) lower-cased (full Unicode mapping); returns the view.
    std::string_view load(std::string_view s) {
        const std::size_t n = s.size();
        reserve(n);
        uint32_t bytes = 0;
        if (!load_ascii_lowered(s.data(), n, bytes)) {
            text::to_lower(s, scratch_);
            reserve(scratch_.size());
            std::memcpy(buf_, scratch_.data(), scratch_.size());
            std::memset(buf_ + scratch_.size(), 0xFF, 16);
            return set_view(scratch_.size(), byte_set(scratch_));
        }
        return set_view(n, bytes);
    }

    std::string_view view() const { return view_; }
    bool empty() const { return view_.empty(); }

    // Whether the held text contains the needle.
    bool contains(const PaddedNeedle& needle) const {
        const std::size_t k = needle.text.size(), n = view_.size();
        if (k > n || (needle.bytes & ~bytes_)) return false;
        if (k == 0) return true;
#if defined(__SSE2__)
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
#else
        return view_.find(needle.text) != std::string_view::npos;
#endif
    }

  private:
    // Room for n bytes, whole blocks of them, and a block of padding.
    void reserve(std::size_t n) {
        const std::size_t need = (n | 15) + 1 + 16;
        if (storage_.size() < need) {
            storage_.assign(need, static_cast<char>(0xFF));
            buf_ = storage_.data();
        }
    }

    std::string_view set_view(std::size_t n, uint32_t bytes) {
        view_ = std::string_view(buf_, n);
        bytes_ = with_byte_set_ ? bytes : ~uint32_t{0};
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
        return _mm_or_si128(_mm_set_epi64x(static_cast<long long>(hi), static_cast<long long>(lo)),
                            pad_lanes(r));
    }
    // All ones in the lanes from r (1 to 15) on.
    static __m128i pad_lanes(std::size_t r) {
        const __m128i lanes = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
        return _mm_cmpgt_epi8(lanes, _mm_set1_epi8(static_cast<char>(r - 1)));
    }
#endif

#if defined(__SSE2__)
    // Adds the byte classes of the 16 bytes in x to *set.
    static void add_classes(__m128i x, uint32_t& set) {
        const __m128i t = _mm_and_si128(x, _mm_set1_epi8(31));
        const __m128i pairs =
            _mm_or_si128(_mm_and_si128(t, _mm_set1_epi16(0x001F)),
                         _mm_and_si128(_mm_srli_epi16(t, 3), _mm_set1_epi16(0x03E0)));
        set |= kPairClasses.bits[_mm_extract_epi16(pairs, 0)] |
               kPairClasses.bits[_mm_extract_epi16(pairs, 1)] |
               kPairClasses.bits[_mm_extract_epi16(pairs, 2)] |
               kPairClasses.bits[_mm_extract_epi16(pairs, 3)];
        set |= kPairClasses.bits[_mm_extract_epi16(pairs, 4)] |
               kPairClasses.bits[_mm_extract_epi16(pairs, 5)] |
               kPairClasses.bits[_mm_extract_epi16(pairs, 6)] |
               kPairClasses.bits[_mm_extract_epi16(pairs, 7)];
    }
#endif

    // Copies the n bytes at src into the buffer lower-cased and pads them,
    // and adds their byte classes to *bytes (when kept); false (the buffer
    // then unspecified) when one is not ASCII. The blocks are built in
    // registers and stored whole, never read back from narrower stores.
    bool load_ascii_lowered(const char* src, std::size_t n, uint32_t& bytes) {
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
            _mm_storeu_si128(reinterpret_cast<__m128i*>(buf_ + b), x);
            if (with_byte_set_) {
                // Padding lanes (0xFF) are cleared: class 0 adds nothing.
                add_classes(r < 16 ? _mm_andnot_si128(pad_lanes(r), x) : x, bytes);
            }
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(buf_ + b), _mm_set1_epi8(-1));
        return high == 0;
#else
        unsigned char high = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const unsigned char c = static_cast<unsigned char>(src[i]);
            high |= c;
            buf_[i] = static_cast<char>(c + (static_cast<unsigned char>(c - 'A') < 26 ? 32 : 0));
        }
        std::memset(buf_ + n, 0xFF, 16);
        bytes = byte_set(std::string_view(buf_, n));
        return (high & 0x80) == 0;
#endif
    }

    std::vector<char> storage_;
    char* buf_ = nullptr;  // storage_.data()
    std::string_view view_;
    uint32_t bytes_ = 0;  // the byte set of view_, or all bits
    bool with_byte_set_;
    std::string scratch_;
};

}  // namespace kv::code
