// Lexical boost of one code result: symbol name, file stem, guessed
// qualified name, text matches, symbol type and line span.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace kv::code {

class LexicalTokens {
  public:
    // Adds one token (any text; lowercased here).
    void add(std::string_view token);
    bool empty() const { return all_.empty(); }
    bool has_long() const { return !long_.empty(); }

    // Whole-string membership in the set of all tokens.
    bool contains(const std::string& s) const { return all_.count(s) != 0; }
    // Whether some token of at least 4 bytes occurs inside s.
    bool any_long_inside(std::string_view s) const;
    // How many distinct tokens of at least 4 bytes occur inside s.
    std::size_t count_long_inside(std::string_view s) const;

  private:
    std::unordered_set<std::string> all_;
    std::vector<std::string> long_;  // distinct
    std::string scratch_;
};

// The lowercased stem of the path's last "/"-separated component (empty and
// "." components skipped; ".." and no component give no stem, i.e. "").
std::string file_stem(std::string_view path);

struct CodeResultFields {
    std::string_view symbol_name;  // lowercased
    std::string_view symbol_type;  // lowercased
    std::string_view path;         // as stored
    std::string_view text;         // lowercased (may be left empty when no long token exists)
    std::optional<int64_t> start_line, end_line;
};

// The boost of one result marked as code.
double code_lexical_score(const LexicalTokens& tokens, const CodeResultFields& f);

}  // namespace kv::code
