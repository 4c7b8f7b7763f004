#pragma once

#include "module/frame.h"

#include <span>

namespace kv {

// The exported functions, in registration order.
std::span<const frame::FunctionDef* const> registry();

}  // namespace kv
