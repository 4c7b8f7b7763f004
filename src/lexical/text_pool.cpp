#include "lexical/text_pool.h"

namespace kv::lexical {

std::pair<std::size_t, bool> TextPool::intern(std::string_view text, uint64_t hash) {
    auto [it, added] = index_.try_emplace(Key{text, hash}, index_.size());
    return {it->second, added};
}

}  // namespace kv::lexical
