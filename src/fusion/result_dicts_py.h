// Helpers shared by the Python-facing fusion functions: list elements that must
// be result dicts, and the key strings the functions read and write.
#pragma once

#include "module/frame.h"
#include "module/ref.h"

namespace kv::fusion {

// The list element at i (a strong reference), or the element error when it is
// not a dict. Callers re-read the list size before each call: Python code run
// by a lookup can change the list.
inline Ref dict_element(PyObject* list, Py_ssize_t i) {
    Ref item = Ref::steal(PyList_GetItemRef(list, i));
    if (!item) throw PyErrorSet{};
    if (!PyDict_Check(item.get())) {
        set_conversion_error(item.get(), "PyDict");
        throw PyErrorSet{};
    }
    return item;
}

// The list element at i, whatever its type.
inline Ref list_element(PyObject* list, Py_ssize_t i) {
    Ref item = Ref::steal(PyList_GetItemRef(list, i));
    if (!item) throw PyErrorSet{};
    return item;
}

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
