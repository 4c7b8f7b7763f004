// Lexical boost of one code result: symbol name, file stem, guessed
// qualified name, text matches, symbol type and line span.
#pragma once

#include <algorithm>
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
    LexicalTokens(const LexicalTokens&) = delete;  // searchers point into all_
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
    bool any_long_inside(std::string_view s) const;
    // How many distinct tokens of at least 4 bytes occur inside s.
    std::size_t count_long_inside(std::string_view s) const;

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
    std::vector<std::string> long_;  // distinct
    std::vector<uint64_t> long_masks_;
    // A Horspool searcher per long token, its shift table built once per
    // call. It refers to the token's text in all_, whose nodes never move.
    struct Searcher {
        explicit Searcher(const std::string& needle) : bmh_(needle.begin(), needle.end()) {}
        bool in(std::string_view hay) const {
            return std::search(hay.begin(), hay.end(), bmh_) != hay.end();
        }
        std::boyer_moore_horspool_searcher<std::string::const_iterator> bmh_;
    };
    std::vector<Searcher> long_searchers_;
    std::string scratch_;
    bool unmatchable_ = false;
};

// The path's last "/"-separated component that is neither empty nor ".", cut
// before its last "." unless that dot leads the name; "" for no component or
// "..". Not lowercased.
std::string_view file_stem(std::string_view path);

struct CodeResultFields {
    std::string_view symbol_name;  // lowercased
    std::string_view symbol_type;  // lowercased
    std::string_view path;         // as stored
    std::string_view text;         // lowercased (may be left empty when no long token exists)
    std::optional<int64_t> start_line, end_line;
};

// Scores code results against one token set, reusing its scratch space.
class LexicalScorer {
  public:
    explicit LexicalScorer(const LexicalTokens& tokens) : tokens_(tokens) {}
    // The boost of one result marked as code.
    double score(const CodeResultFields& f);

  private:
    const LexicalTokens& tokens_;
    std::string stem_, guessed_;
};

}  // namespace kv::code
