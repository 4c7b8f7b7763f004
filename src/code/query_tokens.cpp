#include "code/query_tokens.h"

#include "text/unicode.h"

#include <unicode/regex.h>
#include <unicode/uniset.h>
#include <unicode/unistr.h>
#include <unicode/utf16.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <unordered_set>
#include <vector>

namespace kv::code {

// Engine choice. ICU's regular expressions give `\w` exactly the class the
// patterns are written for: [\p{Alphabetic}\p{Mark}\p{Nd}\p{Pc}\u200C\u200D].
// Its `\b`, however, is not the plain boundary between `\w` and non-`\w`:
// ICU never reports a boundary in front of a Grapheme_Extend or format (Cf)
// character and looks through such characters when it inspects the previous
// one (so in " \u0301abc.py" it starts the word at 'a', not at the mark, and
// "abcd\u00ADefgh" has no boundary around the soft hyphen). UREGEX_UWORD is
// further off still: it uses the UAX #29 word-break rules, under which
// "os.path" is a single word. So the patterns keep their text, and before
// compiling each `\b` is written out as the boundary built on `\w` itself:
// a `\w` on exactly one side. Everything else (ASCII bracket classes,
// leftmost-first alternation with backtracking, successive non-overlapping
// finds) is ICU's own behaviour.
//
// In the three patterns that use it, a leading `\b` is always followed by an
// element that consumes a word character and a trailing `\b` always follows
// one, so the boundary reduces to a single look-around there: "(?<!\w)" at
// the start, "(?!\w)" at the end. Any other `\b` gets the general form.
std::string spell_out_word_boundaries(std::string_view pattern) {
    static constexpr std::string_view kBoundary = R"((?:(?<=\w)(?!\w)|(?<!\w)(?=\w)))";
    static constexpr std::string_view kWordStart = R"((?<!\w))";
    static constexpr std::string_view kWordEnd = R"((?!\w))";
    std::string out;
    out.reserve(pattern.size() + 64);
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        char c = pattern[i];
        if (c == '\\' && i + 1 < pattern.size()) {
            if (pattern[i + 1] == 'b') {
                if (i == 0)
                    out.append(kWordStart);
                else if (i + 2 == pattern.size())
                    out.append(kWordEnd);
                else
                    out.append(kBoundary);
            } else {
                out.push_back(c);
                out.push_back(pattern[i + 1]);
            }
            ++i;
        } else {
            out.push_back(c);
        }
    }
    return out;
}

namespace {

struct Patterns {
    const icu::RegexPattern* code_ext;
    const icu::RegexPattern* qualified;
    const icu::RegexPattern* identifier;
    const icu::RegexPattern* camel;
    // The engine's `\w`, used to find where a match can start.
    const icu::UnicodeSet* word;
};

const icu::UnicodeSet* word_set() {
    UErrorCode status = U_ZERO_ERROR;
    auto* set = new icu::UnicodeSet(
        icu::UnicodeString::fromUTF8(R"([\p{Alphabetic}\p{M}\p{Nd}\p{Pc}\u200C\u200D])"), status);
    if (U_FAILURE(status)) {
        delete set;
        throw std::runtime_error(std::string("word class does not compile: ") +
                                 u_errorName(status));
    }
    set->freeze();
    return set;
}

const icu::RegexPattern* compile(const char* text) {
    std::string spelled = spell_out_word_boundaries(text);
    UErrorCode status = U_ZERO_ERROR;
    UParseError where;
    // Kept for the life of the process (matchers on other threads refer to it).
    icu::RegexPattern* p =
        icu::RegexPattern::compile(icu::UnicodeString::fromUTF8(spelled), 0, where, status);
    if (U_FAILURE(status)) {
        delete p;
        throw std::runtime_error(std::string("pattern does not compile: ") + u_errorName(status));
    }
    return p;
}

// Compiled once per process on first use (the first query that is not pure
// ASCII; see the direct scan below). The initialisation of a function static
// is thread-safe; compiling runs no Python code, so a thread waiting on
// it can never be the one another thread needs to make progress.
const Patterns& patterns() {
    static const Patterns p = {compile(re_code_ext), compile(re_qualified), compile(re_identifier),
                               compile(re_camel), word_set()};
    return p;
}

std::unique_ptr<icu::RegexMatcher> make_matcher(const icu::RegexPattern* p) {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::RegexMatcher> m(p->matcher(status));
    if (U_FAILURE(status) || !m) throw std::runtime_error("cannot create a regex matcher");
    return m;
}

// A matcher holds the scratch state of one search, so each thread has its own.
struct Matchers {
    std::unique_ptr<icu::RegexMatcher> code_ext, qualified, identifier, camel;
};

Matchers& matchers() {
    thread_local Matchers m = [] {
        const Patterns& p = patterns();
        return Matchers{make_matcher(p.code_ext), make_matcher(p.qualified),
                        make_matcher(p.identifier), make_matcher(p.camel)};
    }();
    return m;
}

// The query as UTF-16 for the engine, with the way back to UTF-8 offsets.
class Subject {
  public:
    explicit Subject(std::string_view utf8) : utf8_(utf8), ascii_(text::is_ascii(utf8)) {
        if (utf8.size() > static_cast<std::size_t>(INT32_MAX - 1))
            throw std::length_error("query too long");
        u16_.reserve(utf8.size());
        if (ascii_) {
            for (char c : utf8) u16_.push_back(static_cast<char16_t>(c));
            return;
        }
        to_u8_.reserve(utf8.size() + 1);
        std::size_t i = 0;
        while (i < utf8.size()) {
            std::size_t at = i;
            char32_t cp = text::next_code_point(utf8, i);
            if (cp >= 0x10000) {
                u16_.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
                u16_.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
                to_u8_.push_back(static_cast<uint32_t>(at));
                to_u8_.push_back(static_cast<uint32_t>(at));
            } else {
                u16_.push_back(static_cast<char16_t>(cp));
                to_u8_.push_back(static_cast<uint32_t>(at));
            }
        }
        to_u8_.push_back(static_cast<uint32_t>(utf8.size()));
    }

    std::u16string_view u16() const { return {u16_.data(), u16_.size()}; }

    icu::UnicodeString alias() const {
        // Read-only alias: the engine reads our buffer without copying it.
        return icu::UnicodeString(false, u16_.data(), static_cast<int32_t>(u16_.size()));
    }

    // The UTF-8 text between two UTF-16 offsets of a match.
    std::string_view slice(int32_t begin, int32_t end) const {
        std::size_t b = ascii_ ? static_cast<std::size_t>(begin) : to_u8_[begin];
        std::size_t e = ascii_ ? static_cast<std::size_t>(end) : to_u8_[end];
        return utf8_.substr(b, e - b);
    }

  private:
    std::string_view utf8_;
    bool ascii_;
    std::vector<char16_t> u16_;
    std::vector<uint32_t> to_u8_;
};

std::string_view group(icu::RegexMatcher& m, const Subject& s, int32_t g) {
    UErrorCode status = U_ZERO_ERROR;
    int32_t b = m.start(g, status);
    int32_t e = m.end(g, status);
    if (U_FAILURE(status) || b < 0 || e < b) throw std::runtime_error("regex group unavailable");
    return s.slice(b, e);
}

bool ascii_letter_or_underscore(char16_t c) {
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || c == u'_';
}

// A maximal run of `\w` characters, as UTF-16 offsets [begin, end).
struct WordRun {
    int32_t begin, end;
};

std::vector<WordRun> word_runs(std::u16string_view u16, const icu::UnicodeSet& word) {
    std::vector<WordRun> runs;
    const int32_t n = static_cast<int32_t>(u16.size());
    int32_t start = -1;
    int32_t i = 0;
    while (i < n) {
        char16_t c = u16[static_cast<std::size_t>(i)];
        int32_t len = 1;
        bool w;
        if (c < 0x80) {
            w = ascii_letter_or_underscore(c) || (c >= u'0' && c <= u'9');
        } else {
            UChar32 cp = c;
            if (U16_IS_LEAD(c) && i + 1 < n && U16_IS_TRAIL(u16[static_cast<std::size_t>(i + 1)])) {
                cp = U16_GET_SUPPLEMENTARY(c, u16[static_cast<std::size_t>(i + 1)]);
                len = 2;
            }
            w = word.contains(cp);
        }
        if (w && start < 0) start = i;
        if (!w && start >= 0) {
            runs.push_back({start, i});
            start = -1;
        }
        i += len;
    }
    if (start >= 0) runs.push_back({start, n});
    return runs;
}

// Runs the matcher's pattern at each candidate start in ascending order,
// skipping starts inside the previous match: the successive non-overlapping
// matches a left-to-right search finds, provided no match can begin anywhere
// but at a candidate. Calls f() with the matcher positioned on each match.
template <class F>
void for_each_match(icu::RegexMatcher& m, const std::vector<int32_t>& starts, F&& f) {
    int32_t resume = 0;
    for (int32_t at : starts) {
        if (at < resume) continue;
        UErrorCode status = U_ZERO_ERROR;
        // lookingAt(index) resets the matcher to the whole input, so the
        // boundary tests still see the text before `at`.
        bool hit = m.lookingAt(at, status);
        if (U_FAILURE(status)) throw std::runtime_error("regex match failed");
        if (!hit) continue;
        f();
        resume = m.end(status);
        if (U_FAILURE(status)) throw std::runtime_error("regex match unavailable");
    }
}

// The distinct tokens. A query yields a handful, for which a linear search
// beats hashing; a long one switches to a hash set.
class TokenBag {
  public:
    void insert(std::string_view s) {
        if (seen_.empty()) {
            for (const std::string& t : items_)
                if (t.size() == s.size() && t == s) return;
            items_.emplace_back(s);
            if (items_.size() == kLinearLimit) seen_.insert(items_.begin(), items_.end());
        } else if (seen_.emplace(s).second) {
            items_.emplace_back(s);
        }
    }
    std::vector<std::string> finish() { return std::move(items_); }

  private:
    static constexpr std::size_t kLinearLimit = 32;
    std::vector<std::string> items_;
    std::unordered_set<std::string> seen_;
};

// Adds the parts of a lower-cased identifier between underscores that are at
// least three bytes long (both query routes share this step).
void insert_underscore_parts(std::string_view lowered, TokenBag& tokens) {
    if (lowered.find('_') == std::string_view::npos) return;
    while (true) {
        std::size_t cut = lowered.find('_');
        std::string_view part = lowered.substr(0, cut);
        if (part.size() >= 3) tokens.insert(part);
        if (cut == std::string_view::npos) break;
        lowered.remove_prefix(cut + 1);
    }
}

// ---- ASCII queries ----------------------------------------------------------
//
// On ASCII text `\w` is [A-Za-z0-9_] and the four patterns have a direct
// reading, which this scanner follows without the engine's per-match
// overhead (a query is a few dozen characters, and the engine's set-up per
// attempt costs more than the scan itself). Every match starts at the start
// of a run of word characters:
//  - re_code_ext: the whole run (`\w+` cannot stop short of the '.'), '.',
//    then the first extension, in the order written, that is followed by a
//    non-word character or the end;
//  - re_qualified: a run of two or more characters starting with [A-Za-z_],
//    '.', then the next run, of two or more characters starting with
//    [A-Za-z_] (its `\w+` takes the rest of that run, so `\b` holds);
//  - re_identifier: a run of four or more characters starting with
//    [A-Za-z_] (on ASCII text every word character is in [A-Za-z0-9_]);
//  - re_camel: from each upper- or lower-case letter, the letter and the
//    lower-case letters and digits after it; digits and '_' start nothing.
// A scan resumes after the end of its previous match, as the engine does.
// Non-ASCII queries go to the engine.

constexpr std::string_view kExtensions[] = {
    "py", "rs", "ts",    "tsx",   "js",  "jsx", "go",   "java", "cpp", "c",    "h", "cs",
    "rb", "kt", "swift", "scala", "lua", "sh",  "toml", "yaml", "yml", "json", "md"};

bool ascii_word(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}
bool ascii_head(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}
bool ascii_lower_or_digit(char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

void append_ascii_lower(std::string& out, std::string_view s) {
    for (char c : s) out.push_back((c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c);
}

// End of the extension alternation and its trailing boundary at `at`, or npos.
std::size_t match_extension(std::string_view q, std::size_t at) {
    for (std::string_view ext : kExtensions) {
        if (at >= q.size() || q[at] != ext[0] || q.compare(at, ext.size(), ext) != 0) continue;
        std::size_t end = at + ext.size();
        if (end == q.size() || !ascii_word(q[end])) return end;
    }
    return std::string_view::npos;
}

std::vector<std::string> ascii_query_tokens(std::string_view q) {
    struct Run {
        std::size_t begin, end;
    };
    std::vector<Run> runs;
    for (std::size_t i = 0; i < q.size();) {
        if (!ascii_word(q[i])) {
            ++i;
            continue;
        }
        std::size_t b = i;
        while (i < q.size() && ascii_word(q[i])) ++i;
        runs.push_back({b, i});
    }
    TokenBag tokens;
    std::string lowered;
    auto lower = [&](std::string_view s) -> std::string& {
        lowered.clear();
        append_ascii_lower(lowered, s);
        return lowered;
    };
    auto dotted = [&](const Run& r) { return r.end < q.size() && q[r.end] == '.'; };

    // 1. File stems.
    std::size_t resume = 0;
    for (const Run& r : runs) {
        if (r.begin < resume || !dotted(r)) continue;
        std::size_t end = match_extension(q, r.end + 1);
        if (end == std::string_view::npos) continue;
        tokens.insert(lower(q.substr(r.begin, r.end - r.begin)));
        resume = end;
    }

    // 2. Qualified names. The run after the '.' starts right at r.end + 1.
    resume = 0;
    for (std::size_t k = 0; k + 1 < runs.size(); ++k) {
        const Run& r = runs[k];
        const Run& next = runs[k + 1];
        if (r.begin < resume || r.end - r.begin < 2 || !ascii_head(q[r.begin]) || !dotted(r) ||
            next.begin != r.end + 1 || next.end - next.begin < 2 || !ascii_head(q[next.begin]))
            continue;
        std::string_view qual = q.substr(r.begin, r.end - r.begin);
        std::string_view member = q.substr(next.begin, next.end - next.begin);
        tokens.insert(lower(qual));
        tokens.insert(lower(member));
        lowered.clear();
        append_ascii_lower(lowered, qual);
        lowered.push_back('.');
        append_ascii_lower(lowered, member);
        tokens.insert(lowered);
        resume = next.end;
    }

    // 3. Identifiers with their CamelCase and snake_case pieces.
    for (const Run& r : runs) {
        if (r.end - r.begin < 4 || !ascii_head(q[r.begin])) continue;
        std::string_view id = q.substr(r.begin, r.end - r.begin);
        std::string& low = lower(id);
        tokens.insert(low);
        for (std::size_t i = 0; i < id.size();) {
            char c = id[i];
            if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) {
                ++i;
                continue;
            }
            std::size_t b = i++;
            while (i < id.size() && ascii_lower_or_digit(id[i])) ++i;
            if (i - b >= 3) tokens.insert(std::string_view(low).substr(b, i - b));
        }
        insert_underscore_parts(low, tokens);
    }
    return tokens.finish();
}

}  // namespace

std::vector<std::string> extract_code_query_tokens(std::string_view query) {
    if (query.empty()) return {};
    if (text::is_ascii(query)) return ascii_query_tokens(query);
    TokenBag tokens;

    const Patterns& pats = patterns();
    Matchers& mm = matchers();
    Subject subject(query);
    const std::u16string_view u16 = subject.u16();

    // Where matches can start. Each of the first three patterns opens with
    // `\b` and a word character, so a match starts where a run of word
    // characters starts; more precisely:
    //  - re_code_ext, `\b(\w+)\.`: the whole run, then '.';
    //  - re_qualified: the same, and the run starts with [A-Za-z_];
    //  - re_identifier, `\b[A-Za-z_][A-Za-z0-9_]{3,}\b`: a run that starts
    //    with [A-Za-z_] and has at least four code units.
    // The engine still decides every match; this only spares it the
    // positions where none can begin.
    std::vector<int32_t> ext_starts, qual_starts, ident_starts;
    for (const WordRun& r : word_runs(u16, *pats.word)) {
        const bool ascii_head = ascii_letter_or_underscore(u16[static_cast<std::size_t>(r.begin)]);
        if (static_cast<std::size_t>(r.end) < u16.size() &&
            u16[static_cast<std::size_t>(r.end)] == u'.') {
            ext_starts.push_back(r.begin);
            if (ascii_head) qual_starts.push_back(r.begin);
        }
        if (ascii_head && r.end - r.begin >= 4) ident_starts.push_back(r.begin);
    }
    if (ext_starts.empty() && ident_starts.empty()) return {};

    icu::UnicodeString input = subject.alias();
    // The matchers outlive this call: leave none of them pointing at `input`.
    struct Detach {
        Matchers& m;
        ~Detach() {
            static const icu::UnicodeString empty;
            m.code_ext->reset(empty);
            m.qualified->reset(empty);
            m.identifier->reset(empty);
            m.camel->reset(empty);
        }
    } detach{mm};
    std::string lowered, member;

    // 1. File stems.
    if (!ext_starts.empty()) {
        icu::RegexMatcher& ext = *mm.code_ext;
        ext.reset(input);
        for_each_match(ext, ext_starts, [&] {
            text::to_lower(group(ext, subject, 1), lowered);
            tokens.insert(lowered);
        });
    }

    // 2. Qualified names: qualifier, member, and both joined by a dot.
    if (!qual_starts.empty()) {
        icu::RegexMatcher& qual = *mm.qualified;
        qual.reset(input);
        for_each_match(qual, qual_starts, [&] {
            text::to_lower(group(qual, subject, 1), lowered);
            text::to_lower(group(qual, subject, 2), member);
            tokens.insert(lowered);
            tokens.insert(member);
            lowered.push_back('.');
            lowered.append(member);
            tokens.insert(lowered);
        });
    }

    // 3. Identifiers with their CamelCase and snake_case pieces.
    if (!ident_starts.empty()) {
        icu::RegexMatcher& ident = *mm.identifier;
        icu::RegexMatcher& camel = *mm.camel;
        ident.reset(input);
        camel.reset(input);
        std::string piece;
        for_each_match(ident, ident_starts, [&] {
            UErrorCode status = U_ZERO_ERROR;
            int32_t b = ident.start(status);
            int32_t e = ident.end(status);
            if (U_FAILURE(status)) throw std::runtime_error("regex match unavailable");
            text::to_lower(subject.slice(b, e), lowered);
            tokens.insert(lowered);

            // The CamelCase scan sees only the identifier, in its own case.
            camel.region(b, e, status);
            if (U_FAILURE(status)) throw std::runtime_error("regex region refused");
            while (camel.find()) {
                text::to_lower(group(camel, subject, 0), piece);
                if (piece.size() >= 3) tokens.insert(piece);
            }

            insert_underscore_parts(lowered, tokens);
        });
    }
    return tokens.finish();
}

}  // namespace kv::code
