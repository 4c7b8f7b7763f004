// Short lowercased names held in a padded buffer, and a substring test over
// such a buffer that checks sixteen start positions at a time.
//
// The scans read up to 15 bytes past a name's end; the buffer keeps that
// room (its bytes there are stale but initialised, and never decide a match).
#pragma once

#include "code/names.h"

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kv::code {

// A needle prepared once per call for PaddedName::contains.
struct PaddedNeedle {
    explicit PaddedNeedle(std::string_view s) : text(s) {
#if defined(__SSE2__)
        if (!s.empty()) {
            first = _mm_set1_epi8(static_cast<char>(s.front()));
            last = _mm_set1_epi8(static_cast<char>(s.back()));
        }
#endif
    }
    std::string_view text;
#if defined(__SSE2__)
    __m128i first{}, last{};
#endif
};

class PaddedName {
  public:
    // Names up to this many bytes live in the padded buffer.
    static constexpr std::size_t kMax = 64;

    PaddedName() { std::memset(buf_, 0, sizeof buf_); }
    PaddedName(const PaddedName&) = delete;
    PaddedName& operator=(const PaddedName&) = delete;

    // Holds `s` lower-cased (as `lowered` gives it); returns the view.
    std::string_view load(std::string_view s) {
        const std::size_t n = s.size();
        if (n == 0 || n > kMax) return set_long(lowered(s, scratch_));
        std::memcpy(buf_, s.data(), n);
        if (!lower_ascii_in_place(n)) {
            text::to_lower(s, scratch_);
            if (scratch_.size() > kMax) return set_long(scratch_);
            std::memcpy(buf_, scratch_.data(), scratch_.size());
            return set_padded(scratch_.size());
        }
        return set_padded(n);
    }

    std::string_view view() const { return view_; }
    bool empty() const { return view_.empty(); }

    // Whether the held name contains the needle.
    bool contains(const PaddedNeedle& needle) const {
        const std::string_view t = needle.text;
        const std::size_t k = t.size(), n = view_.size();
        if (k > n) return false;
        if (k == 0) return true;
#if defined(__SSE2__)
        if (padded_) {
            const std::size_t last_start = n - k;
            for (std::size_t b = 0; b <= last_start; b += 16) {
                const __m128i head = _mm_loadu_si128(reinterpret_cast<const __m128i*>(buf_ + b));
                const __m128i tail =
                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(buf_ + b + k - 1));
                unsigned m = static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(
                    _mm_cmpeq_epi8(head, needle.first), _mm_cmpeq_epi8(tail, needle.last))));
                if (last_start - b < 15) m &= (2u << (last_start - b)) - 1;
                while (m) {
                    const std::size_t at = b + static_cast<std::size_t>(__builtin_ctz(m));
                    if (std::memcmp(buf_ + at, t.data(), k) == 0) return true;
                    m &= m - 1;
                }
            }
            return false;
        }
#endif
        return view_.find(t) != std::string_view::npos;
    }

  private:
    std::string_view set_padded(std::size_t n) {
        padded_ = true;
        return view_ = std::string_view(buf_, n);
    }
    std::string_view set_long(std::string_view v) {
        padded_ = false;
        return view_ = v;
    }

    // Lower-cases the n ASCII bytes at the start of the buffer; false (the
    // buffer then unspecified) when one of them is not ASCII.
    bool lower_ascii_in_place(std::size_t n) {
#if defined(__SSE2__)
        unsigned high = 0;
        for (std::size_t b = 0; b < n; b += 16) {
            __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(buf_ + b));
            unsigned m = static_cast<unsigned>(_mm_movemask_epi8(x));
            if (n - b < 16) m &= (1u << (n - b)) - 1;
            high |= m;
            // 'A'..'Z' shifted to the bottom of the signed byte range.
            const __m128i shifted = _mm_add_epi8(x, _mm_set1_epi8(static_cast<char>(128 - 'A')));
            const __m128i upper = _mm_cmplt_epi8(shifted, _mm_set1_epi8(-128 + 26));
            x = _mm_add_epi8(x, _mm_and_si128(upper, _mm_set1_epi8(0x20)));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(buf_ + b), x);
        }
        return high == 0;
#else
        unsigned char high = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const unsigned char c = static_cast<unsigned char>(buf_[i]);
            high |= c;
            buf_[i] = static_cast<char>(c + (static_cast<unsigned char>(c - 'A') < 26 ? 32 : 0));
        }
        return (high & 0x80) == 0;
#endif
    }

    // kMax bytes of name, 15 of scan overrun, rounded up to whole blocks.
    alignas(16) char buf_[kMax + 32];
    std::string_view view_;
    bool padded_ = false;
    std::string scratch_;
};

}  // namespace kv::code
