// Python-object helpers shared by the graph functions' Python-facing layers:
// quiet dict lookups, "is a usable str" tests, content comparison of str
// objects and the reuse-or-copy rule for str results.
#pragma once

#include "module/frame.h"
#include "module/pyvalues.h"

#include <cstring>
#include <string_view>

namespace kv::graph {

// dict[key] as a strong reference; null when absent or when the lookup raised
// (the error is discarded).
inline Ref lookup_quietly(PyObject* dict, PyObject* key) {
    PyObject* value = nullptr;
    if (PyDict_GetItemRef(dict, key, &value) < 0) {
        PyErr_Clear();
        return {};
    }
    return Ref::steal(value);
}

// True when `obj` is a str (or subclass) whose content encodes to UTF-8; the
// UTF-8 text goes to `out`. Never leaves an error set.
inline bool usable_str(PyObject* obj, std::string_view& out) {
    if (!obj || !PyUnicode_Check(obj)) return false;
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(obj, &n);
    if (!s) {
        PyErr_Clear();
        return false;
    }
    out = {s, static_cast<std::size_t>(n)};
    return true;
}

// Content equality of a str object with `target`, a str known to hold valid
// text. Compares the canonical storage directly, so it runs no Python code and
// allocates nothing.
inline bool str_content_equals(PyObject* obj, PyObject* target) {
    if (obj == target) return true;
    if (!PyUnicode_Check(obj)) return false;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(obj);
    if (n != PyUnicode_GET_LENGTH(target)) return false;
    const int kind = PyUnicode_KIND(obj);
    if (kind != PyUnicode_KIND(target)) return false;
    return std::memcmp(PyUnicode_DATA(obj), PyUnicode_DATA(target),
                       static_cast<std::size_t>(n) * static_cast<std::size_t>(kind)) == 0;
}

// Whether a stored field value reads as the valid UTF-8 `text` when every
// value that is not a usable str reads as "". ASCII values are compared in
// place, so the common case allocates nothing.
inline bool field_reads_as_text(PyObject* value, std::string_view text) {
    if (!value || !PyUnicode_Check(value)) return text.empty();
    if (PyUnicode_IS_ASCII(value)) {
        const auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(value));
        return n == text.size() && std::memcmp(PyUnicode_DATA(value), text.data(), n) == 0;
    }
    std::string_view s;
    if (!usable_str(value, s)) return text.empty();  // lone surrogates read as ""
    return s == text;
}

// A str result with the text `text` that was read from `source`: `source`
// itself when it is an exact str holding exactly that text, else a new str.
inline Ref reuse_or_make_str(PyObject* source, std::string_view source_text,
                             std::string_view text) {
    if (source && PyUnicode_CheckExact(source) && source_text.data() == text.data() &&
        source_text.size() == text.size())
        return Ref::borrow(source);
    return make_str(text);
}

// A new empty dict with room for `n` items without resizing.
inline Ref new_dict(Py_ssize_t n) {
#if PY_VERSION_HEX < 0x030E0000
    return check(_PyDict_NewPresized(n));
#else
    (void)n;
    return check(PyDict_New());
#endif
}

// An interned str for a fixed key.
inline Ref interned(const char* s) {
    return check(PyUnicode_InternFromString(s));
}

// Appends `item` to the list `list` (throws on failure).
inline void list_append(PyObject* list, PyObject* item) {
    check_status(PyList_Append(list, item));
}

// Scans `list` for a str item equal to `doc` and appends `doc` when there is
// none. The scan runs no Python code, so the list cannot change under it.
inline void append_once(PyObject* list, PyObject* doc) {
    const Py_ssize_t n = PyList_GET_SIZE(list);
    PyObject** items = reinterpret_cast<PyListObject*>(list)->ob_item;
    // Long lists of chunk ids are mostly cold: fetch the objects ahead.
    constexpr Py_ssize_t kAhead = 8;
    for (Py_ssize_t i = 0; i < n && i < kAhead; ++i) __builtin_prefetch(items[i]);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (i + kAhead < n) __builtin_prefetch(items[i + kAhead]);
        if (str_content_equals(items[i], doc)) return;
    }
    list_append(list, doc);
}

// Prefetching for a walk over a list of record dicts: the dict object of the
// item `far` ahead, and the key table of the item `near` ahead (its object was
// fetched earlier). Only addresses are touched; nothing is dereferenced
// beyond objects the list holds right now.
inline void prefetch_records(PyObject* list, Py_ssize_t i) {
    constexpr Py_ssize_t kNear = 4, kFar = 8;
    const Py_ssize_t n = PyList_GET_SIZE(list);
    PyObject** items = reinterpret_cast<PyListObject*>(list)->ob_item;
    if (i + kFar < n) __builtin_prefetch(items[i + kFar]);
    if (i + kNear < n) {
        PyObject* o = items[i + kNear];
        if (PyDict_CheckExact(o)) {
            const char* keys =
                reinterpret_cast<const char*>(reinterpret_cast<PyDictObject*>(o)->ma_keys);
            __builtin_prefetch(keys);
            __builtin_prefetch(keys + 64);
            __builtin_prefetch(keys + 128);
        }
    }
}

// A new one-element list holding `item`.
inline Ref list_of_one(PyObject* item) {
    Ref l = check(PyList_New(1));
    PyList_SET_ITEM(l.get(), 0, Py_NewRef(item));
    return l;
}

// Items 0 and 1 (and 2 when present) of a tuple or list element, as strong
// references. Returns the number of items read (0 for any other element).
inline Py_ssize_t sequence_items(PyObject* elem, Ref* out, Py_ssize_t want) {
    if (PyTuple_Check(elem)) {
        const Py_ssize_t n = PyTuple_GET_SIZE(elem);
        const Py_ssize_t k = n < want ? n : want;
        for (Py_ssize_t i = 0; i < k; ++i) out[i] = Ref::borrow(PyTuple_GET_ITEM(elem, i));
        return k;
    }
    if (PyList_Check(elem)) {
        const Py_ssize_t n = PyList_GET_SIZE(elem);
        const Py_ssize_t k = n < want ? n : want;
        for (Py_ssize_t i = 0; i < k; ++i) out[i] = Ref::borrow(PyList_GET_ITEM(elem, i));
        return k;
    }
    return 0;
}

}  // namespace kv::graph
