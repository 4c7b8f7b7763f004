// Strong references to the elements of a list argument. Callers re-read the
// list size before each call: Python code run in between can change the list.
#pragma once

#include "module/frame.h"
#include "module/ref.h"

namespace kv {

// The list element at i, whatever its type.
inline Ref list_element(PyObject* list, Py_ssize_t i) {
    Ref item = Ref::steal(PyList_GetItemRef(list, i));
    if (!item) throw PyErrorSet{};
    return item;
}

// The list element at i, or the element error "'T' object cannot be converted
// to 'PyDict'" when it is not a dict (or dict subclass).
inline Ref dict_element(PyObject* list, Py_ssize_t i) {
    Ref item = list_element(list, i);
    if (!PyDict_Check(item.get())) {
        set_conversion_error(item.get(), "PyDict");
        throw PyErrorSet{};
    }
    return item;
}

// True for NumPy's boolean scalar type ("bool_" in NumPy 1, "bool" in NumPy 2),
// recognised by name and module without importing NumPy.
bool is_numpy_bool_type(PyTypeObject* type);

}  // namespace kv
