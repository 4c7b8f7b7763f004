#include "lexical/text_pool.h"

#include <cstring>

namespace kv::lexical {

void TextPool::reserve(std::size_t n) {
    std::size_t capacity = 16;
    while (capacity < 2 * n) capacity *= 2;
    if (capacity > slots_.size()) grow(capacity);
}

void TextPool::grow(std::size_t capacity) {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(capacity, Slot{});
    const std::size_t mask = capacity - 1;
    for (const Slot& s : old) {
        if (s.position == SIZE_MAX) continue;
        std::size_t i = s.hash & mask;
        while (slots_[i].position != SIZE_MAX) i = (i + 1) & mask;
        slots_[i] = s;
    }
}

std::pair<std::size_t, bool> TextPool::intern(std::string_view text, uint64_t hash) {
    if (2 * (size_ + 1) > slots_.size()) grow(slots_.empty() ? 16 : 2 * slots_.size());
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = hash & mask;
    while (true) {
        Slot& s = slots_[i];
        if (s.position == SIZE_MAX) {
            s = Slot{hash, text.data(), text.size(), size_};
            return {size_++, true};
        }
        if (s.hash == hash && s.length == text.size() &&
            (text.empty() || std::memcmp(s.data, text.data(), text.size()) == 0))
            return {s.position, false};
        i = (i + 1) & mask;
    }
}

}  // namespace kv::lexical
