// Small builders of Python values used by the Python-facing layers.
#pragma once

#include "module/ref.h"

#include <string_view>

namespace kv {

// A new str from valid UTF-8 (throws PyErrorSet on failure).
inline Ref make_str(std::string_view s) {
    return check(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

inline Ref make_float(double d) {
    return check(PyFloat_FromDouble(d));
}

inline Ref make_int(long long v) {
    return check(PyLong_FromLongLong(v));
}

inline Ref make_uint(unsigned long long v) {
    return check(PyLong_FromUnsignedLongLong(v));
}

// Sets d[key] = value where key is UTF-8 text (throws PyErrorSet on failure).
inline void set_item(PyObject* dict, PyObject* key, PyObject* value) {
    check_status(PyDict_SetItem(dict, key, value));
}

}  // namespace kv
