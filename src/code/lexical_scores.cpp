#include "code/lexical_scores.h"

#include "code/names.h"
#include "text/unicode.h"

#include <algorithm>

namespace kv::code {

void LexicalTokens::add(std::string_view token) {
    text::to_lower(token, scratch_);
    auto [it, fresh] = all_.insert(scratch_);
    if (!fresh) return;
    if (all_.size() <= kLinearLimit) list_.push_back(*it);
    if (it->size() >= 4) long_.emplace_back(*it);
}

std::string_view file_stem(std::string_view path) {
    // Last component that is neither empty nor ".".
    std::string_view name;
    std::size_t end = path.size();
    while (true) {
        std::size_t slash = end == 0 ? std::string_view::npos : path.rfind('/', end - 1);
        std::size_t begin = slash == std::string_view::npos ? 0 : slash + 1;
        std::string_view part = path.substr(begin, end - begin);
        if (!part.empty() && part != ".") {
            name = part;
            break;
        }
        if (slash == std::string_view::npos) break;
        end = slash;
    }
    if (name.empty() || name == "..") return {};
    std::size_t dot = name.rfind('.');
    // No dot, or the only dot leads the name (".env"): the name is its own stem.
    return (dot == std::string_view::npos || dot == 0) ? name : name.substr(0, dot);
}

double LexicalScorer::score(const CodeResultFields& f) {
    const std::string_view symbol_name = symbol_name_.load(f.symbol_name);
    std::string_view stem = lowered(file_stem(f.path), stem_);
    guessed_.clear();
    if (!stem.empty() && !symbol_name.empty()) {
        guessed_.append(stem).push_back('.');
        guessed_.append(symbol_name);
    }

    double s = 0.0;
    if (!symbol_name.empty()) {
        if (tokens_.contains(symbol_name))
            s = 1.0;
        else if (tokens_.any_long_inside(symbol_name_))
            s = 0.5;
    }
    if (!stem.empty() && tokens_.contains(stem)) s = s + 0.4;
    if (!guessed_.empty() && tokens_.contains(guessed_)) s = s + 1.0;
    // Only long tokens are searched for in the text; without any, n is 0 and
    // s stays as it is.
    if (tokens_.has_long()) {
        text_.load(f.text);
        double n = static_cast<double>(tokens_.count_long_inside(text_));
        s = s + std::min(n * 0.08, 0.32);
    }
    if (s > 0.0) {
        const std::string_view type = lowered(f.symbol_type, symbol_type_);
        if (type == "method" || type == "function") s = s * 1.1;
    }
    if (f.start_line && f.end_line) {
        // The difference of two 64-bit values needs 65 bits.
        __int128 d = static_cast<__int128>(*f.end_line) - static_cast<__int128>(*f.start_line);
        if (d <= 30)
            s = s + 0.05;
        else if (d <= 80)
            s = s + 0.02;
    }
    return s;
}

}  // namespace kv::code
