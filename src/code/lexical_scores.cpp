#include "code/lexical_scores.h"

#include "code/names.h"
#include "text/unicode.h"

#include <algorithm>

namespace kv::code {

namespace {
uint64_t byte_mask(std::string_view s);
}  // namespace

void LexicalTokens::add(std::string_view token) {
    text::to_lower(token, scratch_);
    auto [it, fresh] = all_.insert(scratch_);
    if (!fresh) return;
    if (all_.size() <= kLinearLimit) list_.push_back(*it);
    if (it->size() >= 4) {
        long_.push_back(*it);
        long_masks_.push_back(byte_mask(*it));
        long_searchers_.emplace_back(*it);
    }
}

namespace {

// The set of byte values in s, folded to 64 bits: a text whose set lacks one
// of a token's values cannot contain the token.
uint64_t byte_mask(std::string_view s) {
    uint64_t m = 0;
    for (unsigned char c : s) m |= uint64_t{1} << (c & 63);
    return m;
}

}  // namespace

bool LexicalTokens::any_long_inside(std::string_view s) const {
    const uint64_t mask = byte_mask(s);
    for (std::size_t i = 0; i < long_.size(); ++i)
        if (!(long_masks_[i] & ~mask) && long_searchers_[i].in(s)) return true;
    return false;
}

std::size_t LexicalTokens::count_long_inside(std::string_view s) const {
    const uint64_t mask = byte_mask(s);
    std::size_t n = 0;
    for (std::size_t i = 0; i < long_.size(); ++i)
        if (!(long_masks_[i] & ~mask) && long_searchers_[i].in(s)) ++n;
    return n;
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
    std::string_view stem = lowered(file_stem(f.path), stem_);
    guessed_.clear();
    if (!stem.empty() && !f.symbol_name.empty()) {
        guessed_.append(stem).push_back('.');
        guessed_.append(f.symbol_name);
    }

    double s = 0.0;
    if (!f.symbol_name.empty()) {
        if (tokens_.contains(f.symbol_name))
            s = 1.0;
        else if (tokens_.any_long_inside(f.symbol_name))
            s = 0.5;
    }
    if (!stem.empty() && tokens_.contains(stem)) s = s + 0.4;
    if (!guessed_.empty() && tokens_.contains(guessed_)) s = s + 1.0;
    double n = static_cast<double>(tokens_.count_long_inside(f.text));
    s = s + std::min(n * 0.08, 0.32);
    if (s > 0.0 && (f.symbol_type == "method" || f.symbol_type == "function")) s = s * 1.1;
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
