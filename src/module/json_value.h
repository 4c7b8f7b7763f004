// Parsed JSON values to Python objects.
#pragma once

#include "module/json_reader.h"
#include "module/value_bridge.h"

#include <array>
#include <vector>

namespace kv {

// Converts JSON values: null, booleans, integers (an unsigned value above
// 2**63-1 becomes the nearest float), doubles, strings, arrays, and objects
// as dicts filled in ascending byte order of their keys.
class JsonToPy {
  public:
    Ref convert(json::Element value) { return convert(value, 0); }
    // A str for an object key (always valid UTF-8); short ones are shared.
    Ref key(std::string_view s);

  private:
    Ref convert(json::Element value, std::size_t depth);

    StrCache keys_;
    // One member buffer per nesting level, reused across objects.
    std::array<std::vector<json::Member>, json::kMaxDepth + 1> members_;
};

}  // namespace kv
