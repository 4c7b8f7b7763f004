#include "module/json_reader.h"

#include <algorithm>

namespace kv::json {

namespace {

bool is_digit(char c) noexcept {
    return c >= '0' && c <= '9';
}

// True when the digit string (no sign, no leading zeros in valid JSON) is
// beyond the unsigned 64-bit range, or for a negative number beyond the
// signed 64-bit range.
bool beyond_64_bits(std::string_view digits, bool negative) noexcept {
    const std::string_view limit = negative ? "9223372036854775808" : "18446744073709551615";
    if (digits.size() != limit.size()) return digits.size() > limit.size();
    return digits > limit;
}

// The parser reads up to SIMDJSON_PADDING bytes beyond the end of its input
// (it never uses them; their values do not matter). Unless those bytes lie in
// the same memory page as the input's last byte, and so are certainly mapped,
// the parser is told to work on a padded copy instead.
bool padding_readable(std::string_view data) noexcept {
    constexpr uintptr_t kPage = 4096;
    if (data.empty()) return false;
    const auto last = reinterpret_cast<uintptr_t>(data.data()) + data.size() - 1;
    return last / kPage == (last + simdjson::SIMDJSON_PADDING) / kPage;
}

}  // namespace

std::string widen_long_integers(std::string_view data) {
    std::string out;
    out.reserve(data.size() + 64);
    std::size_t i = 0;
    const std::size_t n = data.size();
    while (i < n) {
        const char c = data[i];
        if (c == '"') {
            // Copy the string through its closing quote, escapes included.
            std::size_t j = i + 1;
            while (j < n && data[j] != '"') j += data[j] == '\\' ? 2 : 1;
            j = std::min(j + 1, n);
            out.append(data.substr(i, j - i));
            i = j;
        } else if (c == '-' || is_digit(c)) {
            std::size_t j = i + (c == '-');
            const std::size_t digits_from = j;
            while (j < n && is_digit(data[j])) ++j;
            out.append(data.substr(i, j - i));
            const bool fraction_follows =
                j < n && (data[j] == '.' || data[j] == 'e' || data[j] == 'E');
            if (!fraction_follows &&
                beyond_64_bits(data.substr(digits_from, j - digits_from), c == '-'))
                out.append(".0");
            i = j;
        } else {
            out.push_back(c);
            ++i;
        }
    }
    return out;
}

// True when no array or object is nested deeper than the limit.
bool containers_within_limit(Element e, std::size_t depth) {
    Array arr;
    Object obj;
    if (!e.get_array().get(arr)) {
        if (depth + 1 > kMaxDepth) return false;
        for (Element child : arr)
            if (!containers_within_limit(child, depth + 1)) return false;
    } else if (!e.get_object().get(obj)) {
        if (depth + 1 > kMaxDepth) return false;
        for (auto field : obj)
            if (!containers_within_limit(field.value, depth + 1)) return false;
    }
    return true;
}

simdjson::error_code Document::attempt(std::string_view data) {
    // The parser's depth counts a scalar inside the innermost container as a
    // level of its own. Most documents pass with the limit as it stands;
    // one that fails only by that count is parsed with one more level and
    // its containers are then counted exactly.
    for (std::size_t depth : {kMaxDepth, kMaxDepth + 1}) {
        if (auto e = parser_.allocate(std::max<std::size_t>(data.size(), 64), depth)) return e;
        auto error = parser_.parse(data.data(), data.size(), !padding_readable(data)).get(root_);
        if (error != simdjson::DEPTH_ERROR) {
            if (error || depth == kMaxDepth) return error;
            return containers_within_limit(root_, 0) ? simdjson::SUCCESS : simdjson::DEPTH_ERROR;
        }
    }
    return simdjson::DEPTH_ERROR;
}

bool Document::parse(std::string_view data) {
    auto error = attempt(data);
    if (!error) return true;
    if (error != simdjson::NUMBER_ERROR) return false;
    // The parser refuses integers beyond 64 bits; those must read as doubles.
    // Retry once with them written as fractions (a rare path: only documents
    // with a refused number pay for the copy). A number that is still refused
    // is outside the double range or malformed.
    widened_ = widen_long_integers(data);
    if (widened_.size() == data.size()) return false;
    return !attempt(widened_);
}

void sorted_members(Object obj, std::vector<Member>& out) {
    out.clear();
    for (auto field : obj) out.emplace_back(field.key, field.value);
    if (out.size() < 2) return;
    auto before = [](const Member& a, const Member& b) { return a.first < b.first; };
    if (out.size() <= 16) {
        // Insertion sort: stable, and no temporary buffer for the usual
        // handful of members.
        for (std::size_t i = 1; i < out.size(); ++i) {
            Member m = out[i];
            std::size_t j = i;
            for (; j > 0 && before(m, out[j - 1]); --j) out[j] = out[j - 1];
            out[j] = m;
        }
    } else {
        std::stable_sort(out.begin(), out.end(), before);
    }
    // Keep the last of each run of equal keys.
    std::size_t w = 0;
    for (std::size_t r = 0; r < out.size(); ++r) {
        if (r + 1 < out.size() && out[r + 1].first == out[r].first) continue;
        out[w++] = out[r];
    }
    out.resize(w);
}

std::size_t array_length(Array arr) {
    std::size_t n = arr.size();
    if (n < 0xffffff) return n;
    n = 0;
    for (auto it = arr.begin(); it != arr.end(); ++it) ++n;
    return n;
}

bool find_member(Object obj, std::string_view key, Element& out) {
    bool found = false;
    for (auto field : obj) {
        if (field.key == key) {
            out = field.value;
            found = true;
        }
    }
    return found;
}

}  // namespace kv::json
