// Lower-cased views of names without copying the common all-lowercase ones.
#pragma once

#include "text/unicode.h"

#include <string>
#include <string_view>

namespace kv::code {

// `s` lower-cased: `s` itself when that changes nothing (ASCII without
// capitals, the usual symbol name); an ASCII name with capitals has them
// mapped to small letters in `scratch`; anything else goes through
// text::to_lower into `scratch`.
inline std::string_view lowered(std::string_view s, std::string& scratch) {
    const std::size_t n = s.size();
    std::size_t i = 0;
    for (; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c >= 0x80) {
            text::to_lower(s, scratch);
            return scratch;
        }
        if (static_cast<unsigned char>(c - 'A') < 26) break;
    }
    if (i == n) return s;
    scratch.resize(n);
    char* out = scratch.data();
    for (std::size_t k = 0; k < i; ++k) out[k] = s[k];
    for (; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c >= 0x80) {
            text::to_lower(s, scratch);
            return scratch;
        }
        out[i] = static_cast<char>(static_cast<unsigned char>(c - 'A') < 26 ? c + 32 : c);
    }
    return scratch;
}

}  // namespace kv::code
