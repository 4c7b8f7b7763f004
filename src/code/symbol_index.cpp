#include "code/symbol_index.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <unordered_set>

namespace kv::code {

const char* name_field_key(NameField f) {
    return f == NameField::Symbol ? "symbol_name" : "qualified_name";
}

namespace {

uint64_t name_hash(std::string_view s) {
    return std::hash<std::string_view>{}(s);
}

}  // namespace

void SymbolIndexBuilder::add(uint64_t position, std::string_view symbol_name,
                             std::string_view qualified_name) {
    SymbolIndex& x = index_;
    x.positions_.push_back(position);
    if (!symbol_name.empty())
        pending_.push_back({name_hash(symbol_name), x.sym_buf_.size(), symbol_name.size(), position,
                            NameField::Symbol});
    x.sym_buf_.append(symbol_name);
    x.sym_buf_.push_back('\0');
    x.sym_off_.push_back(x.sym_buf_.size());
    if (!qualified_name.empty())
        pending_.push_back({name_hash(qualified_name), x.qual_buf_.size(), qualified_name.size(),
                            position, NameField::Qualified});
    x.qual_buf_.append(qualified_name);
    x.qual_buf_.push_back('\0');
    x.qual_off_.push_back(x.qual_buf_.size());
}

SymbolIndex SymbolIndexBuilder::finish() {
    SymbolIndex& x = index_;
    auto text = [&](NameField field, std::size_t offset, std::size_t size) {
        const std::string& buf = field == NameField::Symbol ? x.sym_buf_ : x.qual_buf_;
        return std::string_view(buf).substr(offset, size);
    };
    constexpr std::size_t kEmpty = static_cast<std::size_t>(-1);
    auto capacity_for = [](std::size_t n) {
        std::size_t c = 16;
        while (c < n * 2) c *= 2;
        return c;
    };

    // 1. Number the distinct names in order of first appearance (a
    //    temporary open-addressing table of group numbers) and count hits.
    const std::size_t n = pending_.size();
    std::vector<std::size_t> table(capacity_for(n), kEmpty);
    const std::size_t tmask = table.size() - 1;
    std::vector<SymbolIndex::Slot> groups;  // begin holds the hit count for now
    std::vector<std::size_t> group_of(n);
    for (std::size_t i = 0; i < n; ++i) {
        const Pending& p = pending_[i];
        const std::string_view name = text(p.field, p.offset, p.size);
        std::size_t at = static_cast<std::size_t>(p.hash) & tmask;
        while (table[at] != kEmpty) {
            const SymbolIndex::Slot& g = groups[table[at]];
            if (g.hash == p.hash && text(g.field, g.offset, g.size) == name) break;
            at = (at + 1) & tmask;
        }
        if (table[at] == kEmpty) {
            table[at] = groups.size();
            groups.push_back({p.hash, 0, 0, p.offset, p.size, p.field});
        }
        group_of[i] = table[at];
        ++groups[table[at]].begin;
    }
    table.clear();
    table.shrink_to_fit();

    // 2. Lay the hits out group by group, each group in insertion order.
    std::size_t next = 0;
    for (SymbolIndex::Slot& g : groups) {
        std::size_t count = g.begin;
        g.begin = next;
        g.end = next;
        next += count;
    }
    x.name_hits_.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        SymbolIndex::Slot& g = groups[group_of[i]];
        x.name_hits_[g.end++] = {pending_[i].position, pending_[i].field};
    }

    // 3. The lookup table of the distinct names.
    x.slots_.assign(capacity_for(groups.size()), SymbolIndex::Slot{});
    const std::size_t mask = x.slots_.size() - 1;
    for (const SymbolIndex::Slot& g : groups) {
        std::size_t at = static_cast<std::size_t>(g.hash) & mask;
        while (x.slots_[at].end != 0) at = (at + 1) & mask;
        x.slots_[at] = g;
    }
    pending_.clear();
    pending_.shrink_to_fit();
    return std::move(index_);
}

std::pair<const SymbolIndex::NameHit*, const SymbolIndex::NameHit*> SymbolIndex::lookup(
    std::string_view name) const {
    if (slots_.empty()) return {nullptr, nullptr};
    const uint64_t h = name_hash(name);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t at = static_cast<std::size_t>(h) & mask; slots_[at].end != 0;
         at = (at + 1) & mask) {
        const Slot& s = slots_[at];
        if (s.hash != h || s.size != name.size()) continue;
        const std::string& buf = s.field == NameField::Symbol ? sym_buf_ : qual_buf_;
        if (std::string_view(buf).substr(s.offset, s.size) == name)
            return {name_hits_.data() + s.begin, name_hits_.data() + s.end};
    }
    return {nullptr, nullptr};
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
    for (const std::string& t : tokens) {
        auto [first, last] = lookup(t);
        for (const NameHit* h = first; h != last; ++h) {
            if (!seen.insert(h->position).second) continue;
            hits.push_back({h->position, 1.0, h->field});
            if (hits.size() == top_k) return hits;
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
