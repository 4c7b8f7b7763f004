// Lower-cased views of names without copying the common all-lowercase ones.
#pragma once

#include "text/unicode.h"

#include <string>
#include <string_view>

namespace kv::code {

// `s` lower-cased: `s` itself when that changes nothing (ASCII without
// capitals, the usual symbol name); an ASCII text with capitals has them
// mapped to small letters in `scratch`; anything else goes through
// text::to_lower into `scratch`. The loops have no early exit so that the
// compiler can vectorise them.
inline std::string_view lowered(std::string_view s, std::string& scratch) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t n = s.size();
    unsigned char high = 0;
    unsigned char capitals = 0;
    for (std::size_t i = 0; i < n; ++i) {
        high |= p[i];
        capitals |= static_cast<unsigned char>(static_cast<unsigned char>(p[i] - 'A') < 26);
    }
    if (high & 0x80) {
        text::to_lower(s, scratch);
        return scratch;
    }
    if (!capitals) return s;
    scratch.resize(n);
    unsigned char* out = reinterpret_cast<unsigned char*>(scratch.data());
    for (std::size_t i = 0; i < n; ++i)
        out[i] = static_cast<unsigned char>(
            p[i] + (static_cast<unsigned char>(p[i] - 'A') < 26 ? 'a' - 'A' : 0));
    return scratch;
}

}  // namespace kv::code
