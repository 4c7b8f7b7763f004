// A strict JSON reader (RFC 8259) yielding a value tree.
//
// Accepted: one JSON text in UTF-8, with only space, tab, line feed and
// carriage return as white space. Refused: comments, trailing commas, NaN and
// Infinity, lone surrogates in \u escapes, control characters in strings,
// numbers outside the double range, nesting deeper than 128 arrays/objects,
// and anything but white space after the value. Integers within the unsigned
// or signed 64-bit range are kept as integers; other numbers are doubles.
//
// Built on simdjson's DOM parser, which checks all of this itself except for
// two rules it draws differently: it refuses integers beyond 64 bits (they
// are re-read as doubles), and its depth count includes a scalar inside the
// innermost container (containers alone are counted here).
#pragma once

#include <simdjson.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kv::json {

inline constexpr std::size_t kMaxDepth = 128;

using Element = simdjson::dom::element;
using Object = simdjson::dom::object;
using Array = simdjson::dom::array;
using Member = std::pair<std::string_view, Element>;

class Document {
  public:
    // Parses `data`; false when it is not one strict JSON text. The tree
    // stays valid until the next parse or the end of the document.
    bool parse(std::string_view data);
    Element root() const noexcept { return root_; }

  private:
    simdjson::error_code attempt(std::string_view data);

    simdjson::dom::parser parser_;
    Element root_;
    std::string widened_;
};

// The members of an object in ascending byte order of their keys, one per
// key: for a repeated key, the last one in the document.
void sorted_members(Object obj, std::vector<Member>& out);

// The number of elements (the parser's own count saturates at 2**24-1).
std::size_t array_length(Array arr);

// The value of the last member named `key`, if any.
bool find_member(Object obj, std::string_view key, Element& out);

// Rewrites integer literals beyond the 64-bit ranges as decimal fractions
// ("N" -> "N.0") so that they read as the nearest double; strings are copied
// unchanged.
std::string widen_long_integers(std::string_view data);

}  // namespace kv::json
