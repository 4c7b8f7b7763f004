// Lexical boost of one code result: symbol name, file stem, guessed
// qualified name, text matches, symbol type and line span.
#pragma once

#include "code/padded_name.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace kv::code {

class LexicalTokens {
  public:
    LexicalTokens() = default;
    LexicalTokens(const LexicalTokens&) = delete;  // needles point into all_
    LexicalTokens& operator=(const LexicalTokens&) = delete;

    // Adds one token (any text; lowercased here).
    void add(std::string_view token);
    // A token that cannot match any name (a str without a UTF-8 form): it
    // only makes the token set non-empty.
    void add_unmatchable() { unmatchable_ = true; }
    bool empty() const { return all_.empty() && !unmatchable_; }
    bool has_long() const { return !long_.empty(); }

    // Whole-string membership in the set of all tokens. A query has a
    // handful of tokens: comparing lengths first beats hashing them.
    bool contains(std::string_view s) const {
        if (all_.size() > kLinearLimit) return all_.find(s) != all_.end();
        for (const std::string& t : list_)
            if (t.size() == s.size() && t == s) return true;
        return false;
    }
    // Whether some token of at least 4 bytes occurs inside s.
    bool any_long_inside(const PaddedName& s) const {
        for (const PaddedNeedle& needle : long_)
            if (s.contains(needle)) return true;
        return false;
    }
    // How many distinct tokens of at least 4 bytes occur inside s.
    std::size_t count_long_inside(const PaddedName& s) const {
        std::size_t n = 0;
        for (const PaddedNeedle& needle : long_) n += s.contains(needle);
        return n;
    }

  private:
    struct Hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const noexcept {
            return std::hash<std::string_view>{}(s);
        }
    };
    static constexpr std::size_t kLinearLimit = 16;
    std::unordered_set<std::string, Hash, std::equal_to<>> all_;
    std::vector<std::string> list_;  // the members of all_, while few
    // The distinct tokens of at least 4 bytes; they refer to the text in
    // all_, whose nodes never move.
    std::vector<PaddedNeedle> long_;
    std::string scratch_;
    bool unmatchable_ = false;
};

// The path's last "/"-separated component that is neither empty nor ".", cut
// before its last "." unless that dot leads the name; "" for no component or
// "..". Not lowercased.
std::string_view file_stem(std::string_view path);

struct CodeResultFields {
    // As stored (UTF-8); the scorer lower-cases what it reads.
    std::string_view symbol_name;
    std::string_view symbol_type;
    std::string_view path;
    std::string_view text;  // read only when a long token exists
    std::optional<int64_t> start_line, end_line;
};

// Scores code results against one token set, reusing its buffers.
class LexicalScorer {
  public:
    explicit LexicalScorer(const LexicalTokens& tokens)
        : tokens_(tokens), symbol_name_(true), text_(false) {}
    // The boost of one result marked as code.
    double score(const CodeResultFields& f);

  private:
    const LexicalTokens& tokens_;
    PaddedName symbol_name_, text_;
    std::string symbol_type_, stem_, guessed_;
};

}  // namespace kv::code
