#include "code/symbol_index.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>

namespace kv::code {

const char* name_field_key(NameField f) {
    return f == NameField::Symbol ? "symbol_name" : "qualified_name";
}

void SymbolIndexBuilder::add(uint64_t position, std::string_view symbol_name,
                             std::string_view qualified_name) {
    SymbolIndex& x = index_;
    x.positions_.push_back(position);
    x.sym_buf_.append(symbol_name);
    x.sym_buf_.push_back('\0');
    x.sym_off_.push_back(x.sym_buf_.size());
    x.qual_buf_.append(qualified_name);
    x.qual_buf_.push_back('\0');
    x.qual_off_.push_back(x.qual_buf_.size());
    if (!symbol_name.empty())
        x.names_[std::string(symbol_name)].push_back({position, NameField::Symbol});
    if (!qualified_name.empty())
        x.names_[std::string(qualified_name)].push_back({position, NameField::Qualified});
}

namespace {

// Sets `bit` in marks[i] for every entry i whose name contains `token`. Names
// are laid out back to back in `buf`, entry i ending (before its separator)
// at off[i + 1] - 1. One pass of memmem over the whole buffer per token.
void mark_containing(const std::string& buf, const std::vector<std::size_t>& off,
                     std::string_view token, std::vector<uint8_t>& marks, uint8_t bit) {
    const char* base = buf.data();
    std::size_t at = 0;
    while (at + token.size() <= buf.size()) {
        const void* found = memmem(base + at, buf.size() - at, token.data(), token.size());
        if (!found) return;
        std::size_t hit = static_cast<std::size_t>(static_cast<const char*>(found) - base);
        // The entry whose name (or separator) holds the hit.
        std::size_t entry =
            static_cast<std::size_t>(std::upper_bound(off.begin(), off.end(), hit) - off.begin()) -
            1;
        std::size_t name_end = off[entry + 1] - 1;
        if (hit + token.size() <= name_end) {
            marks[entry] |= bit;
            at = off[entry + 1];  // one hit per entry is enough
        } else {
            at = hit + 1;  // ran over the separator: not inside one name
        }
    }
}

}  // namespace

std::vector<SymbolIndex::Hit> SymbolIndex::search(const std::vector<std::string>& tokens,
                                                  uint64_t top_k) const {
    std::vector<Hit> hits;
    if (tokens.empty() || top_k == 0) return hits;

    // Whole-name pass: the first hit reached decides a position's field.
    // Which whole-name hits fill the top_k places is left open, so the pass
    // stops once they are filled (the substring pass then does not run).
    std::unordered_set<uint64_t> seen;
    if (!names_.empty()) {
        for (const std::string& t : tokens) {
            auto it = names_.find(t);
            if (it == names_.end()) continue;
            for (const NameHit& h : it->second) {
                if (!seen.insert(h.position).second) continue;
                hits.push_back({h.position, 1.0, h.field});
                if (hits.size() == top_k) return hits;
            }
        }
    }

    // Substring pass, only while whole names leave room.
    if (hits.size() < top_k && !positions_.empty()) {
        std::vector<std::string_view> distinct;
        for (const std::string& t : tokens)
            if (std::find(distinct.begin(), distinct.end(), t) == distinct.end())
                distinct.emplace_back(t);
        std::vector<uint8_t> marks(positions_.size(), 0);
        for (std::string_view t : distinct) {
            mark_containing(sym_buf_, sym_off_, t, marks, 1);
            mark_containing(qual_buf_, qual_off_, t, marks, 2);
        }
        for (std::size_t i = 0; i < positions_.size(); ++i) {
            if (!marks[i] || seen.count(positions_[i])) continue;
            // A symbol-name match wins over a qualified-name match.
            hits.push_back(
                {positions_[i], 0.6, (marks[i] & 1) ? NameField::Symbol : NameField::Qualified});
        }
    }

    // Whole-name hits already precede substring hits: the stable sort by
    // score the result promises is the order built here.
    if (hits.size() > top_k) hits.resize(static_cast<std::size_t>(top_k));
    return hits;
}

}  // namespace kv::code
