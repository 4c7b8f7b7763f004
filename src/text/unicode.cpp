#include "text/unicode.h"

#include <unicode/bytestream.h>
#include <unicode/casemap.h>
#include <unicode/uchar.h>
#include <unicode/utypes.h>

#include <climits>
#include <stdexcept>

namespace kv::text {

bool is_white_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

char32_t next_code_point(std::string_view s, std::size_t& i) {
    auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char c = b(i);
    if (c < 0x80) {
        ++i;
        return c;
    }
    std::size_t n = utf8_len(c);
    if (i + n > s.size()) {  // truncated input: consume the rest as U+FFFD
        i = s.size();
        return 0xFFFD;
    }
    char32_t cp = n == 2 ? (c & 0x1F) : n == 3 ? (c & 0x0F) : (c & 0x07);
    for (std::size_t k = 1; k < n; ++k) cp = (cp << 6) | (b(i + k) & 0x3F);
    i += n;
    return cp;
}

void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

bool is_alphanumeric(char32_t c) {
    if (c < 0x80) return (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z');
    if (u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_ALPHABETIC)) return true;
    int8_t gc = u_charType(static_cast<UChar32>(c));
    return gc == U_DECIMAL_DIGIT_NUMBER || gc == U_LETTER_NUMBER || gc == U_OTHER_NUMBER;
}

void to_lower(std::string_view s, std::string& out) {
    out.clear();
    if (is_ascii(s)) {
        out.resize(s.size());
        for (std::size_t i = 0; i < s.size(); ++i) {
            char c = s[i];
            out[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
        }
        return;
    }
    // The root locale: no language-specific rules, but the final-sigma context
    // and the unconditional special casings (U+0130 -> "i\u0307") apply.
    if (s.size() > static_cast<std::size_t>(INT32_MAX / 2))
        throw std::length_error("text too long to lower-case");
    out.reserve(s.size() + s.size() / 4);
    icu::StringByteSink<std::string> sink(&out);
    UErrorCode status = U_ZERO_ERROR;
    icu::CaseMap::utf8ToLower("root", 0, icu::StringPiece(s.data(), static_cast<int32_t>(s.size())),
                              sink, nullptr, status);
    if (U_FAILURE(status)) throw std::runtime_error(u_errorName(status));
}

std::string_view trim_white_space(std::string_view s) {
    const char* begin = s.data();
    const char* end = begin + s.size();
    while (begin < end) {
        std::size_t n = white_space_len(begin, end);
        if (!n) break;
        begin += n;
    }
    // Walk back to the start of the last character and test it.
    while (end > begin) {
        const char* q = end - 1;
        while (q > begin && (static_cast<unsigned char>(*q) & 0xC0) == 0x80) --q;
        if (white_space_len(q, end) != static_cast<std::size_t>(end - q)) break;
        end = q;
    }
    return {begin, static_cast<std::size_t>(end - begin)};
}

}  // namespace kv::text
