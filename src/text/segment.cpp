#include "text/segment.h"

#include "text/unicode.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kv::text {

namespace {

inline bool is_terminator(char c) {
    return c == '.' || c == '!' || c == '?';
}

// The first '.', '!' or '?' in [p, end), or end.
const char* find_terminator(const char* p, const char* end) {
#if defined(__SSE2__)
    const __m128i dot = _mm_set1_epi8('.');
    const __m128i bang = _mm_set1_epi8('!');
    const __m128i question = _mm_set1_epi8('?');
    while (end - p >= 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, dot), _mm_cmpeq_epi8(v, bang)),
                                   _mm_cmpeq_epi8(v, question));
        if (int mask = _mm_movemask_epi8(hit))
            return p + __builtin_ctz(static_cast<unsigned>(mask));
        p += 16;
    }
#endif
    while (p < end && !is_terminator(*p)) ++p;
    return p;
}

// Bytes skipped after a cut point (other White_Space is left to trimming).
inline bool is_restart_skip(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

class Builder {
  public:
    Builder(Sentences& out, std::uint64_t min_chars) : out_(out), min_chars_(min_chars) {}

    void piece(std::string_view p) {
        p = trim_white_space(p);
        if (p.empty()) return;
        std::vector<Sentences::Item>& items = out_.items;
        if (p.size() < min_chars_ && !items.empty()) {
            Sentences::Item& last = items.back();
            std::string& merged = out_.merged;
            if (!last.in_merged) {
                // Move the sentence to the tail of `merged` before it grows.
                std::string_view old = out_[items.size() - 1];
                last = {merged.size(), old.size(), true};
                merged.append(old);
            }
            merged.push_back(' ');
            merged.append(p);
            last.len += 1 + p.size();
            return;
        }
        items.push_back({static_cast<std::size_t>(p.data() - out_.text.data()), p.size(), false});
    }

  private:
    Sentences& out_;
    std::uint64_t min_chars_;
};

}  // namespace

Sentences segment_text(std::string_view text, std::uint64_t min_chars) {
    Sentences out;
    out.text = text;
    Builder builder(out, min_chars);

    const char* begin = text.data();
    const char* end = begin + text.size();
    const char* start = begin;
    // A cut point is a White_Space character right after a terminator. The
    // terminators are ASCII, so the byte before a cut point is the terminator
    // and the cut point starts a character.
    for (const char* t = find_terminator(begin, end); t < end; t = find_terminator(t + 1, end)) {
        const char* cut = t + 1;
        if (cut == end || white_space_len(cut, end) == 0) continue;
        builder.piece(std::string_view(start, static_cast<std::size_t>(cut - start)));
        // The next piece starts after the spaces, tabs and line breaks that
        // follow; the search goes on from the cut point, as none of those
        // bytes is a terminator.
        start = cut;
        while (start < end && is_restart_skip(*start)) ++start;
    }
    builder.piece(std::string_view(start, static_cast<std::size_t>(end - start)));
    return out;
}

}  // namespace kv::text
