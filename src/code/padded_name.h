// Lowercased names and texts held in a padded buffer, and a substring test
// over such a buffer that checks sixteen start positions at a time.
//
// The 16 bytes after a held text are 0xFF, a byte that UTF-8 text never
// holds: a block compare that reaches past the text's end fails there by
// itself, so the scan needs no bounds mask.
#pragma once

#include "code/names.h"

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
        if (!load_ascii_lowered(s.data(), n)) {
            text::to_lower(s, scratch_);
            reserve(scratch_.size());
            std::memcpy(buf_, scratch_.data(), scratch_.size());
            std::memset(buf_ + scratch_.size(), 0xFF, 16);
            return set_view(scratch_.size());
        }
        return set_view(n);
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

    std::string_view set_view(std::size_t n) {
        view_ = std::string_view(buf_, n);
        if (!with_byte_set_) {
            bytes_ = ~uint64_t{0};
            return view_;
        }
        // Whole groups of eight bytes: the padding after the text adds nothing.
        const unsigned char* p = reinterpret_cast<const unsigned char*>(buf_);
        const std::size_t end = (n + 7) & ~std::size_t{7};
        uint64_t m = 0;
        for (std::size_t i = 0; i < end; ++i) m |= kByteSet.bit[p[i]];
        bytes_ = m;
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

    // Copies the n bytes at src into the buffer lower-cased and
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
            _mm_storeu_si128(reinterpret_cast<__m128i*>(buf_ + b), x);
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
        return (high & 0x80) == 0;
#endif
    }

    std::vector<char> storage_;
    char* buf_ = nullptr;  // storage_.data()
    std::string_view view_;
    uint64_t bytes_ = 0;  // the byte set of view_, or all bits
    bool with_byte_set_;
    std::string scratch_;
};

}  // namespace kv::code
