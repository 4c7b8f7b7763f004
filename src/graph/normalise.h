// Normalisation of entity names and relation subjects/objects into graph keys:
// full Unicode lower-casing first, then trimming of White_Space.
#pragma once

#include "text/unicode.h"

#include <string>
#include <string_view>

namespace kv::graph {

// The key of `name`. The result views either `name` itself (when lower-casing
// changes nothing) or `buf`.
inline std::string_view normalise_key(std::string_view name, std::string& buf) {
    bool lower = true;
    for (unsigned char c : name) {
        if (c >= 0x80 || (c >= 'A' && c <= 'Z')) {
            lower = false;
            break;
        }
    }
    if (lower) return text::trim_white_space(name);
    text::to_lower(name, buf);
    return text::trim_white_space(buf);
}

}  // namespace kv::graph
