// Helpers shared by the Python-facing fusion functions: list elements that must
// be result dicts, and the key strings the functions read and write.
#pragma once

#include "module/frame.h"
#include "module/list_items.h"
#include "module/ref.h"

namespace kv::fusion {

using kv::dict_element;
using kv::list_element;

// An interned key string, so that lookups in dicts built from literals find
// their key by identity.
inline Ref key(const char* name) {
    return check(PyUnicode_InternFromString(name));
}

// A new list that takes over the given references.
template <class Range>
Ref list_of(Range& refs) {
    Ref out = check(PyList_New(static_cast<Py_ssize_t>(refs.size())));
    Py_ssize_t i = 0;
    for (Ref& r : refs) PyList_SET_ITEM(out.get(), i++, r.release());
    return out;
}

}  // namespace kv::fusion
