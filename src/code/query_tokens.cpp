#include "code/query_tokens.h"

#include "text/unicode.h"

#include <unicode/regex.h>
#include <unicode/unistr.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
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
std::string spell_out_word_boundaries(std::string_view pattern) {
    static constexpr std::string_view kBoundary = R"((?:(?<=\w)(?!\w)|(?<!\w)(?=\w)))";
    std::string out;
    out.reserve(pattern.size() + 64);
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        char c = pattern[i];
        if (c == '\\' && i + 1 < pattern.size()) {
            if (pattern[i + 1] == 'b') {
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
};

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

// Compiled once per process on first use. The initialisation of a function
// static is thread-safe; compiling runs no Python code, so a thread waiting on
// it can never be the one another thread needs to make progress.
const Patterns& patterns() {
    static const Patterns p = {compile(re_code_ext), compile(re_qualified), compile(re_identifier),
                               compile(re_camel)};
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

// Every match of the identifier pattern needs a run of four ASCII word
// characters; without one the pass cannot match and is skipped.
bool has_identifier_run(std::string_view q) {
    int run = 0;
    for (unsigned char c : q) {
        bool w =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
        run = w ? run + 1 : 0;
        if (run >= 4) return true;
    }
    return false;
}

}  // namespace

TokenSet extract_code_query_tokens(std::string_view query) {
    TokenSet tokens;
    if (query.empty()) return tokens;
    bool dotted = query.find('.') != std::string_view::npos;
    bool identifiers = has_identifier_run(query);
    // Both dotted patterns need a literal '.'.
    if (!dotted && !identifiers) return tokens;

    Matchers& mm = matchers();
    Subject subject(query);
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
    std::string lowered;

    if (dotted) {
        // 1. File stems.
        icu::RegexMatcher& ext = *mm.code_ext;
        ext.reset(input);
        while (ext.find()) {
            text::to_lower(group(ext, subject, 1), lowered);
            tokens.insert(lowered);
        }
        // 2. Qualified names: qualifier, member, and both joined by a dot.
        icu::RegexMatcher& qual = *mm.qualified;
        qual.reset(input);
        std::string member;
        while (qual.find()) {
            text::to_lower(group(qual, subject, 1), lowered);
            text::to_lower(group(qual, subject, 2), member);
            tokens.insert(lowered);
            tokens.insert(member);
            lowered.push_back('.');
            lowered.append(member);
            tokens.insert(std::move(lowered));
        }
    }

    if (identifiers) {
        // 3. Identifiers with their CamelCase and snake_case pieces.
        icu::RegexMatcher& ident = *mm.identifier;
        icu::RegexMatcher& camel = *mm.camel;
        ident.reset(input);
        camel.reset(input);
        std::string piece;
        while (ident.find()) {
            UErrorCode status = U_ZERO_ERROR;
            int32_t b = ident.start(status);
            int32_t e = ident.end(status);
            if (U_FAILURE(status)) throw std::runtime_error("regex match unavailable");
            std::string_view id = subject.slice(b, e);
            text::to_lower(id, lowered);
            tokens.insert(lowered);

            // The CamelCase scan sees only the identifier, in its own case.
            camel.region(b, e, status);
            if (U_FAILURE(status)) throw std::runtime_error("regex region refused");
            while (camel.find()) {
                text::to_lower(group(camel, subject, 0), piece);
                if (piece.size() >= 3) tokens.insert(piece);
            }

            if (lowered.find('_') != std::string::npos) {
                std::string_view rest(lowered);
                while (true) {
                    std::size_t cut = rest.find('_');
                    std::string_view part = rest.substr(0, cut);
                    if (part.size() >= 3) tokens.emplace(part);
                    if (cut == std::string_view::npos) break;
                    rest.remove_prefix(cut + 1);
                }
            }
        }
    }
    return tokens;
}

}  // namespace kv::code
