// An immutable index of code-symbol names: a whole-name hash table and the
// lowercased names of every entry for substring search.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kv::code {

// Which metadata field a name came from.
enum class NameField : uint8_t { Symbol, Qualified };

const char* name_field_key(NameField f);  // "symbol_name" / "qualified_name"

class SymbolIndex {
  public:
    struct Hit {
        uint64_t position;
        double score;  // 1.0 whole name, 0.6 substring
        NameField field;
    };

    std::size_t entry_count() const { return positions_.size(); }

    // `tokens` are already lowercased and at least 3 bytes long; duplicates
    // are allowed. Whole-name hits first (1.0), then substring hits (0.6),
    // at most top_k of them.
    std::vector<Hit> search(const std::vector<std::string>& tokens, uint64_t top_k) const;

  private:
    friend class SymbolIndexBuilder;

    struct NameHit {
        uint64_t position;
        NameField field;
    };
    // One distinct name: its hits are name_hits_[begin, end), in the order
    // they were added; the name's text is in the buffer of `field` at
    // [offset, offset + size). An empty slot has end == 0.
    struct Slot {
        uint64_t hash = 0;
        std::size_t begin = 0, end = 0;
        std::size_t offset = 0, size = 0;
        NameField field = NameField::Symbol;
    };

    // The hits of a whole name, or an empty range.
    std::pair<const NameHit*, const NameHit*> lookup(std::string_view name) const;

    // Entry i: positions_[i], symbol name sym_buf_[sym_off_[i] .. sym_off_[i+1]-1)
    // and qualified name likewise; every name is followed by a NUL separator
    // so a token is searched once over all names of a field.
    std::vector<uint64_t> positions_;
    std::string sym_buf_, qual_buf_;
    std::vector<std::size_t> sym_off_{0}, qual_off_{0};
    // Open-addressing table of the distinct names (capacity a power of two).
    std::vector<Slot> slots_;
    std::vector<NameHit> name_hits_;
};

class SymbolIndexBuilder {
  public:
    // Adds the entry of one chunk; names are lowercased, at least one non-empty.
    void add(uint64_t position, std::string_view symbol_name, std::string_view qualified_name);
    SymbolIndex finish();

  private:
    struct Pending {
        uint64_t hash;
        std::size_t offset, size;
        uint64_t position;
        NameField field;
    };
    SymbolIndex index_;
    std::vector<Pending> pending_;
};

}  // namespace kv::code
