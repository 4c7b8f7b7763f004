// Creation of the two index classes at module initialisation.
#pragma once

#include "module/frame.h"

namespace kv {

// Returns a new reference to the class object, creating it on first use.
PyObject* create_index_type(IndexKind kind);

}  // namespace kv
