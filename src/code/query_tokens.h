// Identifier-like tokens of a code query: file stems, dotted-name parts and
// identifiers with their CamelCase and snake_case pieces, all lowercased.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kv::code {

// The four module-level patterns, exactly as the host package writes them.
inline constexpr const char* re_code_ext =
    R"(\b(\w+)\.(py|rs|ts|tsx|js|jsx|go|java|cpp|c|h|cs|rb|kt|swift|scala|lua|sh|toml|yaml|yml|json|md)\b)";
inline constexpr const char* re_qualified = R"(\b([A-Za-z_]\w+)\.([A-Za-z_]\w+)\b)";
inline constexpr const char* re_identifier = R"(\b[A-Za-z_][A-Za-z0-9_]{3,}\b)";
inline constexpr const char* re_camel = R"([A-Z][a-z0-9]*|[a-z][a-z0-9]*)";

// The distinct tokens of `query` (valid UTF-8), in no particular order. A
// pure-ASCII query is scanned directly; any other runs through the patterns,
// compiled with ICU on first use.
std::vector<std::string> extract_code_query_tokens(std::string_view query);

// The pattern text with every `\b` written out as a boundary between a `\w`
// and a non-`\w` character, as the patterns are compiled.
std::string spell_out_word_boundaries(std::string_view pattern);

}  // namespace kv::code
