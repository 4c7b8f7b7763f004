#include "text/segment.h"

#include "text/unicode.h"

namespace kv::text {

namespace {

inline bool is_terminator(char c) {
    return c == '.' || c == '!' || c == '?';
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
        if (p.size() < min_chars_ && !out_.ends.empty()) {
            // The last sentence is the tail of the buffer: extend it.
            out_.text.push_back(' ');
            out_.text.append(p);
            out_.ends.back() = out_.text.size();
            return;
        }
        out_.text.append(p);
        out_.ends.push_back(out_.text.size());
    }

  private:
    Sentences& out_;
    std::uint64_t min_chars_;
};

}  // namespace

Sentences segment_text(std::string_view text, std::uint64_t min_chars) {
    Sentences out;
    out.text.reserve(text.size());
    Builder builder(out, min_chars);

    const char* begin = text.data();
    const char* end = begin + text.size();
    const char* start = begin;
    // A cut point is a White_Space character right after a terminator; the
    // terminator is ASCII, so it is the byte just before the cut.
    for (const char* p = begin + 1; p < end; ++p) {
        if (!is_terminator(p[-1])) continue;
        if (white_space_len(p, end) == 0) continue;
        builder.piece(std::string_view(start, static_cast<std::size_t>(p - start)));
        // The next piece starts after the spaces, tabs and line breaks that
        // follow; none of those bytes can precede another cut point, so the
        // scan itself simply goes on.
        start = p;
        while (start < end && is_restart_skip(*start)) ++start;
    }
    builder.piece(std::string_view(start, static_cast<std::size_t>(end - start)));
    return out;
}

}  // namespace kv::text
